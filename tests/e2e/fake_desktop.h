// A desktop as the session helper (torvel-xsession) meets it, made of fakes:
// logind's answers through a fake loginctl, X servers as fake processes with
// the real servers' command lines, lock files and sockets, and the Wayland
// compositors' tools as scripts that log their calls. The helper itself is
// the real program, put under its clients' names in a bin directory.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace torvel_test {

struct FakeSession {
    std::string id = "2";
    std::string type = "x11";
    std::string display;
    std::string desktop;
    unsigned uid = 0;
    int leader = 1;
    int vt = 0;
};

class FakeDesktop {
  public:
    // `slot` keeps the display numbers of tests that may run at the same
    // time apart; TORVEL_EVDI_CARD_BASE keeps those of two build trees apart.
    explicit FakeDesktop(int slot) {
        const char *base = std::getenv("TORVEL_EVDI_CARD_BASE");
        first_display_ = 1000 + 20 * (base ? std::atoi(base) : 47) + 4 * slot;
        char tmpl[] = "/tmp/fake_desktop.XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ / "bin");
        std::filesystem::create_directories(dir_ / "tools");
        for (const char *name : {"xrandr", "xrefresh", "torvel-xsession"})
            std::filesystem::create_symlink(XSESSION_PATH, dir_ / "bin" / name);
        script("bin/loginctl",
               "case \"$1\" in\n"
               "  show-seat) cat '" +
                   (dir_ / "seat").string() +
                   "' 2>/dev/null || exit 1 ;;\n"
                   "  show-session) cat '" +
                   (dir_ / "session-").string() +
                   "'\"$2\" 2>/dev/null || exit 1 ;;\n"
                   "  *) exit 1 ;;\n"
                   "esac\n");
        no_session();
    }
    ~FakeDesktop() {
        for (pid_t pid : servers_) stop_x(pid);
        std::filesystem::remove_all(dir_);
    }

    // The display number of the test's k-th X server (k < 4).
    int display_number(int k) const { return first_display_ + k; }
    // PATH entries for the program under test: the helper (and loginctl),
    // with `tools` the compositors' fake tools, then the fake clients of
    // real_client.
    std::string path(bool tools = false) const {
        return (dir_ / "bin").string() + (tools ? ":" + (dir_ / "tools").string() : "") + ":" +
               (dir_ / "real").string();
    }
    // A stand-in for the real X client `name`, found after the helper: prints
    // its arguments and the display and authority it was given.
    void real_client(const std::string &name) {
        std::filesystem::create_directories(dir_ / "real");
        script("real/" + name,
               "echo \"$(basename \"$0\") $* | DISPLAY=$DISPLAY XAUTHORITY=$XAUTHORITY\"\n");
    }
    const std::filesystem::path &dir() const { return dir_; }

    void no_session() { write(dir_ / "seat", "ActiveSession=\nSessions=\n"); }
    void session(const FakeSession &s) {
        write(dir_ / "seat", "ActiveSession=" + s.id + "\nSessions=" + s.id + "\n");
        write(dir_ / ("session-" + s.id),
              "Type=" + s.type + "\nDisplay=" + s.display + "\nDesktop=" + s.desktop +
                  "\nUser=" + std::to_string(s.uid) + "\nLeader=" + std::to_string(s.leader) +
                  "\nVTNr=" + std::to_string(s.vt) + "\nRemote=no\n");
    }

    // Starts a fake X server (or the X server `exe`) for display `number`
    // with command line `argv`; returns once it holds the display's lock.
    pid_t start_x(int number, const std::vector<std::string> &argv,
                  const char *exe = FAKE_XSERVER_PATH) {
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back("TORVEL_FAKE_X_DISPLAY=" + std::to_string(number));
        std::vector<char *> a, v;
        for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        for (const auto &s : env) v.push_back(const_cast<char *>(s.c_str()));
        v.push_back(nullptr);
        // (fork and exec: the e2e tests' include path hides <spawn.h> behind
        // the harness's own spawn.h.)
        const pid_t pid = fork();
        if (pid == 0) {
            execve(exe, a.data(), v.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        for (int i = 0; i < 200 && !std::filesystem::exists(lock); ++i) usleep(10000);
        EXPECT_TRUE(std::filesystem::exists(lock));
        servers_.push_back(pid);
        return pid;
    }
    void stop_x(pid_t pid) {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::erase(servers_, pid);
    }

    // A fake compositor tool: logs "name args" and the session variables it
    // was given, then prints `listing` (for any call).
    void tool(const std::string &name, const std::string &listing) {
        write(dir_ / ("listing-" + name), listing);
        script("tools/" + name,
               "printf '%s %s | %s %s %s\\n' \"$(basename \"$0\")\" \"$*\" \"$XDG_RUNTIME_DIR\" "
               "\"$WAYLAND_DISPLAY\" \"$DBUS_SESSION_BUS_ADDRESS\" >> '" +
                   (dir_ / "tools.log").string() + "'\ncat '" +
                   (dir_ / ("listing-" + name)).string() + "'\n");
    }
    std::vector<std::string> tool_calls() const {
        std::ifstream f(dir_ / "tools.log");
        std::vector<std::string> out;
        for (std::string l; std::getline(f, l);) out.push_back(l);
        return out;
    }

  private:
    static void write(const std::filesystem::path &p, const std::string &text) {
        std::ofstream(p.string() + ".tmp") << text;
        std::filesystem::rename(p.string() + ".tmp", p);
    }
    void script(const std::string &rel, const std::string &body) {
        const auto p = dir_ / rel;
        std::ofstream(p) << "#!/bin/sh\n" << body;
        chmod(p.c_str(), 0755);
    }

    std::filesystem::path dir_;
    int first_display_ = 0;
    std::vector<pid_t> servers_;
};

}  // namespace torvel_test
