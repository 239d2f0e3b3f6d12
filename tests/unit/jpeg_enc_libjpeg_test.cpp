// Marker segments, and independent checks against libjpeg-turbo: its decoder
// reads our files, and its encoder writes the same entropy-coded data.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "jpeg_enc.h"
#include "jpeg_enc/reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct TjDeleter {
    void operator()(void *h) const { tjDestroy(h); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

struct TjBufferDeleter {
    void operator()(unsigned char *p) const { tjFree(p); }
};

struct Planes {
    int width, height;
    Bytes y, cb, cr;
    Planes(int w, int h)
        : width(w), height(h), y(static_cast<size_t>(w * h)), cb(y.size()), cr(y.size()) {}
    const Bytes &plane(int i) const { return i == 0 ? y : i == 1 ? cb : cr; }
};

cinfo_t bound(const Planes &p, int quality, BYTE *out) {
    cinfo_t c{};
    Initialize(&c, static_cast<BYTE>(quality));
    c.Ximage = p.width;
    c.Yimage = p.height;
    c.Y_buffer = reinterpret_cast<SBYTE *>(const_cast<uint8_t *>(p.y.data()));
    c.Cb_buffer = reinterpret_cast<SBYTE *>(const_cast<uint8_t *>(p.cb.data()));
    c.Cr_buffer = reinterpret_cast<SBYTE *>(const_cast<uint8_t *>(p.cr.data()));
    c.jpeg_stream = {out, 0};
    return c;
}

// WriteHeader followed by encode.
Bytes jpeg_file(const Planes &p, int quality) {
    Bytes out(700 + encode_max_bytes(static_cast<size_t>(p.width), static_cast<size_t>(p.height)));
    cinfo_t c = bound(p, quality, out.data());
    WriteHeader(&c, p.width, p.height);
    const int end = encode(&c);
    out.resize(static_cast<size_t>(end));
    return out;
}

// Scan data of libjpeg-turbo's 4:4:4 fast-DCT encoding of the same planes.
Bytes turbo_scan(const Planes &p, int quality, Bytes *whole = nullptr) {
    TjHandle h(tjInitCompress());
    EXPECT_TRUE(h);
    const unsigned char *src[3] = {p.y.data(), p.cb.data(), p.cr.data()};
    const int strides[3] = {p.width, p.width, p.width};
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(0, tjCompressFromYUVPlanes(h.get(), src, p.width, strides, p.height, TJSAMP_444, &buf,
                                         &size, quality, TJFLAG_FASTDCT))
        << tjGetErrorStr2(h.get());
    std::unique_ptr<unsigned char, TjBufferDeleter> owner(buf);
    const Bytes file(buf, buf + size);
    if (whole) *whole = file;
    for (size_t i = 2; i + 4 < file.size();) {
        EXPECT_EQ(file[i], 0xFF);
        const size_t len = (size_t{file[i + 2]} << 8) | file[i + 3];
        if (file[i + 1] == 0xDA)
            return Bytes(file.begin() + static_cast<long>(i + 2 + len), file.end() - 2);
        i += 2 + len;
    }
    ADD_FAILURE() << "no SOS segment";
    return {};
}

// Equal except for the padding of the last byte: libjpeg-turbo fills with 1
// bits (stuffing the byte if that makes it 0xFF), we fill with 0 bits.
void expect_same_scan(const Bytes &ours_with_eoi, const Bytes &theirs, const char *what) {
    ASSERT_GE(ours_with_eoi.size(), 3u) << what;
    Bytes ours(ours_with_eoi.begin(), ours_with_eoi.end() - 2);
    ASSERT_EQ(ours_with_eoi.end()[-2], 0xFF);
    ASSERT_EQ(ours_with_eoi.end()[-1], 0xD9);
    Bytes t = theirs;
    // A last byte of 0xFF from 1-padding is followed by a stuffed 0x00 unless
    // it was already 0xFF (and stuffed) in ours too.
    if (t.size() == ours.size() + 1 && t.end()[-2] == 0xFF && t.back() == 0x00) t.pop_back();
    ASSERT_EQ(t.size(), ours.size()) << what;
    ASSERT_TRUE(std::equal(ours.begin(), ours.end() - 1, t.begin())) << what;
    const uint8_t a = ours.back(), b = t.back();
    bool padding_only = a == b;
    for (int pad = 1; pad <= 7 && !padding_only; ++pad) {
        const uint8_t mask = static_cast<uint8_t>((1 << pad) - 1);
        padding_only = (a & mask) == 0 && b == (a | mask);
    }
    EXPECT_TRUE(padding_only) << what << ": last bytes " << int{a} << " vs " << int{b};
}

void fill(Planes &p, int kind, std::mt19937 &rng) {
    for (int i = 0; i < 3; ++i) {
        Bytes &plane = i == 0 ? p.y : i == 1 ? p.cb : p.cr;
        const int base = static_cast<int>(rng() % 256);
        for (int r = 0; r < p.height; ++r) {
            for (int c = 0; c < p.width; ++c) {
                int v = 0;
                switch ((kind + i) % 6) {
                    case 0:
                        v = static_cast<int>(rng() % 256);
                        break;
                    case 1:
                        v = base + static_cast<int>(rng() % 9) - 4;
                        break;
                    case 2:
                        v = base + 6 * c - 9 * r;
                        break;
                    case 3:
                        v = ((c / 2 + r) % 3) ? 16 : 240;
                        break;
                    case 4:
                        v = (rng() & 1) ? 255 : 0;
                        break;
                    default:
                        v = base;
                        break;
                }
                plane[static_cast<size_t>(r * p.width + c)] =
                    static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
        }
    }
}

TEST(JpegEncMarkers, HeaderLayout) {
    Planes p(32, 8);
    Bytes out(1024);
    cinfo_t c = bound(p, 90, out.data());
    WriteHeader(&c, 32, 8);
    EXPECT_EQ(c.jpeg_stream.pos, 607u);
    const Bytes soi_app0 = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46,
                            0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    EXPECT_TRUE(std::equal(soi_app0.begin(), soi_app0.end(), out.begin()));
    // DQT: standard zigzag order.
    EXPECT_EQ(out[20], 0xFF);
    EXPECT_EQ(out[21], 0xDB);
    EXPECT_EQ(out[22], 0x00);
    EXPECT_EQ(out[23], 0x84);
    EXPECT_EQ(out[24], 0x00);
    EXPECT_EQ(0, std::memcmp(&out[25], c.DQTinfo.Ytable, 64));
    EXPECT_EQ(out[89], 0x01);
    EXPECT_EQ(0, std::memcmp(&out[90], c.DQTinfo.Cbtable, 64));
    const Bytes sof0 = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x08, 0x00, 0x20, 0x03,
                        0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    EXPECT_TRUE(std::equal(sof0.begin(), sof0.end(), out.begin() + 154));
    const Bytes dht_head = {0xFF, 0xC4, 0x01, 0xA2, 0x00, 0, 1, 5, 1, 1, 1,
                            1,    1,    1,    0,    0,    0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(dht_head.begin(), dht_head.end(), out.begin() + 173));
    const Bytes sos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                       0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
    EXPECT_TRUE(std::equal(sos.begin(), sos.end(), out.begin() + 593));

    jpeg_stream_t s{out.data(), 0};
    EXPECT_EQ(write_DHTinfo(&s), 420);
    s.pos = 0;
    EXPECT_EQ(write_DQTinfo(&c, &s), 134);
}

TEST(JpegEncMarkers, Comments) {
    BYTE out[80];
    jpeg_stream_t s{out, 3};
    write_comment(&s, "");
    EXPECT_EQ(s.pos, 7u);
    EXPECT_EQ(Bytes(out + 3, out + 7), (Bytes{0xFF, 0xFE, 0x00, 0x02}));
    write_comment(&s, "hi");
    EXPECT_EQ(Bytes(out + 7, out + 13), (Bytes{0xFF, 0xFE, 0x00, 0x04, 'h', 'i'}));
    // Text beyond what the 16-bit length can count is cut.
    std::vector<char> text(70000, 'x');
    text.back() = 0;
    Bytes big(70010);
    jpeg_stream_t b{big.data(), 0};
    write_comment(&b, text.data());
    EXPECT_EQ(b.pos, 65537u);
    EXPECT_EQ(big[2], 0xFF);
    EXPECT_EQ(big[3], 0xFF);
}

// The DQT and DHT segments of a libjpeg-turbo file as (table id -> bytes).
std::map<int, Bytes> segments_of(const Bytes &file, uint8_t marker) {
    std::map<int, Bytes> tables;
    for (size_t i = 2; i + 4 < file.size();) {
        const size_t len = (size_t{file[i + 2]} << 8) | file[i + 3];
        if (file[i + 1] == 0xDA) break;
        if (file[i + 1] == marker) {
            size_t p = i + 4;
            while (p < i + 2 + len) {
                const int id = file[p];
                size_t n = 0;
                if (marker == 0xDB) {
                    n = 1 + 64;
                } else {
                    n = 1 + 16;
                    for (int k = 0; k < 16; ++k) n += file[p + 1 + static_cast<size_t>(k)];
                }
                tables[id] = Bytes(file.begin() + static_cast<long>(p),
                                   file.begin() + static_cast<long>(p + n));
                p += n;
            }
        }
        i += 2 + len;
    }
    return tables;
}

TEST(JpegEncMarkers, TablesEqualLibjpegTurbos) {
    Planes p(32, 8);
    Bytes whole;
    turbo_scan(p, 90, &whole);
    Bytes ours(1024);
    cinfo_t c = bound(p, 90, ours.data());
    WriteHeader(&c, 32, 8);
    ours.resize(c.jpeg_stream.pos);
    ours.push_back(0xFF);  // so the parser stops at SOS like in a full file
    EXPECT_EQ(segments_of(ours, 0xC4), segments_of(whole, 0xC4));
    EXPECT_EQ(segments_of(ours, 0xDB), segments_of(whole, 0xDB));
    EXPECT_EQ(segments_of(whole, 0xC4).size(), 4u);
}

TEST(JpegEncLibjpeg, EntropyDataEqualsLibjpegTurbo) {
    std::mt19937 rng(2024);
    // TurboJPEG uses its accurate DCT from quality 96 on, whatever the flags.
    for (int quality : {90, 50, 75, 95}) {
        for (int n = 0; n < 120; ++n) {
            Planes p(32, 8);
            fill(p, n, rng);
            Bytes out(kEncodeBlockMaxBytes);
            cinfo_t c = bound(p, quality, out.data());
            out.resize(static_cast<size_t>(encode(&c)));
            const std::string what =
                "quality " + std::to_string(quality) + " block " + std::to_string(n);
            expect_same_scan(out, turbo_scan(p, quality), what.c_str());
        }
    }
    // Larger geometries code MCUs left to right, then top to bottom.
    for (int n = 0; n < 6; ++n) {
        Planes p(8 * (1 + n % 5), 8 * (1 + n / 2));
        fill(p, n, rng);
        Bytes out(encode_max_bytes(static_cast<size_t>(p.width), static_cast<size_t>(p.height)));
        cinfo_t c = bound(p, 90, out.data());
        out.resize(static_cast<size_t>(encode(&c)));
        expect_same_scan(out, turbo_scan(p, 90), "geometry");
    }
}

// Level-shifted exact 2-D DCT of the unit at (x0, y0) of a plane.
void exact_dct(const Planes &p, int plane, int x0, int y0, double out[64]) {
    const double pi = std::numbers::pi;
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            double sum = 0;
            for (int y = 0; y < 8; ++y) {
                for (int x = 0; x < 8; ++x) {
                    const int s =
                        p.plane(plane)[static_cast<size_t>((y0 + y) * p.width + x0 + x)] - 128;
                    sum += s * std::cos((2 * x + 1) * v * pi / 16) *
                           std::cos((2 * y + 1) * u * pi / 16);
                }
            }
            const double cu = u ? 1 : std::sqrt(0.5), cv = v ? 1 : std::sqrt(0.5);
            out[8 * u + v] = 0.25 * cu * cv * sum;
        }
    }
}

