// fuzz support: helpers every target shares.
#pragma once

#include <cstddef>
#include <cstdint>

// The fuzzer's bytes as a file, for readers that only read files (iniparser). Writes the bytes to a
// private temporary file (made on the first call, removed at exit) and returns its path.
const char *write_fuzz_file(const uint8_t *data, size_t size);

// Points the stdout and stderr stream variables at /dev/null: the layers' diagnostics and
// progress dots would drown the fuzzer's output. File descriptors 1 and 2 stay open, so
// libFuzzer's own output and sanitizer reports still show.
void silence_diagnostics();
