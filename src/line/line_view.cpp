// line view: the line as JSON from the live tables and today's phones. Called by the feed
// thread only (and by the benchmark on its own thread).
#include "line/line_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <libpq-fe.h>
#include <map>
#include <memory>

using nlohmann::json;

namespace
{

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

#define BW_UTC(col) "to_char(" col " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"

const char *kStations =
    "SELECT station, host, program_version, job_sha256, job_description, run_id, twin_run_id,"
    " " BW_UTC("started") ", " BW_UTC("heartbeat") ", " BW_UTC(
        "stopped") ","
                   " stopped IS NULL AND heartbeat < now() - make_interval(secs => $1) AS silent,"
                   " extract(epoch FROM now() - heartbeat)::float8,"
                   " programmed, failed, interrupted, first_pass_yield, phones_per_hour"
                   " FROM bramblewick.station ORDER BY station";

const char *kFixtures =
    "SELECT station, fixture, position, state, suspect, stage, progress, status_text,"
    " " BW_UTC("run_started") ", " BW_UTC("updated") " FROM bramblewick.fixture_state"
                                                     " ORDER BY station, position, fixture";

// Whether phone_run tells interrupted phones apart (a column added in a later version).
const char *kHasInterrupted =
    "SELECT count(*) FROM pg_attribute WHERE attrelid = 'bramblewick.phone_run'::regclass"
    " AND attname = 'interrupted' AND NOT attisdropped";

// Finished phones today (the session's day), by hour. A phone the station was stopped in the
// middle of has no result and is left out (%s: the interrupted filter, or nothing).
const char *kToday = "SELECT p.station, " BW_UTC(
    "date_trunc('hour', p.finish)") ","
                                    " count(*), count(*) FILTER (WHERE p.passed)"
                                    " FROM bramblewick.phone_run p JOIN bramblewick.station s ON "
                                    "s.station = p.station"
                                    " WHERE p.finish >= date_trunc('day', now()) AND p.passed IS "
                                    "NOT NULL%s"
                                    " GROUP BY 1, 2 ORDER BY 1, 2";

// Each live station's last $1 phones with a result.
const char *kWindow =
    "SELECT s.station, count(w.passed), count(*) FILTER (WHERE w.passed)"
    " FROM bramblewick.station s CROSS JOIN LATERAL ("
    "   SELECT p.passed FROM bramblewick.phone_run p"
    "   WHERE p.station = s.station AND p.finish IS NOT NULL AND p.passed IS NOT NULL%s"
    "   ORDER BY p.finish DESC, p.id DESC LIMIT $1) w"
    " GROUP BY s.station";

const char *kNotInterrupted = " AND p.interrupted IS NOT TRUE";

std::string with_filter(const char *sql, bool interrupted)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf, sql, interrupted ? kNotInterrupted : "");
    return buf;
}

Result query(PGconn *conn, const char *sql, const std::string &param, std::string *error)
{
    const char *values[] = {param.c_str()};
    Result res(PQexecParams(conn, sql, param.empty() ? 0 : 1, nullptr,
                            param.empty() ? nullptr : values, nullptr, nullptr, 0),
               PQclear);
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
        const char *message = res ? PQresultErrorMessage(res.get()) : PQerrorMessage(conn);
        *error = message && *message ? message : PQerrorMessage(conn);
        while (!error->empty() && (error->back() == '\n' || error->back() == ' '))
            error->pop_back();
        return Result(nullptr, PQclear);
    }
    return res;
}

json text(const PGresult *res, int row, int col)
{
    if (PQgetisnull(res, row, col))
        return nullptr;
    return PQgetvalue(res, row, col);
}

json number(const PGresult *res, int row, int col)
{
    if (PQgetisnull(res, row, col))
        return nullptr;
    return std::strtod(PQgetvalue(res, row, col), nullptr);
}

json integer(const PGresult *res, int row, int col)
{
    if (PQgetisnull(res, row, col))
        return nullptr;
    return std::strtoll(PQgetvalue(res, row, col), nullptr, 10);
}

