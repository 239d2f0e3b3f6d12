// Runs a command-line tool as a separate process, as a user would: `input`
// on standard input, standard output and standard error captured.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char **environ;

namespace torvel_test {

// `Out` is std::string for a tool that prints text, a byte vector for one
// that writes binary data.
template <class Out>
struct ToolRun {
    int status = -1;  // exit status, or 128 + the signal that ended it
    Out out;
    std::string err;
};

namespace tool_run_detail {

inline std::string temp_path(const char *name) {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/torvel_tool_run." + std::to_string(getpid()) + "." +
           name;
}

template <class Out>
Out slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Out(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace tool_run_detail

template <class Out>
ToolRun<Out> run_tool(const char *tool, std::vector<std::string> args,
                      const std::vector<uint8_t> &input) {
    using namespace tool_run_detail;
    ToolRun<Out> r;
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
    args.insert(args.begin(), tool);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, tool, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << tool;
    if (rc == 0) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    r.out = slurp<Out>(out);
    r.err = slurp<std::string>(err);
    unlink(in.c_str());
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

}  // namespace torvel_test
