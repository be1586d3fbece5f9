// fuzz target of the job layer: arbitrary bytes as flasher.ini through flashini_parse_file.
//
// The bytes are written to a private temporary file (iniparser reads files only), parsed, and
// any job released, so AddressSanitizer sees leaks and over-reads in the reader and its guards.
#include <cstdint>

#include "job/flashini_parser.h"
#include "support/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = (silence_diagnostics(), true);
    (void)quiet;
    flashini_destroy(flashini_parse_file(write_fuzz_file(data, size)));
    return 0;
}
