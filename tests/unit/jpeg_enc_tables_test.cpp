// Quantisation set-up, divisor tables, Huffman codes and the device blob.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <set>
#include <string>

#include "jpeg_enc.h"
#include "jpeg_enc/reference.h"
#include "jpeg_enc_targets.h"

namespace {

cinfo_t prepared(int quality) {
    cinfo_t c{};
    Initialize(&c, static_cast<BYTE>(quality));
    return c;
}

// Scaled table entry for natural position i.
int entry(const BYTE *zigzag_table, int i) {
    return zigzag_table[zigzag[i]];
}

std::string code_of(bitstring bs) {
    std::string s;
    const int n = static_cast<int>(bs & 0xFF);
    for (int b = n - 1; b >= 0; --b) s += ((bs >> (16 + b)) & 1) ? '1' : '0';
    return s;
}

TEST(JpegEncTables, ZigzagIsTheDiagonalScan) {
    // Walk the anti-diagonals alternately, as in T.81 Figure A.6.
    std::array<int, 64> expected{};
    int k = 0;
    for (int s = 0; s < 15; ++s) {
        for (int t = 0; t <= s; ++t) {
            const int row = (s % 2 == 0) ? s - t : t;
            const int col = s - row;
            if (row < 8 && col < 8) expected[8 * row + col] = k++;
        }
    }
    for (int i = 0; i < 64; ++i) EXPECT_EQ(zigzag[i], expected[i]) << i;
    const int first16[16] = {0, 1, 5, 6, 14, 15, 27, 28, 2, 4, 7, 13, 16, 26, 29, 42};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(zigzag[i], first16[i]);
}

TEST(JpegEncTables, AanScalesFollowTheirFormula) {
    auto s = [](int k) {
        return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * std::numbers::pi / 16);
    };
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) {
            EXPECT_EQ(aanscales[8 * r + c], std::lround(16384 * s(r) * s(c))) << r << "," << c;
        }
    }
    EXPECT_EQ(aanscales[1], 22725);
    EXPECT_EQ(aanscales[63], 1247);
}

TEST(JpegEncTables, Quality90BlobMatchesTheDeviceTables) {
    const BYTE luma[64] = {
        3,  2,  2,  3,  5,  8,  10, 12, 2,  2,  3,  4,  5,  12, 12, 11,  //
        3,  3,  3,  5,  8,  11, 14, 11, 3,  3,  4,  6,  10, 17, 16, 12,  //
        4,  4,  7,  11, 14, 22, 21, 15, 5,  7,  11, 13, 16, 21, 23, 18,  //
        10, 13, 16, 17, 21, 24, 24, 20, 14, 18, 19, 20, 22, 20, 21, 20,
    };
    BYTE chroma[64];
    std::fill(chroma, chroma + 64, 20);
    const BYTE chroma_top[4][8] = {{3, 4, 5, 9, 20, 20, 20, 20},
                                   {4, 4, 5, 13, 20, 20, 20, 20},
                                   {5, 5, 11, 20, 20, 20, 20, 20},
                                   {9, 13, 20, 20, 20, 20, 20, 20}};
    std::memcpy(chroma, chroma_top, sizeof chroma_top);

    cinfo_t c = prepared(90);
    EXPECT_EQ(c.QualityFactor, 90);
    for (DWORD start : {0u, 7u}) {
        BYTE buffer[160];
        std::memset(buffer, 0xAB, sizeof buffer);
        jpeg_stream_t stream{buffer, start};
        EXPECT_EQ(GetDQTinfo(&c, &stream), 138);
        EXPECT_EQ(stream.pos, start + 138);
        const BYTE *b = buffer + start;
        const BYTE head_y[5] = {0xFF, 0xDB, 0x00, 0x43, 0x00};
        const BYTE head_c[5] = {0xFF, 0xDB, 0x00, 0x43, 0x01};
        EXPECT_EQ(0, std::memcmp(b, head_y, 5));
        EXPECT_EQ(0, std::memcmp(b + 5, luma, 64));
        EXPECT_EQ(0, std::memcmp(b + 69, head_c, 5));
        EXPECT_EQ(0, std::memcmp(b + 74, chroma, 64));
        for (DWORD i = 0; i < start; ++i) EXPECT_EQ(buffer[i], 0xAB);
        EXPECT_EQ(buffer[start + 138], 0xAB);
    }
    // The DQT record keeps zigzag order.
    for (int i = 0; i < 64; ++i) EXPECT_EQ(entry(c.DQTinfo.Ytable, i), luma[i]);
    EXPECT_EQ(c.DQTinfo.marker, 0xFFDB);
    EXPECT_EQ(c.DQTinfo.length, 132);
    EXPECT_EQ(c.DQTinfo.QTYinfo, 0);
    EXPECT_EQ(c.DQTinfo.QTCbinfo, 1);
}

