// Block encoding: worked outputs, the bit writer, the vector transform against
// the scalar one, and the fast encoder against the literal oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "jpeg_enc.h"
#include "jpeg_enc/reference.h"
#include "jpeg_enc_oracle.h"
#include "jpeg_enc_targets.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record with its own planes and output buffer.
struct Block {
    int width, height;
    std::vector<uint8_t> y, cb, cr;
    std::vector<uint8_t> out;
    cinfo_t c{};

    Block(int w, int h, int quality = 90)
        : width(w),
          height(h),
          y(static_cast<size_t>(w * h), 128),
          cb(y),
          cr(y),
          out(encode_max_bytes(static_cast<size_t>(w), static_cast<size_t>(h)) + 64) {
        Initialize(&c, static_cast<BYTE>(quality));
    }

    cinfo_t &bind(DWORD pos = 0) {
        c.Ximage = width;
        c.Yimage = height;
        c.Y_buffer = reinterpret_cast<SBYTE *>(y.data());
        c.Cb_buffer = reinterpret_cast<SBYTE *>(cb.data());
        c.Cr_buffer = reinterpret_cast<SBYTE *>(cr.data());
        c.jpeg_stream = {out.data(), pos};
        return c;
    }

    Bytes encoded(DWORD pos = 0) {
        const int end = encode(&bind(pos));
        return Bytes(out.begin() + pos, out.begin() + end);
    }
};

Bytes hex(std::initializer_list<int> bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

TEST(JpegEncEncode, FlatBlocks) {
    Block b(32, 8);
    EXPECT_EQ(b.encoded(), hex({0x28, 0x00, 0xA0, 0x02, 0x80, 0x0A, 0x00, 0xFF, 0xD9}));
    EXPECT_EQ(encode(&b.bind()), 9);

    std::fill(b.y.begin(), b.y.end(), 0);
    EXPECT_EQ(b.encoded(), hex({0xFC, 0xAA, 0xA0, 0x02, 0x80, 0x0A, 0x00, 0x28, 0x00, 0xFF, 0xD9}));

    std::fill(b.y.begin(), b.y.end(), 255);
    EXPECT_EQ(b.encoded(), hex({0xFD, 0x53, 0xA0, 0x02, 0x80, 0x0A, 0x00, 0x28, 0x00, 0xFF, 0xD9}));

    Block small(8, 8);
    EXPECT_EQ(small.encoded(), hex({0x28, 0x00, 0xFF, 0xD9}));
}

TEST(JpegEncEncode, HorizontalRamp) {
    Block b(32, 8);
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 32; ++c)
            b.y[static_cast<size_t>(32 * r + c)] = static_cast<uint8_t>(8 * c);
    }
    EXPECT_EQ(b.encoded(), hex({0xFC, 0xF4, 0xF8, 0x6B, 0xFF, 0x00, 0x2C, 0xBF, 0x0A, 0x00,
                                0xFA, 0xAF, 0xE1, 0xAF, 0xFC, 0xB2, 0xFC, 0x28, 0x03, 0xEA,
                                0xBF, 0x86, 0xBF, 0xF2, 0xCB, 0xF0, 0xA0, 0x0F, 0xAA, 0xBE,
                                0x1A, 0xFF, 0x00, 0xCB, 0x2F, 0xC2, 0x80, 0x00, 0xFF, 0xD9}));
}

TEST(JpegEncEncode, StartPositionAndRepeatedCalls) {
    Block b(32, 8);
    std::mt19937 rng(7);
    for (auto &s : b.y) s = static_cast<uint8_t>(rng());
    for (auto &s : b.cr) s = static_cast<uint8_t>(rng());
    const Bytes first = b.encoded();
    // The bit accumulator and the DC predictors restart in every call, even
    // when the record is left with pending bits.
    b.c.wordnew = 0x1234;
    b.c.wordpos = 13;
    EXPECT_EQ(b.encoded(), first);
    std::fill(b.out.begin(), b.out.end(), 0xEE);
    const int end = encode(&b.bind(100));
    EXPECT_EQ(end, 100 + static_cast<int>(first.size()));
    EXPECT_EQ(Bytes(b.out.begin() + 100, b.out.begin() + end), first);
    EXPECT_TRUE(
        std::all_of(b.out.begin(), b.out.begin() + 100, [](uint8_t v) { return v == 0xEE; }));
    EXPECT_EQ(b.out[static_cast<size_t>(end)], 0xEE);
    EXPECT_EQ(b.c.wordpos, 0);
    EXPECT_EQ(b.c.wordnew, 0u);
}

