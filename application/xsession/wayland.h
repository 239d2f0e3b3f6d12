// Output naming and rotation on Wayland desktops, where xrandr sees only
// Xwayland's outputs: the compositor's own tool lists and rotates them behind
// xrandr's interface.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torvel::xsession {

enum class Compositor { kGnome, kPlasma, kWlroots };

// From the session's desktop name (XDG_SESSION_DESKTOP): GNOME, KDE Plasma,
// and the wlroots compositors (every other).
Compositor compositor_of(const std::string &desktop);
// The program that reaches the compositor: gdbus, kscreen-doctor, wlr-randr.
const char *tool_of(Compositor c);

// The tool's command line that lists the outputs (for GNOME, that reads the
// current display configuration).
std::vector<std::string> listing_argv(Compositor c);
// The connected and enabled outputs in the tool's listing; false when the
// listing cannot be read.
bool parse_outputs(Compositor c, std::string_view listing, std::vector<std::string> &names);

// The tool's command line that turns `output` to xrandr's `rotation`
// (normal, left, inverted, right). GNOME needs the current configuration
// (the listing); the others ignore it. False, with a reason, when it cannot
// be built.
bool rotation_argv(Compositor c, const std::string &output, const std::string &rotation,
                   std::string_view listing, std::vector<std::string> &argv, std::string &error);

}  // namespace torvel::xsession