TEST(JpegEncTables, BaseTablesAreAnnexK) {
    const BYTE k1_first_row[8] = {16, 11, 10, 16, 24, 40, 51, 61};
    const BYTE k2_first_row[8] = {17, 18, 24, 47, 99, 99, 99, 99};
    EXPECT_EQ(0, std::memcmp(std_luminance_qt, k1_first_row, 8));
    EXPECT_EQ(0, std::memcmp(std_chrominance_qt, k2_first_row, 8));
    EXPECT_EQ(std_luminance_qt[63], 99);
    // Counts add up to the symbol lists.
    auto total = [](const BYTE *counts) {
        int n = 0;
        for (int k = 1; k <= 16; ++k) n += counts[k];
        return n;
    };
    EXPECT_EQ(total(std_dc_luminance_nrcodes), 12);
    EXPECT_EQ(total(std_dc_chrominance_nrcodes), 12);
    EXPECT_EQ(total(std_ac_luminance_nrcodes), 162);
    EXPECT_EQ(total(std_ac_chrominance_nrcodes), 162);
}

TEST(JpegEncTables, QualityScalingAtTheEnds) {
    const cinfo_t q50 = prepared(50), q100 = prepared(100), q0 = prepared(0);
    int largest0 = 0;
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(entry(q50.DQTinfo.Ytable, i), std_luminance_qt[i]);
        EXPECT_EQ(entry(q50.DQTinfo.Cbtable, i), std_chrominance_qt[i]);
        EXPECT_EQ(q100.DQTinfo.Ytable[i], 1);
        EXPECT_EQ(q100.DQTinfo.Cbtable[i], 1);
        EXPECT_EQ(entry(q0.DQTinfo.Ytable, i), 2 * std_luminance_qt[i]);
        EXPECT_EQ(entry(q0.DQTinfo.Cbtable, i), 2 * std_chrominance_qt[i]);
        largest0 = std::max({largest0, int{q0.DQTinfo.Ytable[i]}, int{q0.DQTinfo.Cbtable[i]}});
    }
    EXPECT_EQ(largest0, 242);
}

TEST(JpegEncTables, ReciprocalWorkedValues) {
    struct Case {
        int d, recip, corr, shift;
    };
    for (const Case &k : {Case{24, 43691, 12, 4}, Case{16, 32768, 8, 3}, Case{8, 32768, 4, 2}}) {
        DCTELEM t[256] = {};
        compute_reciprocal(static_cast<UINT16>(k.d), t);
        EXPECT_EQ(static_cast<UDCTELEM>(t[0]), k.recip) << k.d;
        EXPECT_EQ(t[64], k.corr) << k.d;
        EXPECT_EQ(t[192], k.shift) << k.d;
    }
    EXPECT_EQ(flss(0), 0);
    EXPECT_EQ(flss(1), 1);
    EXPECT_EQ(flss(24), 5);
    EXPECT_EQ(flss(0xFFFF), 16);
}

// The divisor of natural position i for a scaled zigzag-order table.
int divisor(const BYTE *zigzag_table, int i) {
    return (entry(zigzag_table, i) * aanscales[i] + 1024) >> 11;
}

