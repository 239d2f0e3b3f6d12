// torvel-stream encode-block, jpeg and blob, run as a separate process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "jpeg_enc.h"
#include "tool_run.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Result = torvel_test::ToolRun<Bytes>;

// Runs the tool with `args`, feeding `input` on standard input.
Result run(std::vector<std::string> args, const Bytes &input) {
    const char *tool = std::getenv("TORVEL_STREAM");
    EXPECT_NE(tool, nullptr) << "TORVEL_STREAM must name the tool binary";
    if (!tool) return Result{};
    return torvel_test::run_tool<Bytes>(tool, std::move(args), input);
}

Bytes random_planes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &v : b) v = static_cast<uint8_t>(rng());
    return b;
}

// What the library itself writes for these planes.
Bytes expected(const Bytes &planes, int w, int h, int quality, bool header) {
    Bytes out(700 + encode_max_bytes(static_cast<size_t>(w), static_cast<size_t>(h)));
    cinfo_t c{};
    Initialize(&c, static_cast<BYTE>(quality));
    auto *p = reinterpret_cast<SBYTE *>(const_cast<uint8_t *>(planes.data()));
    const size_t plane = static_cast<size_t>(w * h);
    c.Ximage = w;
    c.Yimage = h;
    c.Y_buffer = p;
    c.Cb_buffer = p + plane;
    c.Cr_buffer = p + 2 * plane;
    c.jpeg_stream = {out.data(), 0};
    if (header) WriteHeader(&c, w, h);
    out.resize(static_cast<size_t>(encode(&c)));
    return out;
}

TEST(JpegEncTool, EncodeBlockWritesExactlyWhatEncodeProduces) {
    Result r = run({"encode-block"}, Bytes(768, 128));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, (Bytes{0x28, 0x00, 0xA0, 0x02, 0x80, 0x0A, 0x00, 0xFF, 0xD9}));

    const Bytes planes = random_planes(768, 1);
    r = run({"encode-block"}, planes);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected(planes, 32, 8, 90, false));

    const Bytes big = random_planes(3 * 16 * 24, 2);
    r = run({"encode-block", "--quality", "50", "--width", "16", "--height", "24"}, big);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected(big, 16, 24, 50, false));
}

TEST(JpegEncTool, JpegWritesHeaderAndData) {
    const Bytes planes = random_planes(3 * 40 * 16, 3);
    Result r = run({"jpeg", "--width", "40", "--height", "16", "--quality", "75"}, planes);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_GT(r.out.size(), 607u);
    EXPECT_EQ(r.out[0], 0xFF);
    EXPECT_EQ(r.out[1], 0xD8);
    EXPECT_EQ(r.out, expected(planes, 40, 16, 75, true));
}

TEST(JpegEncTool, BlobWritesTheQuantisationTables) {
    for (int q : {90, 0, 100}) {
        Result r = q == 90 ? run({"blob"}, {}) : run({"blob", "--quality", std::to_string(q)}, {});
        EXPECT_EQ(r.status, 0);
        cinfo_t c{};
        Initialize(&c, static_cast<BYTE>(q));
        Bytes want(138);
        jpeg_stream_t s{want.data(), 0};
        GetDQTinfo(&c, &s);
        EXPECT_EQ(r.out, want) << q;
    }
}

TEST(JpegEncTool, BadArgumentsAndInputGetOneLineAndStatus2Or1) {
    struct Case {
        std::vector<std::string> args;
        size_t input;
        const char *mentions;
        int status = 2;  // a wrong command line; 1: input the work cannot use
    };
    const Case cases[] = {
        {{"encode-block"}, 767, "short input", 1},
        {{"encode-block"}, 0, "short input", 1},
        {{"jpeg"}, 769, "too long", 1},
        {{"encode-block", "--width", "12"}, 3 * 12 * 8, "--width"},
        {{"encode-block", "--width", "0"}, 0, "--width"},
        {{"jpeg", "--height", "-8"}, 0, "--height"},
        {{"encode-block", "--height", "eight"}, 768, "--height"},
        {{"encode-block", "--quality", "101"}, 768, "--quality"},
        {{"jpeg", "--quality", "-1"}, 768, "--quality"},
        {{"encode-block", "--quality"}, 768, "--quality"},
        {{"encode-block", "--colour", "1"}, 768, "--colour"},
        {{"encode-block", "extra"}, 768, "extra"},
        {{"blob", "--quality", "200"}, 0, "--quality"},
        {{"blob", "--width", "32"}, 0, "--width"},
    };
    for (const Case &c : cases) {
        std::string what;
        for (const auto &a : c.args) what += a + " ";
        const Result r = run(c.args, Bytes(c.input, 128));
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_TRUE(r.out.empty()) << what;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        EXPECT_EQ(r.err.back(), '\n') << what;
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << what << ": " << r.err;
    }
}

}  // namespace
