// station core: completing a log left half-written. Start-up calls it on the main thread, with
// the single-instance lock held and before it creates this run's log, so no station writes the
// logs it completes.
//
// An entry's detail line is synced before its CSV line, so a station killed between the two
// leaves a detail line whose CSV line is missing (and perhaps a CSV line cut off part-way). The
// CSV line follows from the detail line: it holds every CSV field, cut as the CSV cuts them. So
// the missing lines are written from their detail lines, after cutting off any part-written
// tail, and the CSV, the detail record and the factory database agree again. A detail line that
// cannot be read, or one whose CSV line would not come next, is never made up: it is reported,
// and the shipper does not send a detail line whose CSV line is missing.
#pragma once

#include <cstdio>
#include <string>

// Completes the CSV at csv_path from the detail record at jsonl_path. *added: lines written.
// 0 (nothing to do, or done), or a negative errno with the reason in *why.
int log_complete(const std::string &csv_path, const std::string &jsonl_path, int *added,
                 std::string *why);

// log_complete for every log_*.jsonl in dir with its CSV beside it; what it did or could not do
// goes to `report`. 0, or the first failure's negative errno (the other logs are still done).
int log_complete_dir(const std::string &dir, FILE *report);
