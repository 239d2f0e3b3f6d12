#include "session.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "process.h"

namespace torvel::xsession {
namespace {

constexpr const char *kSeat = "seat0";

std::string base_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ":N" or ":N.S" as the display number N; -1 otherwise.
int display_number(const std::string &display) {
    if (display.size() < 2 || display[0] != ':') return -1;
    char *end = nullptr;
    const long n = std::strtol(display.c_str() + 1, &end, 10);
    if (end == display.c_str() + 1 || (*end != '\0' && *end != '.') || n < 0 || n > 65535)
        return -1;
    return static_cast<int>(n);
}

long number(const std::map<std::string, std::string> &p, const char *key) {
    auto it = p.find(key);
    return it == p.end() ? 0 : std::strtol(it->second.c_str(), nullptr, 10);
}

std::optional<Session> show_session(const std::string &id, std::chrono::milliseconds timeout) {
    std::string out;
    if (capture({"loginctl", "show-session", id, "--property=Type", "--property=Display",
                 "--property=Desktop", "--property=User", "--property=Leader", "--property=VTNr",
                 "--property=Remote"},
                out, timeout, nullptr, true) != 0)
        return std::nullopt;
    const auto p = parse_properties(out);
    Session s;
    s.id = id;
    auto get = [&p](const char *key) {
        auto it = p.find(key);
        return it == p.end() ? std::string() : it->second;
    };
    s.type = get("Type");
    s.display = get("Display");
    s.desktop = get("Desktop");
    s.uid = static_cast<uid_t>(number(p, "User"));
    s.leader = static_cast<pid_t>(number(p, "Leader"));
    s.vt = static_cast<int>(number(p, "VTNr"));
    s.remote = get("Remote") == "yes";
    return s;
}

// The pid in display N's lock file /tmp/.XN-lock, which its server writes; 0
// when there is none.
pid_t lock_holder(int n) {
    std::string path = "/tmp/.X";
    path += std::to_string(n);
    path += "-lock";
    std::ifstream lock(path);
    long pid = 0;
    return lock >> pid && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

bool connects(const sockaddr_un &addr, socklen_t len) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) == 0;
    close(fd);
    return ok;
}

}  // namespace

std::map<std::string, std::string> parse_properties(std::string_view text) {
    std::map<std::string, std::string> out;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos && eq > 0)
            out[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return out;
}

std::optional<Session> find_seat_session(std::chrono::milliseconds timeout) {
    std::string out;
    // Without logind (a container, early boot) loginctl complains at every
    // poll; that is no news for the journal.
    if (capture({"loginctl", "show-seat", kSeat, "--property=ActiveSession", "--property=Sessions"},
                out, timeout, nullptr, true) != 0)
        return std::nullopt;
    const auto seat = parse_properties(out);
    std::vector<std::string> ids;
    if (auto it = seat.find("ActiveSession"); it != seat.end() && !it->second.empty())
        ids.push_back(it->second);
    if (auto it = seat.find("Sessions"); it != seat.end()) {
        std::istringstream words(it->second);
        for (std::string id; words >> id;)
            if (ids.empty() || id != ids.front()) ids.push_back(id);
    }
    for (const std::string &id : ids) {
        const auto s = show_session(id, timeout);
        if (s && s->graphical() && !s->remote) return s;
    }
    return std::nullopt;
}

std::optional<XServer> parse_xserver(pid_t pid, const std::vector<std::string> &argv,
                                     bool any_name) {
    if (argv.empty()) return std::nullopt;
    const std::string name = base_name(argv[0]);
    if (!any_name && name != "X" && name != "Xorg" && name != "Xwayland") return std::nullopt;
    XServer x;
    x.pid = pid;
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::string &a = argv[i];
        if (a == "-auth" && i + 1 < argv.size()) {
            x.auth = argv[++i];
        } else if (display_number(a) >= 0 && x.display.empty()) {
            x.display = a;
        } else if (a.size() > 2 && a.compare(0, 2, "vt") == 0 &&
                   a.find_first_not_of("0123456789", 2) == std::string::npos) {
            x.vt = std::atoi(a.c_str() + 2);
        }
    }
    return x;
}

std::optional<XServer> find_xserver(const std::string &display, int vt) {
    const int n = display_number(display);
    if (n >= 0) {
        if (const pid_t pid = lock_holder(n)) {
            // Whatever holds the display's lock is its server (Xvfb, Xephyr...).
            if (auto x = parse_xserver(pid, process_argv(pid), true)) {
                if (x->display.empty()) x->display = display;
                return x;
            }
        }
    }
    std::optional<XServer> on_vt;
    for (pid_t pid : all_pids()) {
        auto x = parse_xserver(pid, process_argv(pid));
        if (!x) continue;
        if (n >= 0 && display_number(x->display) == n) return x;
        if (x->display.empty() && vt > 0 && x->vt == vt && !on_vt) on_vt = x;
    }
    if (on_vt && on_vt->display.empty()) on_vt->display = display;
    // A server started with -displayfd names its display nowhere but in the
    // lock file it holds.
    if (on_vt && on_vt->display.empty()) {
        if (DIR *d = opendir("/tmp")) {
            while (const dirent *e = readdir(d)) {
                int k = -1;
                char tail[8] = "";
                if (std::sscanf(e->d_name, ".X%d%7s", &k, tail) != 2 ||
                    std::strcmp(tail, "-lock") != 0 || k < 0 || lock_holder(k) != on_vt->pid)
                    continue;
                char name[16];
                std::snprintf(name, sizeof name, ":%d", k);
                on_vt->display = name;
                break;
            }
            closedir(d);
        }
    }
    return on_vt;
}

bool x_accepts(const std::string &display) {
    const int n = display_number(display);
    if (n < 0) return false;
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // The abstract socket, where the server listens on one, then the file.
    std::memcpy(addr.sun_path + 1, path.data(), path.size());
    if (connects(addr, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size())))
        return true;
    std::memset(addr.sun_path, 0, sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.data(), path.size());
    return connects(addr, sizeof addr);
}

std::string session_authority(const Session &session, const std::optional<XServer> &server) {
    if (server && !server->auth.empty()) return server->auth;
    if (session.leader > 0) {
        if (auto a = process_env(session.leader, "XAUTHORITY"); a && !a->empty()) return *a;
    }
    if (const passwd *pw = getpwuid(session.uid); pw != nullptr && pw->pw_dir != nullptr)
        return std::string(pw->pw_dir) + "/.Xauthority";
    return "";
}

}  // namespace torvel::xsession