TEST(JpegEncTables, Quality90Divisors) {
    const cinfo_t c = prepared(90);
    const int first[4] = {24, 22, 21, 28};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(divisor(c.DQTinfo.Ytable, i), first[i]);
        DCTELEM t[256];
        compute_reciprocal(static_cast<UINT16>(first[i]), t);
        EXPECT_EQ(c.divisor_Y[i], t[0]);
        EXPECT_EQ(c.divisor_Y[64 + i], t[64]);
        EXPECT_EQ(c.divisor_Y[192 + i], t[192]);
    }
    int lo = 1 << 20, hi = 0, smallest_entry = 255;
    for (int i = 0; i < 64; ++i) {
        for (const BYTE *table : {c.DQTinfo.Ytable, c.DQTinfo.Cbtable}) {
            lo = std::min(lo, divisor(table, i));
            hi = std::max(hi, divisor(table, i));
        }
        smallest_entry = std::min<int>(smallest_entry, c.DQTinfo.Ytable[i]);
    }
    EXPECT_EQ(lo, 12);
    EXPECT_EQ(hi, 246);
    EXPECT_EQ(smallest_entry, 2);
}

TEST(JpegEncTables, HuffmanCodesOfTheTypicalTables) {
    cinfo_t c{};
    Initialize(&c, 90);
    EXPECT_EQ(code_of(Y_HT.DC[0]), "00");
    EXPECT_EQ(code_of(Y_HT.DC[11]), "111111110");
    EXPECT_EQ(code_of(Cb_HT.DC[0]), "00");
    EXPECT_EQ(code_of(Cb_HT.DC[11]), "11111111110");
    EXPECT_EQ(code_of(Y_HT.AC[0x00]), "1010");
    EXPECT_EQ(code_of(Y_HT.AC[0xF0]), "11111111001");
    EXPECT_EQ(code_of(Cb_HT.AC[0x00]), "00");
    EXPECT_EQ(code_of(Cb_HT.AC[0xF0]), "1111111010");
    EXPECT_EQ(code_of(Y_HT.AC[0x01]), "00");
    EXPECT_EQ(code_of(Y_HT.AC[0x31]), "111010");
    // Symbols the tables do not define stay 0; categories 1-10 of every run
    // are defined.
    for (int run = 0; run < 16; ++run) {
        EXPECT_EQ(Y_HT.AC[run * 16 + 11], 0u);
        EXPECT_EQ(Cb_HT.AC[run * 16 + 11], 0u);
        for (int cat = 1; cat <= 10; ++cat) {
            EXPECT_NE(Y_HT.AC[run * 16 + cat], 0u);
            EXPECT_NE(Cb_HT.AC[run * 16 + cat], 0u);
        }
    }
}

TEST(JpegEncTables, SecondInitializeReplacesOnlyTheQuantisationState) {
    cinfo_t c{};
    Initialize(&c, 90);
    const HuffmanTable_t y = Y_HT, cb = Cb_HT;
    BYTE out[8];
    SBYTE plane[64];
    c.Ximage = 8;
    c.Yimage = 8;
    c.Y_buffer = c.Cb_buffer = c.Cr_buffer = plane;
    c.jpeg_stream = {out, 3};
    c.wordnew = 5;
    c.wordpos = 3;
    Initialize(&c, 50);
    EXPECT_EQ(0, std::memcmp(&y, &Y_HT, sizeof y));
    EXPECT_EQ(0, std::memcmp(&cb, &Cb_HT, sizeof cb));
    const cinfo_t q50 = prepared(50);
    EXPECT_EQ(0, std::memcmp(c.divisor_Y, q50.divisor_Y, sizeof c.divisor_Y));
    EXPECT_EQ(0, std::memcmp(c.divisor_Cb, q50.divisor_Cb, sizeof c.divisor_Cb));
    EXPECT_EQ(0, std::memcmp(&c.DQTinfo, &q50.DQTinfo, sizeof c.DQTinfo));
    EXPECT_EQ(c.QualityFactor, 50);
    EXPECT_EQ(c.Ximage, 8);
    EXPECT_EQ(c.Y_buffer, plane);
    EXPECT_EQ(c.jpeg_stream.pbitstream, out);
    EXPECT_EQ(c.jpeg_stream.pos, 3u);
    EXPECT_EQ(c.wordnew, 5u);
    EXPECT_EQ(c.wordpos, 3);
}

