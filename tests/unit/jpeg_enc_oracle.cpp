#include "jpeg_enc_oracle.h"

#include <cctype>
#include <cstdlib>

#include "jpeg_enc/reference.h"

namespace oracle {
namespace {

struct Writer {
    std::vector<uint8_t> out;
    uint32_t wordnew = 0;
    int wordpos = 0;

    void byte(uint8_t b) {
        out.push_back(b);
        if (b == 0xFF) out.push_back(0);
    }

    void bits(bitstring bs) {
        const int n = static_cast<int>(bs & 0xFF);
        const uint32_t value = (bs >> 16) & ((n == 32 ? 0 : (1u << n)) - 1);
        if (wordpos + n <= 31) {
            wordnew = (wordnew << n) | value;
            wordpos += n;
            return;
        }
        const int k = 32 - wordpos;
        const uint32_t word = (k == 32 ? 0 : (wordnew << k)) | (value >> (n - k));
        for (int s = 24; s >= 0; s -= 8) byte(static_cast<uint8_t>(word >> s));
        wordpos = n - k;
        wordnew = value & ((1u << wordpos) - 1);
    }

    void flush() {
        if (wordpos > 0) {
            const uint32_t word = wordnew << (32 - wordpos);
            for (int i = 0; i < (wordpos + 7) / 8; ++i)
                byte(static_cast<uint8_t>(word >> (24 - 8 * i)));
        }
        wordpos = 0;
        wordnew = 0;
    }
};

int magnitude_bits(int v) {
    int a = std::abs(v), n = 0;
    while (a) {
        ++n;
        a >>= 1;
    }
    return n;
}

void code_value(Writer &w, int v, int cat) {
    const int value = v < 0 ? v - 1 : v;
    w.bits((static_cast<uint32_t>(value) << 16) | static_cast<uint32_t>(cat));
}

void process_du(Writer &w, const int16_t *du, int16_t *dc, const HuffmanTable_t &ht) {
    int16_t zdu[64];
    for (int i = 0; i < 64; ++i) zdu[zigzag[i]] = du[i];
    const int diff = du[0] - *dc;
    *dc = du[0];
    if (diff == 0) {
        w.bits(ht.DC[0]);
    } else {
        const int cat = magnitude_bits(diff);
        w.bits(ht.DC[cat]);
        code_value(w, diff, cat);
    }
    int end0pos = 63;
    while (end0pos > 0 && zdu[end0pos] == 0) --end0pos;
    if (end0pos == 0) {
        w.bits(ht.AC[0x00]);
        return;
    }
    for (int k = 1; k <= end0pos; ++k) {
        int nrzeroes = 0;
        while (zdu[k] == 0) {
            ++nrzeroes;
            ++k;
        }
        for (; nrzeroes > 15; nrzeroes -= 16) w.bits(ht.AC[0xF0]);
        const int cat = magnitude_bits(zdu[k]);
        w.bits(ht.AC[nrzeroes * 16 + cat]);
        code_value(w, zdu[k], cat);
    }
    if (end0pos < 63) w.bits(ht.AC[0x00]);
}

}  // namespace

std::vector<uint8_t> encode(const cinfo_t &prepared) {
    cinfo_t c = prepared;
    Writer w;
    int16_t dcy = 0, dccb = 0, dccr = 0;
    for (int y = 0; y < c.Yimage; y += 8) {
        for (int x = 0; x < c.Ximage; x += 8) {
            load_data_units_from_buffer(&c, static_cast<WORD>(x), static_cast<WORD>(y));
            fdct_and_quantization_reference(c.divisor_Y, c.DU_DCTY);
            fdct_and_quantization_reference(c.divisor_Cb, c.DU_DCTCb);
            fdct_and_quantization_reference(c.divisor_Cb, c.DU_DCTCr);
            process_du(w, c.DU_DCTY, &dcy, Y_HT);
            process_du(w, c.DU_DCTCb, &dccb, Cb_HT);
            process_du(w, c.DU_DCTCr, &dccr, Cb_HT);
        }
    }
    w.flush();
    w.out.push_back(0xFF);
    w.out.push_back(0xD9);
    return w.out;
}

std::vector<uint8_t> bits_to_bytes(const char *bits) {
    Writer w;
    for (const char *p = bits; *p; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p))) continue;
        w.bits((static_cast<uint32_t>(*p == '1') << 16) | 1);
    }
    w.flush();
    return w.out;
}

}  // namespace oracle
