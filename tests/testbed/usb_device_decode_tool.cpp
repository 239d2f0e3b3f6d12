// torvel-stream decode as a firmware developer runs it: a transfer on
// standard input, violations on standard error, a PNG of what it draws.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "reference_block_encoder.h"
#include "stream_decoder.h"

extern char **environ;

namespace tb = torvel::testbed;
namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
    std::vector<std::string> err_lines() const {
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

class DecodeTool : public ::testing::Test {
  protected:
    void SetUp() override {
        tool_ = std::getenv("TORVEL_STREAM");
        ASSERT_NE(tool_, nullptr) << "TORVEL_STREAM is not set";
        dir_ = fs::temp_directory_path() /
               ("torvel-decode-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string &name, const std::vector<uint8_t> &bytes) {
        const auto path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    static std::string slurp(const fs::path &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    ToolRun run(const std::vector<uint8_t> &input, std::vector<std::string> args) {
        const auto in = write("stdin.bin", input);
        const auto out = (dir_ / "stdout.txt").string(), err = (dir_ / "stderr.txt").string();
        args.insert(args.begin(), {tool_, "decode"});
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = 0;
        ToolRun r;
        if (posix_spawn(&pid, tool_, &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    static std::vector<uint8_t> block(uint8_t r, uint8_t g, uint8_t b) {
        std::vector<uint8_t> rgb(tb::kBlockWidth * tb::kBlockHeight * 3);
        for (size_t i = 0; i < rgb.size(); i += 3) {
            rgb[i] = r;
            rgb[i + 1] = g;
            rgb[i + 2] = b;
        }
        std::string error;
        auto data = tb::reference_encode_block(rgb.data(), tb::make_quant_blob(90), &error);
        EXPECT_FALSE(data.empty()) << error;
        return data;
    }

    const char *tool_ = nullptr;
    fs::path dir_;
};

TEST_F(DecodeTool, CleanStreamDrawsThePng) {
    std::vector<tb::StreamRecord> recs = {{0, block(255, 0, 0)}, {2, block(0, 0, 255)}};
    const auto stream = tb::build_stream(recs, true);
    const auto png = (dir_ / "frame.png").string();
    auto r = run(stream, {"--width", "70", "--height", "10", "--quality", "90", "--png", png});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("2 records, 2 blocks drawn"), std::string::npos) << r.out;
    tb::FrameBuffer frame;
    std::string error;
    ASSERT_TRUE(tb::read_png(png, frame, &error)) << error;
    ASSERT_EQ(frame.width(), 70);
    ASSERT_EQ(frame.height(), 10);
    EXPECT_NEAR(frame.pixel(5, 5)[0], 255, 3);
    EXPECT_NEAR(frame.pixel(40, 5)[0], 0, 0);  // block 1 not sent: black
    EXPECT_NEAR(frame.pixel(69, 0)[2], 255, 3);
    EXPECT_EQ(frame.pixel(5, 9)[0], 0);  // second block row not sent

    // The same with the blob from a file, and without the trailing byte.
    const auto blob = tb::make_quant_blob(90);
    const auto blob_path = write("blob.bin", std::vector<uint8_t>(blob.begin(), blob.end()));
    auto stream_only = stream;
    stream_only.pop_back();
    r = run(stream_only, {"--width", "70", "--height", "10", "--blob", blob_path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST_F(DecodeTool, ViolationsOnePerLineAndStatusOne) {
    std::vector<tb::StreamRecord> recs = {{3, block(1, 2, 3)}, {1, block(1, 2, 3)}};
    auto stream = tb::build_stream(recs, true);
    stream[stream.size() - 5] = 0x00;  // the last fill word
    const auto png = (dir_ / "bad.png").string();
    const auto r = run(stream, {"--width", "128", "--height", "8", "--png", png});
    EXPECT_EQ(r.status, 1);
    const auto lines = r.err_lines();
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_NE(lines[0].find("block 1 follows block 3"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("fill word"), std::string::npos) << lines[1];
    EXPECT_TRUE(fs::exists(png));  // still drawn
}

// A wrong command line ends with status 2, a blob that cannot be used with 1.
TEST_F(DecodeTool, BadArgumentsAndBlobsOneLineStatusTwoOrOne) {
    const std::vector<uint8_t> empty;
    const auto blob = tb::make_quant_blob(90);
    auto broken = std::vector<uint8_t>(blob.begin(), blob.end());
    broken[0] = 0;
    const auto broken_path = write("broken.bin", broken);
    const std::vector<std::pair<int, std::vector<std::string>>> cases = {
        {2, {"--width", "64"}},
        {2, {"--width", "64", "--height", "0"}},
        {2, {"--width", "64", "--height", "8", "--quality", "101"}},
        {2, {"--width", "64", "--height", "8", "--quality", "90", "--blob", broken_path}},
        {1, {"--width", "64", "--height", "8", "--blob", (dir_ / "missing.bin").string()}},
        {1, {"--width", "64", "--height", "8", "--blob", broken_path}},
        {2, {"--width", "64", "--height", "8", "--colour", "red"}},
    };
    for (const auto &[status, args] : cases) {
        const auto r = run(empty, args);
        EXPECT_EQ(r.status, status) << args.back();
        EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("torvel-stream: ", 0), 0u) << r.err;
    }
}

}  // namespace