// Every divisor that some quality from 0 to 100 produces.
std::set<int> all_divisors() {
    std::set<int> out;
    for (int q = 0; q <= 100; ++q) {
        const cinfo_t c = prepared(q);
        for (int i = 0; i < 64; ++i) {
            out.insert(divisor(c.DQTinfo.Ytable, i));
            out.insert(divisor(c.DQTinfo.Cbtable, i));
        }
    }
    return out;
}

// Quantises every x in [-16383, 16383] with divisor d through `quantize`
// (64 values at a time) and expects division with halves rounded away from 0.
template <class Quantize>
void expect_exact_division(int d, Quantize &&quantize) {
    DCTELEM table[256];
    compute_reciprocal(static_cast<UINT16>(d), table);
    DCTELEM divisors[256];
    for (int i = 0; i < 64; ++i) {
        for (int g = 0; g < 4; ++g) divisors[64 * g + i] = table[64 * g];
    }
    int mismatches = 0;
    for (int base = -16383; base <= 16383; base += 64) {
        DCTELEM x[64];
        for (int i = 0; i < 64; ++i) x[i] = static_cast<DCTELEM>(std::min(base + i, 16383));
        DCTELEM q[64];
        std::memcpy(q, x, sizeof q);
        quantize(divisors, q);
        for (int i = 0; i < 64; ++i) {
            const int a = std::abs(int{x[i]});
            const int want = (x[i] < 0 ? -1 : 1) * ((a + d / 2) / d);
            if (q[i] != want && ++mismatches <= 3) {
                ADD_FAILURE() << "d=" << d << " x=" << x[i] << " got " << q[i] << " want " << want;
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << "d=" << d;
}

TEST(JpegEncTables, QuantiserDividesExactlyForEveryQuality) {
    const std::set<int> divisors = all_divisors();
    ASSERT_TRUE(divisors.count(1));  // quality 100 and 99
    ASSERT_TRUE(divisors.count(2));
    ASSERT_LE(*divisors.rbegin(), 4096);
    for (int d : divisors) {
        expect_exact_division(d, [](const DCTELEM *t, DCTELEM *q) { quantize_reference(q, t, q); });
    }
    for_each_target([&] {
        for (int d : divisors) expect_exact_division(d, jpeg_enc_detail::quantize_unit);
    });
}

TEST(JpegEncTables, DivisorOnePassesCoefficientsThrough) {
    DCTELEM t[256];
    compute_reciprocal(1, t);
    EXPECT_EQ(static_cast<UDCTELEM>(t[0]), 0xFFFF);
    EXPECT_EQ(t[64], 1);
    EXPECT_EQ(t[192], 0);
    // Quality 100 keeps every odd magnitude, which the plain rule would lose.
    const cinfo_t c = prepared(100);
    int ones = 0;
    for (int i = 0; i < 64; ++i) ones += divisor(c.DQTinfo.Ytable, i) == 1;
    EXPECT_GT(ones, 0);
    DCTELEM x[64];
    for (int i = 0; i < 64; ++i) x[i] = static_cast<DCTELEM>(i % 2 ? 2 * i + 1 : -(2 * i + 1));
    DCTELEM q[64];
    quantize_reference(q, c.divisor_Y, x);
    for (int i = 0; i < 64; ++i) {
        if (divisor(c.DQTinfo.Ytable, i) == 1) {
            EXPECT_EQ(q[i], x[i]) << i;
        }
    }
}

}  // namespace