TEST(JpegEncEncode, WritebitsLeavesInWordsAndFlashbitsPadsWithZeros) {
    BYTE out[16];
    std::memset(out, 0xEE, sizeof out);
    cinfo_t c{};
    c.jpeg_stream = {out, 0};
    writebits((0x5u << 16) | 3, &c);  // 101
    EXPECT_EQ(c.jpeg_stream.pos, 0u);
    EXPECT_EQ(c.wordnew, 5u);
    EXPECT_EQ(c.wordpos, 3);
    writebits((0xFFFFu << 16) | 16, &c);
    writebits((0xFFFFu << 16) | 16, &c);  // 35 bits: one word leaves
    EXPECT_EQ(c.jpeg_stream.pos, 7u);
    EXPECT_EQ(Bytes(out, out + 7), hex({0xBF, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(c.wordpos, 3);
    EXPECT_EQ(c.wordnew, 7u);
    // Only the count's low-order bits of the upper half are taken.
    writebits((0xFFFAu << 16) | 2, &c);  // 10
    flashbits(&c);
    EXPECT_EQ(c.jpeg_stream.pos, 8u);
    EXPECT_EQ(out[7], 0xF0);  // 111 10 000
    EXPECT_EQ(c.wordpos, 0);
    EXPECT_EQ(c.wordnew, 0u);
    flashbits(&c);  // nothing pending: nothing written
    EXPECT_EQ(c.jpeg_stream.pos, 8u);
    writebits((0xFFu << 16) | 8, &c);
    flashbits(&c);
    EXPECT_EQ(Bytes(out + 8, out + 10), hex({0xFF, 0x00}));
}

// Codes one luminance unit after a zero DC prediction and flushes.
Bytes code_unit(const INT16 *du) {
    cinfo_t c{};
    Initialize(&c, 90);
    BYTE out[512];
    c.jpeg_stream = {out, 0};
    SWORD dc = 0;
    process_DU(&c, du, &dc, &Y_HT);
    flashbits(&c);
    return Bytes(out, out + c.jpeg_stream.pos);
}

INT16 natural_of(int zz) {
    for (int i = 0; i < 64; ++i) {
        if (zigzag[i] == zz) return static_cast<INT16>(i);
    }
    return -1;
}

TEST(JpegEncEncode, ZeroRunsAndTheLastCoefficient) {
    INT16 du[64] = {};
    // 35 zeros, then 1: two sixteen-zero codes, then run 3 / size 1.
    du[natural_of(36)] = 1;
    EXPECT_EQ(code_unit(du), oracle::bits_to_bytes("00  11111111001 11111111001  111010 1  1010"));
    // A unit that ends with a non-zero last coefficient has no end of block:
    // 0/1 and the bit of -1, then 61 zeros as three sixteen-zero codes and
    // run 13 / size 2 with the bits of +2.
    std::memset(du, 0, sizeof du);
    du[natural_of(1)] = -1;
    du[natural_of(63)] = 2;
    const bitstring r13 = Y_HT.AC[0xD2];
    ASSERT_NE(r13, 0u);
    std::string bits = "00  00 0";
    for (int i = 0; i < 3; ++i) bits += " 11111111001";
    bits += " ";
    for (int k = static_cast<int>(r13 & 0xFF) - 1; k >= 0; --k)
        bits += ((r13 >> (16 + k)) & 1) ? '1' : '0';
    bits += " 10";
    EXPECT_EQ(code_unit(du), oracle::bits_to_bytes(bits.c_str()));
}

TEST(JpegEncEncode, DcDifferencesAcrossUnits) {
    Block b(16, 8);
    // Left unit all 0 (DC -341 at quality 90), right unit all 255 (DC 339):
    // the second Y difference is 680, category 10.
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 16; ++c) b.y[static_cast<size_t>(16 * r + c)] = c < 8 ? 0 : 255;
    }
    Bytes want = oracle::bits_to_bytes(
        "1111110 010101010 1010  00 00  00 00  11111110 1010101000 1010  00 00  00 00");
    want.push_back(0xFF);
    want.push_back(0xD9);
    EXPECT_EQ(b.encoded(), want);
}

// Fills a plane with one of several kinds of content.
void fill(std::vector<uint8_t> &plane, int width, int kind, std::mt19937 &rng) {
    const int height = static_cast<int>(plane.size()) / width;
    const int base = static_cast<int>(rng() % 256);
    const int spread = 1 + static_cast<int>(rng() % 16);
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            int v = 0;
            switch (kind) {
                case 0:
                    v = static_cast<int>(rng() % 256);
                    break;  // full range noise
                case 1:
                    v = base + static_cast<int>(rng() % (2 * spread + 1)) - spread;
                    break;
                case 2:
                    v = (rng() & 1) ? 255 : 0;
                    break;  // extremes
                case 3:
                    v = ((r + c) & 1) ? 255 : 0;
                    break;  // checkerboard
                case 4:
                    v = base + 7 * c - 5 * r;
                    break;  // gradient
                case 5:
                    v = (c % 5 == 0 || r % 3 == 0) ? 20 : 235;
                    break;  // strokes
                default:
                    v = base;
                    break;  // flat
            }
            plane[static_cast<size_t>(r * width + c)] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    }
}

