// torvel-stream bench: the report's form, and that it runs the same frame
// path as encode-frames (the first stream has the same length).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string temp_path(const char *name) {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/stream_bench_test." + std::to_string(getpid()) +
           "." + name;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Result run(std::vector<std::string> args, const Bytes &input) {
    Result r;
    const std::string in = temp_path("in"), out = temp_path("out"), err = temp_path("err");
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char *>(input.data()),
                static_cast<std::streamsize>(input.size()));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    args.insert(args.begin(), TORVEL_STREAM_BIN);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, TORVEL_STREAM_BIN, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0);
    if (rc == 0) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    r.out = slurp(out);
    r.err = slurp(err);
    unlink(in.c_str());
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
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
        double full = -1, unchanged = -1;
        long bytes = -1;
        int consumed = 0;
        ASSERT_EQ(
            std::sscanf(r.out.c_str(), "full_ms: %lf\nunchanged_ms: %lf\nstream_bytes: %ld\n%n",
                        &full, &unchanged, &bytes, &consumed),
            3)
            << r.out;
        EXPECT_EQ(static_cast<size_t>(consumed), r.out.size()) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
        EXPECT_GT(full, 0.0);
        EXPECT_GE(unchanged, 0.0);
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
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("less than one 64x16 frame"), std::string::npos) << r.err;
}

}  // namespace
