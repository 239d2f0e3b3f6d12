#include "spawn.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace torvel::sim {

namespace {

[[noreturn]] void die(const char *what, int err) {
    const char *m = strerrordesc_np(err);
    syscall(SYS_write, 2, "torvel-sim: ", 12);
    syscall(SYS_write, 2, what, strlen(what));
    syscall(SYS_write, 2, ": ", 2);
    if (m) syscall(SYS_write, 2, m, strlen(m));
    syscall(SYS_write, 2, "\n", 1);
    syscall(SYS_exit_group, 126);
    __builtin_unreachable();
}

}  // namespace

std::string find_in_path(const std::string &cmd, const std::string &path) {
    if (cmd.find('/') != std::string::npos) return cmd;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        std::string dir = path.substr(start, end == std::string::npos ? end : end - start);
        std::string full = (dir.empty() ? "." : dir) + "/" + cmd;
        if (access(full.c_str(), X_OK) == 0) return full;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return cmd;
}

pid_t spawn(const SpawnSpec &req) {
    std::vector<std::string> argv_s = req.argv, env_s = req.env;
    std::vector<char *> argv, envp;
    for (std::string &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string &e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
    const char *exe = req.exe.c_str();
    const char *var_tmp = req.var_tmp.c_str();
    pid_t parent = getpid();

    pid_t pid = fork();
    if (pid < 0) return -errno;
    if (pid > 0) return pid;

    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) syscall(SYS_exit_group, 126);
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    for (int s : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) sigaction(s, &sa, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (req.private_var_tmp) {
        if (unshare(CLONE_NEWNS) != 0) die("unshare(CLONE_NEWNS)", errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            die("making / private", errno);
        if (mount(var_tmp, "/var/tmp", nullptr, MS_BIND, nullptr) != 0)
            die("bind mount on /var/tmp", errno);
    }
    if (req.stdout_fd >= 0 && syscall(SYS_dup3, req.stdout_fd, 1, 0) < 0) die("dup3", errno);
    if (req.keep_fd >= 0) syscall(SYS_fcntl, req.keep_fd, F_SETFD, 0);
    int in = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC));
    if (in >= 0) syscall(SYS_dup3, in, 0, 0);
    syscall(SYS_execve, exe, argv.data(), envp.data());
    die(exe, errno);
}

}  // namespace torvel::sim