bool flag(const PGresult *res, int row, int col)
{
    return !PQgetisnull(res, row, col) && PQgetvalue(res, row, col)[0] == 't';
}

json alarm(const char *kind, const std::string &station, const std::string &text)
{
    return {{"kind", kind}, {"station", station}, {"text", text}};
}

std::string percent(double value)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f%%", value);
    return buf;
}

// True when the window's yield is below the threshold for sure: over a full window, or already
// with the phones so far, were every phone still to come in the window to pass.
bool yield_low(long long phones, long long passed, const line_alarm_settings &settings)
{
    if (phones <= 0 || settings.yield_window <= 0)
        return false;
    long long best = passed + std::max(0LL, settings.yield_window - phones);
    return 100.0 * static_cast<double>(best) / settings.yield_window < settings.yield_alarm_percent;
}

} // namespace

int line_live(PGconn *conn, json *out, std::string *error)
{
    // One snapshot of the database for both tables, so a station is never shown with the
    // fixtures of another moment.
    Result begin(PQexec(conn, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"), PQclear);
    if (!begin || PQresultStatus(begin.get()) != PGRES_COMMAND_OK) {
        *error = PQerrorMessage(conn);
        while (!error->empty() && error->back() == '\n')
            error->pop_back();
        return -1;
    }
    Result stations = query(conn, kStations, std::to_string(LINE_SILENT_AFTER_S), error);
    Result fixtures = stations ? query(conn, kFixtures, "", error) : Result(nullptr, PQclear);
    Result end(PQexec(conn, "COMMIT"), PQclear);
    if (!fixtures)
        return -1;

    json doc = {{"stations", json::array()}, {"alarms", json::array()}};
    std::map<std::string, size_t> index;
    json &list = doc["stations"];
    json &alarms = doc["alarms"];
    const PGresult *s = stations.get();
    for (int r = 0; r < PQntuples(s); ++r) {
        std::string id = PQgetvalue(s, r, 0);
        bool silent = flag(s, r, 10);
        json station = {
            {"station", id},
            {"host", text(s, r, 1)},
            {"program_version", text(s, r, 2)},
            {"job", {{"sha256", text(s, r, 3)}, {"description", text(s, r, 4)}}},
            {"run_id", text(s, r, 5)},
            {"twin_run_id", text(s, r, 6)},
            {"started", text(s, r, 7)},
            {"heartbeat", text(s, r, 8)},
            {"heartbeat_age_s", number(s, r, 11)},
            {"stopped", text(s, r, 9)},
            {"silent", silent},
            {"tally",
             {{"programmed", integer(s, r, 12)},
              {"failed", integer(s, r, 13)},
              {"interrupted", integer(s, r, 14)},
              {"first_pass_yield", number(s, r, 15)},
              {"phones_per_hour", number(s, r, 16)},
              {"phones_today", 0},
              {"passed_today", 0},
              {"yield_today", nullptr}}},
            {"today_by_hour", json::array()},
            {"fixtures", json::array()},
        };
        if (silent) {
            double age = PQgetisnull(s, r, 11) ? 0 : std::strtod(PQgetvalue(s, r, 11), nullptr);
            alarms.push_back(alarm("silent", id,
                                   "station " + id + " silent: no heartbeat for " +
                                       std::to_string(static_cast<long long>(age)) + " s"));
        }
        if (!PQgetisnull(s, r, 6) && PQgetisnull(s, r, 9))
            alarms.push_back(alarm("twin", id,
                                   "station " + id +
                                       ": two programs run with this station id (run ids " +
                                       PQgetvalue(s, r, 5) + " and " + PQgetvalue(s, r, 6) + ")"));
        index[id] = list.size();
        list.push_back(std::move(station));
    }

    const PGresult *f = fixtures.get();
    for (int r = 0; r < PQntuples(f); ++r) {
        auto it = index.find(PQgetvalue(f, r, 0));
        if (it == index.end())
            continue;
        json &station = list[it->second];
        bool suspect = flag(f, r, 4);
        std::string fixture = PQgetvalue(f, r, 1);
        station["fixtures"].push_back({{"fixture", fixture},
                                       {"position", integer(f, r, 2)},
                                       {"state", text(f, r, 3)},
                                       {"suspect", suspect},
                                       {"stage", text(f, r, 5)},
                                       {"progress", integer(f, r, 6)},
                                       {"status_text", text(f, r, 7)},
                                       {"run_started", text(f, r, 8)},
                                       {"updated", text(f, r, 9)}});
        if (suspect) {
            json a = alarm("suspect", it->first,
                           "station " + it->first + " fixture " + fixture +
                               " suspect: its last phones failed");
            a["fixture"] = fixture;
            alarms.push_back(std::move(a));
        }
    }
    *out = std::move(doc);
    return 0;
}

int line_record(PGconn *conn, const line_alarm_settings &settings, json *out, std::string *error)
{
    Result has = query(conn, kHasInterrupted, "", error);
    if (!has)
        return -1;
    bool interrupted = std::atoi(PQgetvalue(has.get(), 0, 0)) > 0;
    Result today = query(conn, with_filter(kToday, interrupted).c_str(), "", error);
    Result window = today ? query(conn, with_filter(kWindow, interrupted).c_str(),
                                  std::to_string(std::max(settings.yield_window, 0)), error)
                          : Result(nullptr, PQclear);
    if (!window)
        return -1;

    json record = json::object();
    const PGresult *t = today.get();
    for (int r = 0; r < PQntuples(t); ++r) {
        json &station = record[PQgetvalue(t, r, 0)];
        long long phones = std::strtoll(PQgetvalue(t, r, 2), nullptr, 10);
        long long passed = std::strtoll(PQgetvalue(t, r, 3), nullptr, 10);
        station["today_by_hour"].push_back({{"hour", PQgetvalue(t, r, 1)}, {"phones", phones}});
        station["phones_today"] = station.value("phones_today", 0LL) + phones;
        station["passed_today"] = station.value("passed_today", 0LL) + passed;
    }
    const PGresult *w = window.get();
    for (int r = 0; r < PQntuples(w); ++r) {
        json &station = record[PQgetvalue(w, r, 0)];
        station["window_phones"] = std::strtoll(PQgetvalue(w, r, 1), nullptr, 10);
        station["window_passed"] = std::strtoll(PQgetvalue(w, r, 2), nullptr, 10);
    }
    *out = std::move(record);
    return 0;
}

void line_merge(json *doc, const json &record, const line_alarm_settings &settings)
{
    for (json &station : (*doc)["stations"]) {
        const std::string id = station["station"].get<std::string>();
        auto it = record.find(id);
        if (it == record.end())
            continue;
        json &tally = station["tally"];
        long long phones = it->value("phones_today", 0LL);
        tally["phones_today"] = phones;
        tally["passed_today"] = it->value("passed_today", 0LL);
        if (phones > 0)
            tally["yield_today"] = 100.0 * it->value("passed_today", 0LL) / phones;
        station["today_by_hour"] = it->value("today_by_hour", json::array());

        long long window = it->value("window_phones", 0LL);
        long long passed = it->value("window_passed", 0LL);
        if (!yield_low(window, passed, settings))
            continue;
        json a = alarm("yield", id,
                       "station " + id + " yield " +
                           percent(100.0 * static_cast<double>(passed) / window) +
                           " over its last " + std::to_string(window) + " phones, below " +
                           percent(settings.yield_alarm_percent));
        a["phones"] = window;
        a["passed"] = passed;
        (*doc)["alarms"].push_back(std::move(a));
    }
}

int line_snapshot(PGconn *conn, const line_alarm_settings &settings, json *out, std::string *error)
{
    json doc, record;
    if (line_live(conn, &doc, error) != 0 || line_record(conn, settings, &record, error) != 0)
        return -1;
    line_merge(&doc, record, settings);
    *out = std::move(doc);
    return 0;
}
