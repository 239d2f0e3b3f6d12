// A file of the fuzz target's own, for inputs that the code under test reads
// through a path. In memory where there is a tmpfs: a disk file rewritten
// for every input is flushed on every close (ext4's auto_da_alloc), which
// would slow the fuzzer down a hundredfold. Removed when the process exits.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"

inline const std::string &scratch_file() {
    static const std::string path = [] {
        std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                          : getenv("TMPDIR") != nullptr ? getenv("TMPDIR")
                                                        : "/tmp";
        dir += "/torvel-fuzz.XXXXXX";
        FUZZ_CHECK(mkdtemp(dir.data()) != nullptr);
        return dir + "/input";
    }();
    static const bool cleaned_at_exit = [] {
        return std::atexit([] {
                   unlink(path.c_str());
                   rmdir(path.substr(0, path.rfind('/')).c_str());
               }) == 0;
    }();
    (void)cleaned_at_exit;
    return path;
}

// Puts `size` bytes at `data` into the scratch file, as a new file.
inline const std::string &write_scratch_file(const unsigned char *data, size_t size) {
    const std::string &path = scratch_file();
    unlink(path.c_str());
    FILE *f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
    return path;
}
