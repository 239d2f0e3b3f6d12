// Replays one fuzz target's corpus (TORVEL_FUZZ_CORPUS): every file is one
// input. A failed check of the target aborts with its message after the
// name of the input, which is printed first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_check.h"

TEST(FuzzCorpus, EveryInputPasses) {
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
