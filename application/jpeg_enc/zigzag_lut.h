// Compile-time helpers of the entropy coder derived from the zigzag order.
#pragma once

#include <array>
#include <cstdint>

#include "mm_type.h"

namespace jpeg_enc_detail {

// Natural index -> zigzag position (the same numbers as `zigzag`).
inline constexpr std::array<WORD, 64> kZigzag = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63,
};

// Zigzag position -> natural index.
inline constexpr std::array<BYTE, 64> kNaturalOrder = [] {
    std::array<BYTE, 64> order{};
    for (int i = 0; i < 64; ++i) order[kZigzag[i]] = static_cast<BYTE>(i);
    return order;
}();

// For row r and the non-zero bits b of that row's eight coefficients (bit c =
// column c), the same coefficients as bits at their zigzag positions. Eight
// lookups turn a row-major non-zero mask into a zigzag-ordered one.
inline constexpr std::array<std::array<uint64_t, 256>, 8> kZigzagMaskLut = [] {
    std::array<std::array<uint64_t, 256>, 8> lut{};
    for (int r = 0; r < 8; ++r) {
        for (int b = 0; b < 256; ++b) {
            uint64_t m = 0;
            for (int c = 0; c < 8; ++c) {
                if (b & (1 << c)) m |= uint64_t{1} << kZigzag[8 * r + c];
            }
            lut[r][b] = m;
        }
    }
    return lut;
}();

// Magnitude category (number of significant bits of |v|) of every v from
// -2047 to 2047, indexed by (v + 2048) & 4095. Quantised values stay inside
// that range (DC differences within +-2040, AC below 1024). The mask and the
// cap at 11 for the one slot left (-2048) only keep every index derived from
// a category inside the code tables.
inline constexpr std::array<uint8_t, 4096> kCategoryLut = [] {
    std::array<uint8_t, 4096> t{};
    for (int v = -2048; v < 2048; ++v) {
        int n = 0;
        for (int a = v < 0 ? -v : v; a != 0; a >>= 1) ++n;
        t[static_cast<size_t>(v + 2048)] = static_cast<uint8_t>(n > 11 ? 11 : n);
    }
    return t;
}();

}  // namespace jpeg_enc_detail
