// torvel-stream encode-frames: for a sequence of frames, exactly the streams
// the format defines, built here independently from the block encoder, the
// conversion formula and the device's header packing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "jpeg_enc.h"
#include "stream_decoder.h"

namespace {

using Frame = std::vector<uint8_t>;  // BGRX, stride width * 4
using Bytes = std::vector<uint8_t>;

class EncodeFrames : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/encode_frames_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Runs the tool; returns its exit status and the streams it wrote.
    int run(int w, int h, const std::vector<Frame> &frames, std::vector<Bytes> *streams,
            size_t truncate_input = 0) {
        const std::string in = dir_ + "/in", out = dir_ + "/out";
        {
            std::ofstream f(in, std::ios::binary);
            for (const Frame &fr : frames)
                f.write(reinterpret_cast<const char *>(fr.data()), static_cast<long>(fr.size()));
        }
        if (truncate_input != 0) truncate(in.c_str(), static_cast<off_t>(truncate_input));
        const std::string cmd = std::string(TORVEL_STREAM_BIN) + " encode-frames --width " +
                                std::to_string(w) + " --height " + std::to_string(h) + " < " + in +
                                " > " + out + " 2>/dev/null";
        const int status = std::system(cmd.c_str());
        std::ifstream f(out, std::ios::binary);
        const Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        size_t at = 0;
        while (streams != nullptr && at + 4 <= all.size()) {
            const uint32_t n = all[at] | all[at + 1] << 8 | all[at + 2] << 16 |
                               static_cast<uint32_t>(all[at + 3]) << 24;
            at += 4;
            EXPECT_LE(at + n, all.size());
            streams->emplace_back(all.begin() + static_cast<long>(at),
                                  all.begin() + static_cast<long>(std::min(at + n, all.size())));
            at += n;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string dir_;
};

Frame solid(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    Frame f(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < f.size(); i += 4) {
        f[i] = b;
        f[i + 1] = g;
        f[i + 2] = r;
        f[i + 3] = 0xEE;
    }
    return f;
}

Frame pattern(int w, int h, int seed) {
    Frame f(static_cast<size_t>(w) * h * 4);
    std::mt19937 rng(static_cast<unsigned>(seed));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = &f[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = static_cast<uint8_t>(x * 3 + seed);
            p[1] = static_cast<uint8_t>(y * 5);
            p[2] = static_cast<uint8_t>((x ^ y) * 2 + (rng() & 15));
            p[3] = 0;
        }
    return f;
}

// The 768 YCbCr bytes of block (c, r) with the frame's last column and row
// repeated past its edges, converted by the fixed-point formula.
Bytes block_ycc(const Frame &f, int w, int h, int c, int r) {
    Bytes out(768);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) {
            const int sx = std::min(32 * c + x, w - 1), sy = std::min(8 * r + y, h - 1);
            const uint8_t *p = &f[(static_cast<size_t>(sy) * w + sx) * 4];
            const int64_t B = p[0], G = p[1], R = p[2];
            const int at = y * 32 + x;
            out[at] = static_cast<uint8_t>((19595 * R + 38470 * G + 7471 * B + 32768) >> 16);
            out[256 + at] =
                static_cast<uint8_t>((-11059 * R - 21709 * G + 32768 * B + 8421375) >> 16);
            out[512 + at] =
                static_cast<uint8_t>((32768 * R - 27439 * G - 5329 * B + 8421375) >> 16);
        }
    return out;
}

// The record of block n: header then the encoder's bytes, raised to whole
// words with zeros.
Bytes record(const Bytes &ycc, uint32_t n, bool end) {
    static cinfo_t prepared = [] {
        cinfo_t c{};
        Initialize(&c, 90);
        c.Ximage = 32;
        c.Yimage = 8;
        return c;
    }();
    cinfo_t c = prepared;
    uint8_t coded[kEncodeBlockMaxBytes];
    Bytes planes = ycc;
    c.Y_buffer = reinterpret_cast<SBYTE *>(planes.data());
    c.Cb_buffer = c.Y_buffer + 256;
    c.Cr_buffer = c.Y_buffer + 512;
    c.jpeg_stream = {coded, 0};
    const size_t len = static_cast<size_t>(encode(&c));
    EXPECT_LE(len, 764u);
    const size_t padded = (len + 3) / 4 * 4;
    torvel::testbed::BlockHeader hdr;
    hdr.len = static_cast<uint32_t>(padded / 4 - 1);
    hdr.block_index = n;
    hdr.end = end ? 1 : 0;
    const uint32_t word = torvel::testbed::pack_block_header(hdr);
    Bytes out(4 + padded, 0);
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(word >> (8 * i));
    std::memcpy(out.data() + 4, coded, len);
    return out;
}

// The stream of the given blocks of a frame: records, end bit on the last,
// fill words FF D9 FF FF up to a multiple of 128 (at least one).
Bytes expected_stream(const Frame &f, int w, int h, const std::vector<uint32_t> &blocks) {
    const int loop_x = (w + 31) / 32;
    Bytes out;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Bytes rec = record(block_ycc(f, w, h, static_cast<int>(blocks[i]) % loop_x,
                                           static_cast<int>(blocks[i]) / loop_x),
                                 blocks[i], i + 1 == blocks.size());
        out.insert(out.end(), rec.begin(), rec.end());
    }
    if (out.empty()) return out;
    do {
        for (uint8_t byte : {0xFF, 0xD9, 0xFF, 0xFF}) out.push_back(byte);
    } while (out.size() % 128 != 0);
    return out;
}

std::vector<uint32_t> range(uint32_t n) {
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = i;
    return v;
}

