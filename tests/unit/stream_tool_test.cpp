// torvel-stream as a command-line tool: its conventions (--version, --help
// per subcommand, --opt=value, exit statuses), inspect and decode over
// encode-frames' output, PNG pictures as frames; and the input parsing it
// shares with fuzzers, called directly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "stream_decoder.h"
#include "stream_input.h"
#include "tool_run.h"

namespace {

namespace fs = std::filesystem;
namespace tb = torvel::testbed;
using Bytes = std::vector<uint8_t>;

torvel_test::ToolRun<std::string> run(std::vector<std::string> args, const Bytes &input = {}) {
    return torvel_test::run_tool<std::string>(TORVEL_STREAM_BIN, std::move(args), input);
}

uint32_t le32(const std::string &s, size_t at) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);) out.push_back(l);
    return out;
}

class StreamTool : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/stream_tool_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A 64 x 16 picture (2 x 2 blocks): noise, with block 2 (the left half of
    // rows 8..15) painted flat when `variant` is set.
    tb::FrameBuffer picture(unsigned seed, bool variant = false) {
        tb::FrameBuffer f(64, 16);
        std::mt19937 rng(seed);
        for (auto &v : f.rgb()) v = static_cast<uint8_t>(rng());
        if (variant)
            for (int y = 8; y < 16; ++y)
                for (int x = 0; x < 32; ++x) f.pixel(x, y)[0] = f.pixel(x, y)[1] = 200;
        return f;
    }
    std::string png(const tb::FrameBuffer &f, const std::string &name) {
        const std::string path = (dir_ / name).string();
        std::string error;
        EXPECT_TRUE(tb::write_png(f, path, &error)) << error;
        return path;
    }
    static Bytes bgrx(const tb::FrameBuffer &f) {
        Bytes out;
        for (size_t i = 0; i < f.rgb().size(); i += 3)
            out.insert(out.end(), {f.rgb()[i + 2], f.rgb()[i + 1], f.rgb()[i], 0});
        return out;
    }
    static Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

    fs::path dir_;
};

TEST_F(StreamTool, FollowsTheCommandLineConventions) {
    auto r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("torvel-stream ") + TORVEL_VERSION + "\n");

    // Every subcommand the overview lists has its own help.
    r = run({"--help"});
    ASSERT_EQ(r.status, 0);
    int commands = 0;
    for (const std::string &line : lines_of(r.out)) {
        if (line.rfind("  ", 0) != 0) continue;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        const auto h = run({name, "--help"});
        EXPECT_EQ(h.status, 0) << name;
        EXPECT_EQ(h.err, "") << name;
        EXPECT_EQ(h.out.rfind("usage: torvel-stream " + name + " ", 0), 0u) << h.out;
        EXPECT_NE(h.out.find("\n\n"), std::string::npos) << name << " has no description";
        ++commands;
    }
    EXPECT_GE(commands, 7);

    // --opt=value is --opt value, and the value is used.
    const auto joined = run({"blob", "--quality=50"});
    const auto split = run({"blob", "--quality", "50"});
    EXPECT_EQ(joined.status, 0);
    EXPECT_EQ(joined.out, split.out);
    EXPECT_NE(joined.out, run({"blob"}).out);

    for (const std::vector<std::string> &args : {std::vector<std::string>{},
                                                 {"nosuch"},
                                                 {"blob", "--quality"},
                                                 {"blob", "extra"},
                                                 {"blob", "-q", "5"},
                                                 {"inspect", "--frames=1"}}) {
        const auto u = run(args);
        EXPECT_EQ(u.status, 2) << (args.empty() ? "(none)" : args.back());
        EXPECT_EQ(u.out, "");
        EXPECT_FALSE(u.err.empty());
    }
}

TEST_F(StreamTool, PngPicturesAreTheSameFramesAsRawOnes) {
    const tb::FrameBuffer p0 = picture(1), p1 = picture(2), p2 = picture(2, true);
    const auto from_png =
        run({"encode-frames", png(p0, "0.png"), png(p1, "1.png"), "--width=64", png(p2, "2.png")});
    ASSERT_EQ(from_png.status, 0) << from_png.err;
    Bytes raw = bgrx(p0);
    for (const auto *p : {&p1, &p2}) {
        const Bytes b = bgrx(*p);
        raw.insert(raw.end(), b.begin(), b.end());
    }
    const auto from_raw = run({"encode-frames", "--width", "64", "--height", "16"}, raw);
    ASSERT_EQ(from_raw.status, 0) << from_raw.err;
    EXPECT_EQ(from_png.out, from_raw.out);
    EXPECT_FALSE(from_png.out.empty());

    // Pictures of another size than the first, or than the one given.
    EXPECT_EQ(run({"encode-frames", png(p0, "a.png"), png(tb::FrameBuffer(32, 8), "b.png")}).status,
              1);
    EXPECT_EQ(run({"encode-frames", "--height", "8", png(p0, "c.png")}).status, 2);
    EXPECT_EQ(run({"encode-frames", (dir_ / "missing.png").string()}).status, 1);
}

