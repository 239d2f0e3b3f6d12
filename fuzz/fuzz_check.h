// The checks of a fuzz target: a failed one names itself on standard error
// and aborts, which libFuzzer keeps as a finding and the suite's replay of
// the corpus reports as a failed test.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_check_failed(const char *what, const char *file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz_check_failed(#condition, __FILE__, __LINE__))

// The entry point libFuzzer calls with each input; the replay calls it with
// each file of the corpus.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size);