TEST_F(EncodeFrames, ASequenceGivesExactlyTheDefinedStreams) {
    // 72 x 20: a grid of 3 x 3 blocks whose right column and bottom row
    // reach past the frame; fewer rows than encoder workers.
    const int w = 72, h = 20;
    const Frame a = pattern(w, h, 1);
    Frame b = a;
    b[(static_cast<size_t>(17) * w + 70) * 4 + 1] ^= 0x40;  // block 8 only
    std::vector<Bytes> got;
    ASSERT_EQ(run(w, h, {a, a, a, b, b, b, a}, &got), 0);
    ASSERT_EQ(got.size(), 7u);
    // After a mode change every block travels twice.
    EXPECT_EQ(got[0], expected_stream(a, w, h, range(9)));
    EXPECT_EQ(got[1], expected_stream(a, w, h, range(9)));
    EXPECT_TRUE(got[2].empty());
    // A change travels in the frame where it appears and the next.
    EXPECT_EQ(got[3], expected_stream(b, w, h, {8}));
    EXPECT_EQ(got[4], expected_stream(b, w, h, {8}));
    EXPECT_TRUE(got[5].empty());
    EXPECT_EQ(got[6], expected_stream(a, w, h, {8}));
}

TEST_F(EncodeFrames, ContentEqualToTheSecondPreFillIsNotSentTwice) {
    // This colour converts to Y = Cb = Cr = 171 (0xAB), the second store's
    // pre-fill: it goes out in the first frame only.
    const Frame ab = solid(64, 16, 231, 125, 247);
    ASSERT_EQ(block_ycc(ab, 64, 16, 0, 0), Bytes(768, 0xAB));
    std::vector<Bytes> got;
    ASSERT_EQ(run(64, 16, {ab, ab, ab}, &got), 0);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], expected_stream(ab, 64, 16, range(4)));
    EXPECT_TRUE(got[1].empty());
    EXPECT_TRUE(got[2].empty());
    // Content equal to the first pre-fill is no exception.
    const Frame other = solid(64, 16, 10, 20, 30);
    got.clear();
    ASSERT_EQ(run(64, 16, {other, other, other}, &got), 0);
    EXPECT_EQ(got[1], expected_stream(other, 64, 16, range(4)));
    EXPECT_TRUE(got[2].empty());
}

TEST_F(EncodeFrames, FillWordsTakeEveryStreamToTheNext128) {
    // Streams of many lengths: one changed block of varying content each.
    const int w = 256, h = 8;
    std::vector<Frame> frames{pattern(w, h, 3), pattern(w, h, 3)};
    std::set<size_t> counts;
    std::mt19937 rng(9);
    for (int i = 0; i < 60; ++i) {
        Frame f = frames.back();
        const int x = static_cast<int>(rng() % 32), y = static_cast<int>(rng() % 8);
        f[(static_cast<size_t>(y) * w + 32 * (i % 8) + x) * 4] ^=
            static_cast<uint8_t>(1 + rng() % 255);
        frames.push_back(f);
    }
    std::vector<Bytes> got;
    ASSERT_EQ(run(w, h, frames, &got), 0);
    ASSERT_EQ(got.size(), frames.size());
    for (const Bytes &s : got) {
        if (s.empty()) continue;
        ASSERT_EQ(s.size() % 128, 0u);
        // Walk the records; what follows is fill.
        size_t at = 0;
        for (;;) {
            const auto hdr = torvel::testbed::unpack_block_header(
                s[at] | s[at + 1] << 8 | s[at + 2] << 16 | static_cast<uint32_t>(s[at + 3]) << 24);
            ASSERT_EQ(hdr.id, 13u);
            at += 4 + hdr.data_bytes();
            if (hdr.end) break;
        }
        const size_t words = (s.size() - at) / 4;
        EXPECT_GE(words, 1u);
        EXPECT_LE(words, 32u);
        counts.insert(words);
        for (size_t i = at; i < s.size(); i += 4)
            ASSERT_EQ(Bytes(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i) + 4),
                      (Bytes{0xFF, 0xD9, 0xFF, 0xFF}));
    }
    EXPECT_GT(counts.size(), 5u);  // the lengths really varied
}

TEST_F(EncodeFrames, EveryStreamDecodesOntoTheScreen) {
    const int w = 1366, h = 40;
    const Frame f = pattern(w, h, 4);
    std::vector<Bytes> got;
    ASSERT_EQ(run(w, h, {f}, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    torvel::testbed::StreamDecoder decoder;
    ASSERT_TRUE(decoder.set_quant_blob(1, torvel::testbed::make_quant_blob(90), nullptr));
    torvel::testbed::FrameBuffer shown(w, h), screen(w, h);
    const auto report = decoder.decode(got[0], torvel::testbed::TrailingByte::kOptional, shown);
    EXPECT_TRUE(report.clean());
    EXPECT_EQ(report.records, 43u * 5);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t *p = &f[(static_cast<size_t>(y) * w + x) * 4];
            uint8_t *d = screen.pixel(x, y);
            d[0] = p[2];
            d[1] = p[1];
            d[2] = p[0];
        }
    EXPECT_GE(torvel::testbed::psnr(shown, screen), 35.0);
}

TEST_F(EncodeFrames, BadInputAndArguments) {
    std::vector<Bytes> got;
    // Input that ends inside the second frame: the first stream, then status 1.
    EXPECT_EQ(run(32, 8, {pattern(32, 8, 1), pattern(32, 8, 2)}, &got, 32 * 8 * 4 + 100), 1);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(run(0, 8, {}, nullptr), 2);
    EXPECT_EQ(run(70000, 8, {}, nullptr), 2);
    // No frames at all: nothing written, success.
    got.clear();
    EXPECT_EQ(run(32, 8, {}, &got), 0);
    EXPECT_TRUE(got.empty());
}

}  // namespace
