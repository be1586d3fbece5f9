// tests: detail records as the station writes them (one JSON object a line), for the shipper's
// tests and benchmark.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

inline nlohmann::json make_record(const std::string &station, const std::string &csv_file,
                                  int csv_line, bool passed, const std::string &run_id = "")
{
    using nlohmann::json;
    int fixture = (csv_line - 2) % 4 + 1;
    char when[40];
    std::snprintf(when, sizeof when, "2026-12-09T01:%02d:%02d.%03dZ", (csv_line / 60) % 60,
                  csv_line % 60, csv_line % 1000);
    json steps = json::array();
    steps.push_back({{"stage", "DKB"}, {"start_ms", 0}, {"ms", 812}, {"bytes", 65536}});
    steps.push_back({{"stage", "boot.img"}, {"start_ms", 900}, {"ms", 4100}, {"bytes", 8388608}});
    json r = {{"station", station},
            {"program", "2.0.30.0"},
            {"csv_file", csv_file},
            {"csv_line", csv_line},
            {"fixture", std::to_string(fixture)},
            {"interface_1", "sim-" + std::to_string(fixture)},
            {"interface_2", ""},
            {"bootrom_id", "1286:8104"},
            {"bootrom_version", "3.1"},
            {"agent_interface", passed ? json("simagent-1") : json(nullptr)},
            {"start", when},
            {"finish", when},
            {"section", passed ? "Finished" : "boot.img"},
            {"status_code", passed ? 0 : -116},
            {"status_text", passed ? "Completed" : "Write failed: device gone"},
            {"passed", passed},
            {"job",
             {{"sha256", std::string(64, 'a')},
              {"images", json::array({{{"file", "boot.img"},
                                       {"desc", "kernel"},
                                       {"nand_loc", 0},
                                       {"nand_loc_end", 8388608},
                                       {"size", 8388608},
                                       {"sha256", std::string(64, 'b')}}})}}},
            {"nand", {{"id", "2cda"}, {"page", 2048}, {"block", 131072}, {"spare", 64}}},
            {"steps", steps},
            {"plugin", nullptr}};
    if (!run_id.empty()) // records written before run ids have none
        r["run_id"] = run_id;
    return r;
}

// Appends lines (each gets its "\n") to path.
inline void append_lines(const std::string &path, const std::vector<std::string> &lines)
{
    FILE *f = std::fopen(path.c_str(), "ab");
    for (const std::string &l : lines)
        std::fprintf(f, "%s\n", l.c_str());
    std::fclose(f);
}
