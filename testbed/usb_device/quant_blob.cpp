#include <cstdio>

#include "jpeg_tables.h"
#include "stream_decoder.h"

namespace torvel::testbed {
namespace {

void scale_table(const std::array<uint8_t, 64> &base, unsigned scale, uint8_t *out) {
    for (size_t i = 0; i < 64; ++i) {
        unsigned t = (base[i] * scale + 50) / 100;
        if (t == 0) t = 1;
        if (t > 255) t = 255;
        out[i] = static_cast<uint8_t>(t);
    }
}

}  // namespace

QuantBlob make_quant_blob(int quality) {
    // The scale is computed in 8 bits; for qualities 0..100 that is exact.
    const auto scale = static_cast<uint8_t>(2 * (100 - quality));
    QuantBlob blob{};
    blob[0] = 0xFF;
    blob[1] = 0xDB;
    blob[2] = 0x00;
    blob[3] = 0x43;
    blob[4] = 0x00;
    scale_table(jpeg::kBaseLuminanceQt, scale, &blob[5]);
    blob[69] = 0xFF;
    blob[70] = 0xDB;
    blob[71] = 0x00;
    blob[72] = 0x43;
    blob[73] = 0x01;
    scale_table(jpeg::kBaseChrominanceQt, scale, &blob[74]);
    return blob;
}

bool check_quant_blob(std::span<const uint8_t> blob, std::string *why) {
    auto fail = [why](const std::string &text) {
        if (why) *why = text;
        return false;
    };
    if (blob.size() != kQuantBlobSize) {
        return fail("quantisation blob of " + std::to_string(blob.size()) + " bytes, expected " +
                    std::to_string(kQuantBlobSize));
    }
    for (int half = 0; half < 2; ++half) {
        const size_t base = half * 69;
        if (blob[base] != 0xFF || blob[base + 1] != 0xDB || blob[base + 2] != 0x00 ||
            blob[base + 3] != 0x43 || blob[base + 4] != half) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "quantisation blob: bytes %zu-%zu are %02X %02X %02X %02X %02X, "
                          "expected FF DB 00 43 %02X",
                          base, base + 4, blob[base], blob[base + 1], blob[base + 2],
                          blob[base + 3], blob[base + 4], half);
            return fail(text);
        }
        for (size_t i = 0; i < 64; ++i) {
            if (blob[base + 5 + i] == 0) {
                return fail("quantisation blob: entry " + std::to_string(i) + " of table " +
                            std::to_string(half) + " is 0");
            }
        }
    }
    return true;
}

}  // namespace torvel::testbed