TEST(JpegEncEncode, VectorTransformEqualsScalarOnEveryTarget) {
    std::mt19937 rng(1234);
    const int qualities[] = {0, 25, 50, 75, 90, 95, 99, 100};
    // Level-shifted units of every kind, plus the two extreme constants.
    std::vector<std::array<INT16, 64>> units;
    for (int n = 0; n < 3000; ++n) {
        std::vector<uint8_t> plane(64);
        fill(plane, 8, n % 7, rng);
        std::array<INT16, 64> u{};
        for (int i = 0; i < 64; ++i)
            u[static_cast<size_t>(i)] = static_cast<INT16>(plane[static_cast<size_t>(i)] - 128);
        units.push_back(u);
    }
    std::array<INT16, 64> lo{}, hi{};
    lo.fill(-128);
    hi.fill(127);
    units.push_back(lo);
    units.push_back(hi);

    for_each_target([&] {
        for (int q : qualities) {
            cinfo_t c{};
            Initialize(&c, static_cast<BYTE>(q));
            for (const auto &u : units) {
                for (const INT16 *div : {c.divisor_Y, c.divisor_Cb}) {
                    INT16 want[64], got[64];
                    std::memcpy(want, u.data(), sizeof want);
                    std::memcpy(got, u.data(), sizeof got);
                    fdct_and_quantization_reference(div, want);
                    fdct_and_quantization(div, got);
                    ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << "quality " << q;
                }
            }
        }
    });
}

TEST(JpegEncEncode, FastEncoderEqualsOracleOnEveryTarget) {
    struct Geometry {
        int w, h;
    };
    const Geometry geometries[] = {{32, 8}, {8, 8}, {16, 8}, {24, 16}, {40, 8}, {64, 16}, {8, 24}};
    const int qualities[] = {0, 50, 90, 100};
    std::mt19937 rng(99);
    for_each_target([&] {
        for (const Geometry &g : geometries) {
            for (int q : qualities) {
                Block b(g.w, g.h, q);
                for (int n = 0; n < 30; ++n) {
                    fill(b.y, g.w, n % 7, rng);
                    fill(b.cb, g.w, (n + 2) % 7, rng);
                    fill(b.cr, g.w, (n + 4) % 7, rng);
                    const Bytes want = oracle::encode(b.bind());
                    ASSERT_EQ(b.encoded(), want) << g.w << "x" << g.h << " q" << q << " n" << n;
                }
            }
        }
    });
}

