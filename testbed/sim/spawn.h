// Starting programs from the harness, which has threads of its own (umockdev's
// worker, the desktop): the child of fork makes system calls only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace torvel::sim {

struct SpawnSpec {
    std::string exe;                // full path
    std::vector<std::string> argv;  // argv[0] included
    std::vector<std::string> env;   // "NAME=value"
    int stdout_fd = -1;             // -1: inherited
    int keep_fd = -1;               // a descriptor the child keeps open (not close-on-exec)
    bool private_var_tmp = false;   // new mount namespace with `var_tmp` on /var/tmp
    std::string var_tmp;
};

// Returns the child's pid, or -errno.
pid_t spawn(const SpawnSpec &req);

// Looks `cmd` up in `path` (a PATH value) unless it contains a '/'.
std::string find_in_path(const std::string &cmd, const std::string &path);

}  // namespace torvel::sim