TEST_F(StreamTool, InspectAndDecodeReadEncodeFramesOutput) {
    const tb::FrameBuffer p1 = picture(2), p2 = picture(2, true);
    const std::string a = png(p1, "1.png"), b = png(p2, "2.png");
    const auto frames = run({"encode-frames", a, a, b, b, b});
    ASSERT_EQ(frames.status, 0) << frames.err;

    const auto listed = run({"inspect", "--frames"}, bytes(frames.out));
    ASSERT_EQ(listed.status, 0) << listed.err;
    // Each row names a header in the input: its block, its length, its end bit.
    std::vector<std::vector<unsigned>> blocks(5);
    std::vector<int> ends(5);
    for (const std::string &line : lines_of(listed.out)) {
        if (line.empty() || line[0] == '#' || line.rfind("frame", 0) == 0) continue;
        unsigned frame = 0, block = 0, end = 0;
        size_t offset = 0, length = 0;
        ASSERT_EQ(
            std::sscanf(line.c_str(), "%u %zu %u %zu %u", &frame, &offset, &block, &length, &end),
            5)
            << line;
        ASSERT_LT(frame, 5u);
        ASSERT_LE(offset + 4 + length, frames.out.size());
        const tb::BlockHeader h = tb::unpack_block_header(le32(frames.out, offset));
        EXPECT_EQ(h.id, 13u) << line;
        EXPECT_EQ(h.block_index, block) << line;
        EXPECT_EQ(h.data_bytes(), length) << line;
        EXPECT_EQ(h.end, end) << line;
        blocks[frame].push_back(block);
        ends[frame] += static_cast<int>(end);
    }
    // The first two frames after a mode change carry every block; a changed
    // block goes in the frame where it changes and once more in the next;
    // then nothing.
    EXPECT_EQ(blocks[0], (std::vector<unsigned>{0, 1, 2, 3}));
    EXPECT_EQ(blocks[1], (std::vector<unsigned>{0, 1, 2, 3}));
    EXPECT_EQ(blocks[2], (std::vector<unsigned>{2}));
    EXPECT_EQ(blocks[3], (std::vector<unsigned>{2}));
    EXPECT_TRUE(blocks[4].empty());
    EXPECT_EQ(ends, (std::vector<int>{1, 1, 1, 1, 0}));

    const std::string out_png = (dir_ / "shown.png").string();
    const auto decoded =
        run({"decode", "--width", "64", "--height=16", "--frames", "--png", out_png},
            bytes(frames.out));
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    const auto decode_lines = lines_of(decoded.out);
    ASSERT_EQ(decode_lines.size(), 5u) << decoded.out;
    EXPECT_EQ(decode_lines[4], "frame 4: nothing sent");
    tb::FrameBuffer shown;
    std::string error;
    ASSERT_TRUE(tb::read_png(out_png, shown, &error)) << error;
    EXPECT_GT(tb::psnr(shown, p2), 25.0);  // noise at quality 90: about 30 dB

    // One transfer as the device receives it, extra byte included.
    const uint32_t first = le32(frames.out, 0);
    Bytes transfer(frames.out.begin() + 4, frames.out.begin() + 4 + first);
    transfer.push_back(0);
    const auto one = run({"inspect"}, transfer);
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("extra byte"), std::string::npos) << one.out;
    // Cut inside a record: status 1 and where.
    transfer.resize(100);
    const auto cut = run({"inspect"}, transfer);
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("runs past the end"), std::string::npos) << cut.err;
    EXPECT_EQ(run({"decode", "--width", "64", "--height", "16"}, transfer).status, 1);
}

// The parsing functions report, never read past, what they are given.
TEST(StreamInput, ReportsTruncatedAndMalformedInputWithItsOffset) {
    std::vector<torvel_stream::FrameSlice> frames;
    std::string error;
    EXPECT_FALSE(torvel_stream::split_frames(Bytes{8, 0, 0, 0, 1, 2, 3}, frames, error));
    EXPECT_NE(error.find("offset 0"), std::string::npos) << error;
    EXPECT_FALSE(torvel_stream::split_frames(Bytes{0, 0, 0, 0, 5}, frames, error));
    EXPECT_NE(error.find("offset 4"), std::string::npos) << error;

    // A header whose length field claims 1024 bytes, in a 128-byte stream.
    Bytes stream(128, 0xFF);
    const uint32_t header = 13u << 28 | 1u << 27 | 255u << 2 | 1u;
    for (int i = 0; i < 4; ++i)
        stream[static_cast<size_t>(i)] = static_cast<uint8_t>(header >> (8 * i));
    auto listing = torvel_stream::list_records(stream, 40);
    ASSERT_EQ(listing.problems.size(), 1u);
    EXPECT_NE(listing.problems[0].find("offset 40: a record of 1024"), std::string::npos)
        << listing.problems[0];
    EXPECT_TRUE(listing.records.empty());

    // A record without the end bit, then fill words that stop short of 128.
    Bytes short_stream = {0x01, 0x00, 0x00, 0xD0, 1, 2, 3, 4, 0xFF, 0xD9, 0xFF, 0xFF};
    listing = torvel_stream::list_records(short_stream);
    EXPECT_EQ(listing.records.size(), 1u);
    EXPECT_EQ(listing.problems.size(), 2u);
}

}  // namespace
