// Running programs and reading other processes for the session helper.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace torvel::xsession {

// Who a program runs as, and with which environment ("NAME=value").
struct RunAs {
    std::optional<uid_t> uid;  // switch to this user (and its groups) first
    std::vector<std::string> env;
};

// Runs argv (looked up in PATH) with standard output captured into `out` and
// standard error inherited (or discarded, with `quiet`); kills it when it is
// not done after `timeout`. Returns its exit status, or -1 when it could not
// run or was killed.
int capture(const std::vector<std::string> &argv, std::string &out,
            std::chrono::milliseconds timeout, const RunAs *as = nullptr, bool quiet = false);

// Replaces this process with `exe` (a full path); returns only on failure.
void exec_program(const std::string &exe, const std::vector<std::string> &argv, const RunAs *as);

// The first `name` in `path` (a PATH value) that is not this very program
// (the helper is installed under the names of the programs it stands in
// for); empty when there is none.
std::string find_next_in_path(const std::string &name, const std::string &path);

// The argument vector of process `pid` (/proc/PID/cmdline), empty when it is
// gone or hidden.
std::vector<std::string> process_argv(pid_t pid);
// One variable of process `pid`'s environment, when set.
std::optional<std::string> process_env(pid_t pid, const std::string &name);
// The pids under /proc.
std::vector<pid_t> all_pids();

// This process's environment with `set` added or replacing what it names.
std::vector<std::string> environment_with(const std::vector<std::string> &set);

}  // namespace torvel::xsession