TEST(JpegEncEncode, ProcessDuEqualsOracleUnitByUnit) {
    // The public per-unit coder, driven the way the block loop is defined.
    std::mt19937 rng(5);
    for (int n = 0; n < 200; ++n) {
        Block b(16, 16, n % 2 ? 90 : 100);
        fill(b.y, 16, n % 7, rng);
        fill(b.cb, 16, (n + 3) % 7, rng);
        fill(b.cr, 16, (n + 5) % 7, rng);
        cinfo_t &c = b.bind();
        c.wordnew = 0;
        c.wordpos = 0;
        SWORD dcy = 0, dccb = 0, dccr = 0;
        for (int y = 0; y < 16; y += 8) {
            for (int x = 0; x < 16; x += 8) {
                load_data_units_from_buffer(&c, static_cast<WORD>(x), static_cast<WORD>(y));
                fdct_and_quantization(c.divisor_Y, c.DU_DCTY);
                fdct_and_quantization(c.divisor_Cb, c.DU_DCTCb);
                fdct_and_quantization(c.divisor_Cb, c.DU_DCTCr);
                process_DU(&c, c.DU_DCTY, &dcy, &Y_HT);
                process_DU(&c, c.DU_DCTCb, &dccb, &Cb_HT);
                process_DU(&c, c.DU_DCTCr, &dccr, &Cb_HT);
            }
        }
        flashbits(&c);
        c.jpeg_stream.pbitstream[c.jpeg_stream.pos++] = 0xFF;
        c.jpeg_stream.pbitstream[c.jpeg_stream.pos++] = 0xD9;
        const Bytes got(b.out.begin(), b.out.begin() + c.jpeg_stream.pos);
        ASSERT_EQ(got, oracle::encode(b.bind())) << n;
    }
}

TEST(JpegEncEncode, Quality100CoefficientsStayWithinTheCodeTables) {
    // The largest magnitude of each coefficient comes from the sample pattern
    // that follows the signs of its basis function; the code tables end at
    // AC category 10 (|v| < 1024) and DC difference category 11.
    cinfo_t c{};
    Initialize(&c, 100);
    auto basis_sign = [](int k, int x) {
        return std::cos((2 * x + 1) * k * std::numbers::pi / 16) >= 0;
    };
    int largest_ac = 0;
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            for (int polarity = 0; polarity < 2; ++polarity) {
                for (const INT16 *div : {c.divisor_Y, c.divisor_Cb}) {
                    INT16 du[64];
                    for (int r = 0; r < 8; ++r) {
                        for (int col = 0; col < 8; ++col) {
                            const bool up =
                                (basis_sign(u, r) == basis_sign(v, col)) != (polarity == 1);
                            du[8 * r + col] = up ? 127 : -128;
                        }
                    }
                    fdct_and_quantization_reference(div, du);
                    for (int i = 1; i < 64; ++i)
                        largest_ac = std::max(largest_ac, std::abs(int{du[i]}));
                    EXPECT_LE(std::abs(int{du[0]}), 1024);
                }
            }
        }
    }
    EXPECT_LT(largest_ac, 1024);
    EXPECT_GT(largest_ac, 512);  // the patterns do reach high categories
}

TEST(JpegEncEncode, CopiesEncodeIndependentlyOnManyThreads) {
    Block proto(32, 8);
    std::mt19937 rng(3);
    std::vector<std::vector<uint8_t>> inputs;
    std::vector<Bytes> expected;
    for (int n = 0; n < 64; ++n) {
        std::vector<uint8_t> planes(768);
        for (auto &s : planes) s = static_cast<uint8_t>(rng() % 256 / ((n % 4) + 1));
        std::copy(planes.begin(), planes.begin() + 256, proto.y.begin());
        std::copy(planes.begin() + 256, planes.begin() + 512, proto.cb.begin());
        std::copy(planes.begin() + 512, planes.end(), proto.cr.begin());
        expected.push_back(proto.encoded());
        inputs.push_back(planes);
    }
    const cinfo_t shared = proto.c;
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                for (size_t n = 0; n < inputs.size(); ++n) {
                    // The worker's way: a copy of the record, the three planes
                    // back to back in one buffer, the stream 4 bytes in.
                    cinfo_t c = shared;
                    std::vector<uint8_t> planes = inputs[n];
                    BYTE record[kEncodeBlockMaxBytes + 4];
                    c.Y_buffer = reinterpret_cast<SBYTE *>(planes.data());
                    c.Cb_buffer = c.Y_buffer + 256;
                    c.Cr_buffer = c.Y_buffer + 512;
                    c.jpeg_stream = {record + 4, 0};
                    const int len = encode(&c);
                    if (Bytes(record + 4, record + 4 + len) != expected[n])
                        ++failures[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
