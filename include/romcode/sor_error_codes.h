// romcode: the boot ROM's status codes and their names. Exported for callers that want to name
// a status; the protocol layer itself only tests a status for 0 and hands up -7.
#pragma once

#include <cstdint>

enum { SOR_ERROR_DESCRIPTION_SIZE = 50, SOR_ERROR_CODES_COUNT = 53 };

struct sor_bootrom_errorcode {
    uint8_t code;
    char description[SOR_ERROR_DESCRIPTION_SIZE]; // zero-terminated
};

// The 53 rows, in the order of their codes.
extern const sor_bootrom_errorcode SOR_ERROR_CODES[SOR_ERROR_CODES_COUNT];

// The description of a status code, or null when the table has no such row.
const char *sor_bootrom_error_description(uint8_t code);
