// Literal, slow block encoder used to judge the fast one: a 32-bit word
// accumulator, an explicit zigzag copy and a scan for zero runs, exactly as
// the block format is defined. Shares only the scalar transform with the
// library.
#pragma once

#include <cstdint>
#include <vector>

#include "jpeg_enc.h"

namespace oracle {

// Encodes the record's planes like `encode` and returns the bytes written.
std::vector<uint8_t> encode(const cinfo_t &prepared);

// Bytes for a bit string such as "0010 1"; whitespace is ignored, the last
// byte is padded with 0 bits and every 0xFF byte is followed by 0x00.
std::vector<uint8_t> bits_to_bytes(const char *bits);

}  // namespace oracle
