// util: CRC-16/MODBUS over a byte buffer, as the DKB agent computes it for every RAM block.
// Called by the DKB memory transfer (src/dkb) and by the virtual agent.
//
// Polynomial 0x8005 bit-reversed (table polynomial 0xA001), initial value 0xFFFF, no final
// exclusive-or; check value 0x4B37 over "123456789". The result's upper 16 bits are zero.
#pragma once

#include <cstdint>

// The 256-entry reflected table for 0xA001; crc_tbl[1] is 0xC0C1.
extern const uint32_t crc_tbl[256];

// The CRC of length bytes. Sliced over 16 tables, 16 bytes per step; bit-identical to
// crc16_bytewise for every input.
unsigned int crc16(const unsigned char *data, uint32_t length);

// The reference form: one crc_tbl step per byte. Kept for the tests and the benchmark.
unsigned int crc16_bytewise(const unsigned char *data, uint32_t length);
