// torvel-xsession: runs an X client (xrandr, xrefresh, ...) of the display
// daemon on the desktop's own session. The service puts it first in PATH
// under each client's name; at each call it finds the active graphical
// session of seat0 through logind, that session's X server, its display and
// authority, waits a bounded time for an X server that is not up yet, and
// then runs the real client. On a Wayland desktop xrandr's listing and
// rotation go through the compositor's own tool. DISPLAY set in the
// environment (a drop-in of the unit) wins, with XAUTHORITY when set too.
//
//   torvel-xsession CLIENT [ARGS...]    as the client itself, under its name
//   torvel-xsession --note-wayland      one line when the session is Wayland
//   torvel-xsession --describe          what it finds, for a person checking
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "session.h"
#include "wayland.h"

namespace {

using namespace torvel::xsession;
using std::chrono::milliseconds;

constexpr const char *kSelf = "torvel-xsession";
constexpr milliseconds kQueryTimeout{2000};
constexpr milliseconds kToolTimeout{10000};
constexpr milliseconds kPoll{250};
// How long a client waits for an X server that comes up after the daemon;
// TORVEL_X_WAIT (seconds) changes it.
constexpr int kDefaultWaitSeconds = 30;

std::string env_or(const char *name, const std::string &fallback) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

std::string base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool have_program(const std::string &name) {
    return !find_next_in_path(name, env_or("PATH", "/usr/bin:/bin")).empty();
}

// The environment a Wayland compositor's tool needs, as the session user.
RunAs session_user(const Session &s) {
    const std::string runtime = "/run/user/" + std::to_string(s.uid);
    auto from_leader = [&s](const char *name, const std::string &fallback) {
        auto v = s.leader > 0 ? process_env(s.leader, name) : std::nullopt;
        return std::string(name) + "=" + (v && !v->empty() ? *v : fallback);
    };
    RunAs as;
    as.uid = s.uid;
    as.env = {"XDG_RUNTIME_DIR=" + runtime, from_leader("WAYLAND_DISPLAY", "wayland-0"),
              from_leader("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime + "/bus")};
    return as;
}

// xrandr -q and xrandr --output NAME --rotate R through the compositor.
int wayland_xrandr(const Session &s, Compositor c, const std::vector<std::string> &args) {
    const RunAs as = session_user(s);
    std::string listing;
    const bool query = args.empty() || args == std::vector<std::string>{"-q"} ||
                       args == std::vector<std::string>{"--query"};
    const bool rotate = args.size() == 4 && args[0] == "--output" && args[2] == "--rotate";
    if (!query && !rotate) {
        std::fprintf(stderr,
                     "%s: on Wayland only xrandr -q and xrandr --output NAME --rotate R work\n",
                     kSelf);
        return 1;
    }
    if ((query || c == Compositor::kGnome) &&
        capture(listing_argv(c), listing, kToolTimeout, &as) != 0) {
        std::fprintf(stderr, "%s: %s could not list the outputs\n", kSelf, tool_of(c));
        return 1;
    }
    if (query) {
        std::vector<std::string> names;
        if (!parse_outputs(c, listing, names)) {
            std::fprintf(stderr, "%s: cannot read what %s listed\n", kSelf, tool_of(c));
            return 1;
        }
        for (const std::string &n : names)
            std::printf("%s connected (normal left inverted right)\n", n.c_str());
        return 0;
    }
    std::vector<std::string> argv;
    std::string error;
    if (!rotation_argv(c, args[1], args[3], listing, argv, error)) {
        std::fprintf(stderr, "%s: %s\n", kSelf, error.c_str());
        return 1;
    }
    std::string ignored;
    return capture(argv, ignored, kToolTimeout, &as) == 0 ? 0 : 1;
}

// Runs `real` on display `display` with the authority found for it.
void exec_on(const std::string &real, const std::vector<std::string> &argv,
             const std::string &display, const std::string &authority) {
    RunAs as;
    as.env.push_back("DISPLAY=" + display);
    if (!authority.empty()) as.env.push_back("XAUTHORITY=" + authority);
    exec_program(real, argv, &as);
}

int run_client(const std::string &client, const std::vector<std::string> &args) {
    const std::string real = find_next_in_path(client, env_or("PATH", "/usr/bin:/bin"));
    if (real.empty()) {
        std::fprintf(stderr, "%s: no %s in PATH besides this helper\n", kSelf, client.c_str());
        return 127;
    }
    std::vector<std::string> argv{client};
    argv.insert(argv.end(), args.begin(), args.end());
    const char *display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
        std::string authority = env_or("XAUTHORITY", "");
        if (authority.empty()) {
            if (auto x = find_xserver(display, 0)) authority = x->auth;
        }
        exec_on(real, argv, display, authority);
        std::perror(real.c_str());
        return 126;
    }
    const int wait_s =
        std::atoi(env_or("TORVEL_X_WAIT", std::to_string(kDefaultWaitSeconds)).c_str());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_s);
    for (;;) {
        if (const auto s = find_seat_session(kQueryTimeout)) {
            if (s->type == "wayland") {
                const Compositor c = compositor_of(s->desktop);
                if (client == "xrandr" && have_program(tool_of(c)))
                    return wayland_xrandr(*s, c, args);
                // Any other client, or no tool: Xwayland, where the session has it.
                if (s->display.empty() || !x_accepts(s->display)) return 0;
            }
            const auto server = find_xserver(s->display, s->vt);
            const std::string d = !s->display.empty() ? s->display : server ? server->display : "";
            if (!d.empty() && x_accepts(d)) {
                exec_on(real, argv, d, session_authority(*s, server));
                std::perror(real.c_str());
                return 126;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "%s: no X display on seat0 after %d s; %s not run\n", kSelf,
                         wait_s, client.c_str());
            return 1;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

int note_wayland() {
    const auto s = find_seat_session(kQueryTimeout);
    if (!s || s->type != "wayland") return 0;
    const Compositor c = compositor_of(s->desktop);
    const std::string desktop = s->desktop.empty() ? "unknown desktop" : s->desktop;
    if (have_program(tool_of(c))) {
        std::printf("Wayland session (%s): outputs named and rotated through %s\n", desktop.c_str(),
                    tool_of(c));
    } else {
        std::printf("Wayland session (%s): output naming and rotation do nothing without %s\n",
                    desktop.c_str(), tool_of(c));
    }
    return 0;
}

int describe() {
    const auto s = find_seat_session(kQueryTimeout);
    if (!s) {
        std::printf("no graphical session on seat0 (loginctl)\n");
        return 1;
    }
    std::printf("session %s: %s, desktop %s, user %u, leader %d, vt %d\n", s->id.c_str(),
                s->type.c_str(), s->desktop.c_str(), static_cast<unsigned>(s->uid),
                static_cast<int>(s->leader), s->vt);
    if (s->type == "wayland") {
        const Compositor c = compositor_of(s->desktop);
        std::printf("rotation through %s: %s\n", tool_of(c),
                    have_program(tool_of(c)) ? "installed" : "not installed");
    }
    const auto server = find_xserver(s->display, s->vt);
    const std::string d = !s->display.empty() ? s->display : server ? server->display : "";
    std::printf("X display %s, server pid %d, %s\n", d.empty() ? "(none)" : d.c_str(),
                server ? static_cast<int>(server->pid) : 0,
                !d.empty() && x_accepts(d) ? "accepting connections" : "not accepting connections");
    std::printf("authority %s\n", session_authority(*s, server).c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string client = base_name(argv[0]);
    int first = 1;
    if (client == kSelf) {
        if (argc == 2 && std::strcmp(argv[1], "--note-wayland") == 0) return note_wayland();
        if (argc == 2 && std::strcmp(argv[1], "--describe") == 0) return describe();
        if (argc < 2 || argv[1][0] == '-') {
            std::fprintf(stderr, "usage: %s CLIENT [ARGS...] | --note-wayland | --describe\n",
                         kSelf);
            return 2;
        }
        client = argv[1];
        first = 2;
    }
    return run_client(client, std::vector<std::string>(argv + first, argv + argc));
}
