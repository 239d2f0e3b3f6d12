#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern char **environ;

namespace torvel::xsession {
namespace {

std::vector<char *> c_strings(const std::vector<std::string> &v) {
    std::vector<char *> out;
    for (const std::string &s : v) out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// In the child: become the user, then run. The helper has one thread, so the
// child may use the C library freely.
[[noreturn]] void become_and_exec(const std::string &exe, char *const *argv, char *const *envp,
                                  const RunAs *as, bool search_path) {
    if (as != nullptr && as->uid && *as->uid != geteuid()) {
        const passwd *pw = getpwuid(*as->uid);
        if (pw == nullptr || initgroups(pw->pw_name, pw->pw_gid) != 0 ||
            setresgid(pw->pw_gid, pw->pw_gid, pw->pw_gid) != 0 ||
            setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid) != 0)
            _exit(126);
    }
    if (search_path) {
        // execvpe looks the name up in the PATH of the new environment.
        execvpe(exe.c_str(), argv, envp);
    } else {
        execve(exe.c_str(), argv, envp);
    }
    _exit(127);
}

}  // namespace

std::vector<std::string> environment_with(const std::vector<std::string> &set) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string v = *e;
        const std::string name = v.substr(0, v.find('='));
        bool replaced = false;
        for (const std::string &s : set) replaced |= s.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced) env.push_back(v);
    }
    env.insert(env.end(), set.begin(), set.end());
    return env;
}

int capture(const std::vector<std::string> &argv, std::string &out,
            std::chrono::milliseconds timeout, const RunAs *as, bool quiet) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const std::vector<std::string> env =
        environment_with(as ? as->env : std::vector<std::string>{});
    std::vector<char *> c_argv = c_strings(argv), c_env = c_strings(env);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            if (quiet) dup2(null, STDERR_FILENO);
        }
        become_and_exec(argv[0], c_argv.data(), c_env.data(), as, true);
    }
    close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool killed = false;
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (killed || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

void exec_program(const std::string &exe, const std::vector<std::string> &argv, const RunAs *as) {
    const std::vector<std::string> env =
        environment_with(as ? as->env : std::vector<std::string>{});
    std::vector<char *> c_argv = c_strings(argv), c_env = c_strings(env);
    if (as != nullptr && as->uid && *as->uid != geteuid()) {
        // The user switch cannot be undone when exec fails: fork for it.
        const pid_t pid = fork();
        if (pid == 0) become_and_exec(exe, c_argv.data(), c_env.data(), as, false);
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid)
            std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        return;
    }
    execve(exe.c_str(), c_argv.data(), c_env.data());
}

std::string find_next_in_path(const std::string &name, const std::string &path) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string me = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        start = end + 1;
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) != 0) continue;
        char *real = realpath(candidate.c_str(), nullptr);
        const bool is_me = real != nullptr && me == real;
        std::free(real);
        if (!is_me) return candidate;
    }
    return "";
}

std::vector<std::string> process_argv(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        out.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::optional<std::string> process_env(pid_t pid, const std::string &name) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::string key = name + "=";
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        if (raw.compare(start, key.size(), key) == 0)
            return raw.substr(start + key.size(), end - start - key.size());
        start = end + 1;
    }
    return std::nullopt;
}

std::vector<pid_t> all_pids() {
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    if (d == nullptr) return out;
    while (const dirent *e = readdir(d)) {
        char *end = nullptr;
        const long v = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && v > 0) out.push_back(static_cast<pid_t>(v));
    }
    closedir(d);
    return out;
}

}  // namespace torvel::xsession
