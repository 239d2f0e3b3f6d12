// Replays one fuzz target's corpus (TORVEL_FUZZ_CORPUS): every file is one
// input. A failed check of the target aborts with its message after the
// name of the input, which is printed first. Outside the sanitizers (whose
// shadow memory needs a vast address space) the replay runs with 4 GB of
// address space, as libFuzzer limits its runs' memory: an input that makes
// the code under test reach for gigabytes fails with std::bad_alloc instead
// of taking the machine's memory.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_check.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kLimitMemory = false;
#else
constexpr bool kLimitMemory = true;
#endif

TEST(FuzzCorpus, EveryInputPasses) {
    if (kLimitMemory) {
        const rlimit limit{rlim_t{4} << 30, rlim_t{4} << 30};
        ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    }
    const char *dir = std::getenv("TORVEL_FUZZ_CORPUS");
    ASSERT_NE(dir, nullptr);
    std::vector<std::filesystem::path> inputs;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty()) << dir;
    for (const auto &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in) << path;
        const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                               std::istreambuf_iterator<char>());
        std::printf("%s\n", path.filename().c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
}
