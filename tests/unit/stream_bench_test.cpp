// torvel-stream bench: the report's form, and that it runs the same frame
// path as encode-frames (the first stream has the same length).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tool_run.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Result = torvel_test::ToolRun<std::string>;

Result run(std::vector<std::string> args, const Bytes &input) {
    return torvel_test::run_tool<std::string>(TORVEL_STREAM_BIN, std::move(args), input);
}

// A frame of 100 x 30 pixels: a partial last block column and a partial
// last block row, so the edge handling runs too.
Bytes random_frame(int width, int height, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes f(static_cast<size_t>(width) * height * 4);
    for (auto &b : f) b = static_cast<uint8_t>(rng() % 7 == 0 ? rng() : 200);
    return f;
}

// Length of the first stream that encode-frames writes for `frame`.
long first_stream_length(const Bytes &frame, int width, int height) {
    const Result r =
        run({"encode-frames", "--width", std::to_string(width), "--height", std::to_string(height)},
            frame);
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.out.size() < 4) return -1;
    const auto *p = reinterpret_cast<const uint8_t *>(r.out.data());
    return static_cast<long>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

TEST(StreamBench, ReportsTimesAndTheStreamOfEncodeFrames) {
    const Bytes frame = random_frame(100, 30, 1);
    const long expected = first_stream_length(frame, 100, 30);
    ASSERT_GT(expected, 0);
    ASSERT_EQ(expected % 128, 0);
    for (const char *threads : {"1", "2", "4"}) {
        SCOPED_TRACE(threads);
        const Result r = run(
            {"bench", "--width", "100", "--height", "30", "--threads", threads, "--frames", "3"},
            frame);
        ASSERT_EQ(r.status, 0) << r.err;
        double full = -1, unchanged = -1, one_block = -1;
        long bytes = -1;
        int consumed = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str(),
                              "full_ms: %lf\nunchanged_ms: %lf\none_block_ms: %lf\nstream_bytes: "
                              "%ld\n%n",
                              &full, &unchanged, &one_block, &bytes, &consumed),
                  4)
            << r.out;
        EXPECT_EQ(static_cast<size_t>(consumed), r.out.size()) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
        EXPECT_GT(full, 0.0);
        EXPECT_GE(unchanged, 0.0);
        EXPECT_GT(one_block, 0.0);
        EXPECT_EQ(bytes, expected);
    }
}

TEST(StreamBench, RefusesBadArgumentsAndShortInput) {
    const Bytes frame = random_frame(64, 16, 2);
    EXPECT_EQ(run({"bench", "--height", "16"}, frame).status, 2);
    EXPECT_EQ(run({"bench", "--width", "64", "--height", "16", "--threads", "0"}, frame).status, 2);
    EXPECT_EQ(run({"bench", "--width", "64", "--height", "16", "--threads", "5"}, frame).status, 2);
    EXPECT_EQ(run({"bench", "--width", "64", "--height", "16", "--frames", "0"}, frame).status, 2);
    const Bytes half(frame.begin(), frame.begin() + static_cast<long>(frame.size() / 2));
    const Result r = run({"bench", "--width", "64", "--height", "16"}, half);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("less than one 64x16 frame"), std::string::npos) << r.err;
}

}  // namespace
