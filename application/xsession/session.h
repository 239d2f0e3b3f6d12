// Finding the desktop's session on seat0 through logind (loginctl), its X
// server, and the display and authority an X client needs to reach it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvel::xsession {

// "Key=Value" lines, as `loginctl show-seat` and `show-session` print them.
std::map<std::string, std::string> parse_properties(std::string_view text);

struct Session {
    std::string id;
    std::string type;     // "x11", "wayland", ...
    std::string display;  // ":0" for X11 sessions (and Xwayland's, where set)
    std::string desktop;  // XDG_SESSION_DESKTOP: "gnome", "KDE", "sway", ...
    uid_t uid = 0;
    pid_t leader = 0;
    int vt = 0;
    bool remote = false;
    bool graphical() const { return type == "x11" || type == "wayland"; }
};

// The session of seat0 to serve: the active one when it is graphical,
// otherwise the first graphical session on the seat. None when loginctl
// cannot tell (no logind, no session yet).
std::optional<Session> find_seat_session(std::chrono::milliseconds timeout);

struct XServer {
    pid_t pid = 0;
    std::string display;  // ":N" from its command line, empty with -displayfd
    std::string auth;     // its -auth argument
    int vt = 0;           // its vtN argument
};

// Reads an X server's command line; none when it is no X server (X, Xorg,
// Xwayland), unless `any_name` (a process known to serve the display).
std::optional<XServer> parse_xserver(pid_t pid, const std::vector<std::string> &argv,
                                     bool any_name = false);

// The X server of `display` (":N"): the process named in its lock file
// /tmp/.XN-lock, else one whose command line names the display, else, for a
// display not given (servers started with -displayfd), the one on the
// session's VT.
std::optional<XServer> find_xserver(const std::string &display, int vt);

// True when the X server of `display` accepts connections on its socket.
bool x_accepts(const std::string &display);

// The authority file for the session's X server: its -auth argument, else
// the session leader's XAUTHORITY, else the session user's ~/.Xauthority.
std::string session_authority(const Session &session, const std::optional<XServer> &server);

}  // namespace torvel::xsession
