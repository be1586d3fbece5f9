// tests: a throwaway PostgreSQL cluster for the factory record's tests and benchmark. initdb in
// a temporary directory, the server on a Unix socket there and no TCP port; run as the
// `postgres` user when the tests run as root (initdb refuses root). Stopped and removed by the
// destructor.
#pragma once

#include <string>
#include <vector>

class PgCluster
{
  public:
    PgCluster() = default;
    ~PgCluster();
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    // Why the server cannot be had here (not installed); empty when it can.
    static std::string unavailable();
    // A created and started cluster for a whole test suite (the caller deletes it), or null with
    // the reason in *why: the suite's tests then skip, saying why.
    static PgCluster *for_suite(std::string *why);
    // initdb and start; false with the reason in *error.
    bool create(std::string *error);
    bool start();
    // "immediate" is a crash; "fast" a clean stop.
    bool stop(const char *mode = "fast");
    std::string conninfo() const; // to the `postgres` database as the superuser `bramblewick`
    std::string dir() const { return dir_; }

  private:
    bool run(const std::string &command) const;
    std::string dir_;
    bool running_ = false;
};

// The rows of one statement, every value as text ("" for null). *error (when given) is empty
// when it ran, else the server's or the connection's message; the rows are then empty.
using PgRows = std::vector<std::vector<std::string>>;
PgRows pg_query(const std::string &conninfo, const std::string &sql, std::string *error = nullptr);
