// tests: the throwaway PostgreSQL cluster.
#include "support/pg_cluster.h"

#include <cstdlib>
#include <filesystem>
#include <glob.h>
#include <libpq-fe.h>
#include <unistd.h>

namespace
{

// The newest server's bin directory (Debian keeps them per version), or empty.
std::string server_bin()
{
    glob_t g{};
    std::string bin;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
        bin = std::filesystem::path(g.gl_pathv[g.gl_pathc - 1]).parent_path();
    globfree(&g);
    return bin;
}

} // namespace

std::string PgCluster::unavailable()
{
    if (server_bin().empty())
        return "the PostgreSQL server is not installed (no /usr/lib/postgresql/*/bin/initdb; "
               "apt-get install postgresql)";
    if (geteuid() == 0 && std::system("id -u postgres >/dev/null 2>&1") != 0)
        return "running as root, and there is no `postgres` user to run the server as";
    return "";
}

bool PgCluster::run(const std::string &command) const
{
    std::string as = geteuid() == 0 ? "runuser -u postgres -- " : "";
    std::string line = "cd / && LC_ALL=C " + as + server_bin() + "/" + command + " >>" + dir_ +
                       "/commands.log 2>&1";
    return std::system(line.c_str()) == 0;
}

PgCluster *PgCluster::for_suite(std::string *why)
{
    auto *cluster = new PgCluster;
    if (cluster->create(why))
        return cluster;
    delete cluster;
    return nullptr;
}

bool PgCluster::create(std::string *error)
{
    *error = unavailable();
    if (!error->empty())
        return false;
    char tmpl[] = "/tmp/bw-pg-XXXXXX"; // short: a socket path has 107 bytes at most
    if (!mkdtemp(tmpl)) {
        *error = "mkdtemp failed";
        return false;
    }
    dir_ = tmpl;
    if (geteuid() == 0 && std::system(("chown postgres: " + dir_).c_str()) != 0) {
        *error = "cannot give " + dir_ + " to postgres";
        return false;
    }
    if (!run("initdb -D " + dir_ + "/data -A trust -U bramblewick -E UTF8 --no-sync")) {
        *error = "initdb failed (see " + dir_ + "/commands.log)";
        return false;
    }
    if (!start()) {
        *error = "the server did not start (see " + dir_ + "/server.log)";
        return false;
    }
    return true;
}

bool PgCluster::start()
{
    running_ = run("pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -o \"-k " + dir_ +
                   " -c listen_addresses='' -c fsync=off -c shared_buffers=16MB"
                   " -c max_connections=20\" start");
    return running_;
}

bool PgCluster::stop(const char *mode)
{
    bool ok = run("pg_ctl -D " + dir_ + "/data -w -m " + mode + " stop");
    running_ = false;
    return ok;
}

std::string PgCluster::conninfo() const
{
    return "host=" + dir_ + " dbname=postgres user=bramblewick";
}

PgCluster::~PgCluster()
{
    if (dir_.empty())
        return;
    if (running_)
        stop("immediate");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

PgRows pg_query(const std::string &conninfo, const std::string &sql, std::string *error)
{
    PgRows out;
    std::string why;
    PGconn *c = PQconnectdb(conninfo.c_str());
    PGresult *r = nullptr;
    if (PQstatus(c) != CONNECTION_OK) {
        why = PQerrorMessage(c);
    } else {
        r = PQexec(c, sql.c_str());
        if (PQresultStatus(r) != PGRES_TUPLES_OK && PQresultStatus(r) != PGRES_COMMAND_OK)
            why = PQresultErrorMessage(r);
        for (int i = 0; why.empty() && i < PQntuples(r); ++i) {
            out.emplace_back();
            for (int j = 0; j < PQnfields(r); ++j)
                out.back().push_back(PQgetvalue(r, i, j));
        }
    }
    PQclear(r);
    PQfinish(c);
    if (error)
        *error = why;
    return out;
}