TEST(JpegEncLibjpeg, LibjpegTurboDecodesOurFiles) {
    std::mt19937 rng(77);
    TjHandle h(tjInitDecompress());
    ASSERT_TRUE(h);
    const double pi = std::numbers::pi;
    for (int quality : {90, 100, 50}) {
        for (int n = 0; n < 60; ++n) {
            Planes p(n % 3 ? 32 : 16, n % 4 ? 8 : 16);
            fill(p, n, rng);
            const Bytes file = jpeg_file(p, quality);
            int w = 0, hgt = 0, subsamp = -1, colorspace = -1;
            ASSERT_EQ(0, tjDecompressHeader3(h.get(), file.data(), file.size(), &w, &hgt, &subsamp,
                                             &colorspace))
                << tjGetErrorStr2(h.get());
            ASSERT_EQ(w, p.width);
            ASSERT_EQ(hgt, p.height);
            ASSERT_EQ(subsamp, TJSAMP_444);
            Planes d(p.width, p.height);
            unsigned char *dst[3] = {d.y.data(), d.cb.data(), d.cr.data()};
            int strides[3] = {p.width, p.width, p.width};
            ASSERT_EQ(0, tjDecompressToYUVPlanes(h.get(), file.data(), file.size(), dst, p.width,
                                                 strides, p.height, TJFLAG_ACCURATEDCT))
                << tjGetErrorStr2(h.get());

            // At quality 100 the whole-number divisors of the fast transform
            // (a table entry of 1 times a scale as small as 0.61) scale high
            // frequencies by up to 1.64, as in any fast-DCT encoder; there only
            // the faithful decoding of our coefficients is judged.
            const bool judge_error = quality <= 95;
            cinfo_t c{};
            Initialize(&c, static_cast<BYTE>(quality));
            for (int plane = 0; plane < 3; ++plane) {
                const BYTE *table = plane == 0 ? c.DQTinfo.Ytable : c.DQTinfo.Cbtable;
                const INT16 *divisors = plane == 0 ? c.divisor_Y : c.divisor_Cb;
                for (int y0 = 0; y0 < p.height; y0 += 8) {
                    for (int x0 = 0; x0 < p.width; x0 += 8) {
                        INT16 coef[64];
                        for (int i = 0; i < 64; ++i) {
                            coef[i] = static_cast<INT16>(p.plane(plane)[static_cast<size_t>(
                                                             (y0 + i / 8) * p.width + x0 + i % 8)] -
                                                         128);
                        }
                        fdct_and_quantization_reference(divisors, coef);
                        double exact[64];
                        exact_dct(p, plane, x0, y0, exact);
                        for (int y = 0; y < 8; ++y) {
                            for (int x = 0; x < 8; ++x) {
                                // What our coefficients reconstruct to, and how
                                // far quantisation may move a sample.
                                double recon = 0, allowed = 1;
                                for (int u = 0; u < 8; ++u) {
                                    for (int v = 0; v < 8; ++v) {
                                        const int q = table[zigzag[8 * u + v]];
                                        const double basis = 0.25 * (u ? 1 : std::sqrt(0.5)) *
                                                             (v ? 1 : std::sqrt(0.5)) *
                                                             std::cos((2 * x + 1) * v * pi / 16) *
                                                             std::cos((2 * y + 1) * u * pi / 16);
                                        recon += coef[8 * u + v] * q * basis;
                                        allowed += (q / 2.0 + 1.5) * std::abs(basis);
                                    }
                                }
                                const size_t at = static_cast<size_t>((y0 + y) * p.width + x0 + x);
                                const int got = d.plane(plane)[at];
                                const int want =
                                    std::clamp(static_cast<int>(std::lround(recon + 128)), 0, 255);
                                ASSERT_LE(std::abs(got - want), 1)
                                    << "q" << quality << " n" << n << " plane " << plane;
                                if (judge_error) {
                                    ASSERT_LE(std::abs(got - p.plane(plane)[at]), allowed)
                                        << "q" << quality << " n" << n << " plane " << plane;
                                }
                            }
                        }
                        // Our coefficients are the exact ones, quantised, up to
                        // the fast transform's own error (8-bit constants, whole
                        // divisors: a few units and a few per cent).
                        for (int i = 0; judge_error && i < 64; ++i) {
                            const int q = table[zigzag[i]];
                            ASSERT_LE(std::abs(coef[i] * q - exact[i]),
                                      q / 2.0 + 3 + 0.03 * std::abs(exact[i]))
                                << "q" << quality << " coefficient " << i;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
