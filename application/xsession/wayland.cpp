#include "wayland.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "gvariant_text.h"

namespace torvel::xsession {
namespace {

constexpr const char *kMutterDest = "org.gnome.Mutter.DisplayConfig";
constexpr const char *kMutterPath = "/org/gnome/Mutter/DisplayConfig";
// ApplyMonitorsConfig's method: 1 applies at once without asking the user to
// keep it (2 would, as a settings dialog does).
constexpr const char *kMutterTemporary = "1";

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        out.push_back(text.substr(0, nl));
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return out;
}

// kscreen-doctor colours its listing with terminal escapes.
std::string strip_escapes(std::string_view line) {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            i += 2;
            while (i < line.size() && !std::isalpha(static_cast<unsigned char>(line[i]))) ++i;
            continue;
        }
        out += line[i];
    }
    return out;
}

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        const size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) out.emplace_back(line.substr(start, i - start));
    }
    return out;
}

// wl_output's transforms turn the picture counter-clockwise, as xrandr's
// "left" does: left is 90, right 270.
std::optional<int> quarter_turns(const std::string &rotation) {
    if (rotation == "normal") return 0;
    if (rotation == "left") return 1;
    if (rotation == "inverted") return 2;
    if (rotation == "right") return 3;
    return std::nullopt;
}

// --- GNOME: org.gnome.Mutter.DisplayConfig ------------------------------------
// GetCurrentState answers (serial, monitors, logical_monitors, properties):
//   monitors: a((ssss)a(siiddada{sv})a{sv}): (connector, vendor, product,
//     serial), modes (id, width, height, rate, preferred scale, scales,
//     properties with "is-current"), properties
//   logical monitors: a(iiduba(ssss)a{sv}): x, y, scale, transform, primary,
//     the monitors shown there
struct Logical {
    long x = 0, y = 0;
    std::string scale;
    double scale_value = 1;
    int transform = 0;
    bool primary = false;
    std::vector<std::string> connectors;
    long width = 0, height = 0;  // of the first monitor's current mode, untransformed
};

struct MutterState {
    std::string serial;
    std::vector<Logical> logical;
    std::vector<std::pair<std::string, std::string>> current_mode;  // connector, mode id
    std::vector<std::pair<std::string, std::pair<long, long>>> mode_size;
};

bool read_state(std::string_view listing, MutterState &st) {
    GValue v;
    if (!parse_gvariant(listing, v) || v.kind != GValue::kTuple || v.items.size() < 3) return false;
    st.serial = v.items[0].text;
    for (const GValue &m : v.items[1].items) {
        const GValue *monitor = m.at(0), *modes = m.at(1);
        if (monitor == nullptr || modes == nullptr || monitor->items.empty()) return false;
        for (const GValue &mode : modes->items) {
            const GValue *props = mode.at(6);
            const GValue *current = props ? props->lookup("is-current") : nullptr;
            if (current == nullptr || !current->flag || mode.items.size() < 3) continue;
            st.current_mode.push_back({monitor->items[0].text, mode.items[0].text});
            st.mode_size.push_back(
                {monitor->items[0].text,
                 {std::atol(mode.items[1].text.c_str()), std::atol(mode.items[2].text.c_str())}});
        }
    }
    for (const GValue &l : v.items[2].items) {
        if (l.items.size() < 6) return false;
        Logical lm;
        lm.x = std::atol(l.items[0].text.c_str());
        lm.y = std::atol(l.items[1].text.c_str());
        lm.scale = l.items[2].text;
        lm.scale_value = std::atof(lm.scale.c_str());
        if (lm.scale_value <= 0) lm.scale_value = 1;
        lm.transform = std::atoi(l.items[3].text.c_str());
        lm.primary = l.items[4].flag;
        for (const GValue &monitor : l.items[5].items)
            if (!monitor.items.empty()) lm.connectors.push_back(monitor.items[0].text);
        for (const auto &[connector, size] : st.mode_size) {
            if (!lm.connectors.empty() && connector == lm.connectors[0]) {
                lm.width = size.first;
                lm.height = size.second;
            }
        }
        st.logical.push_back(lm);
    }
    return true;
}

// The logical monitor's size on the desktop.
std::pair<long, long> extent(const Logical &l) {
    long w = static_cast<long>(l.width / l.scale_value),
         h = static_cast<long>(l.height / l.scale_value);
    if (l.transform % 2 == 1) std::swap(w, h);
    return {w, h};
}

std::string logical_monitors_text(const MutterState &st) {
    std::string out = "[";
    for (size_t i = 0; i < st.logical.size(); ++i) {
        const Logical &l = st.logical[i];
        if (i > 0) out += ", ";
        out += "(" + std::to_string(l.x) + ", " + std::to_string(l.y) + ", " + l.scale +
               ", uint32 " + std::to_string(l.transform) + ", " + (l.primary ? "true" : "false") +
               ", [";
        for (size_t k = 0; k < l.connectors.size(); ++k) {
            std::string mode;
            for (const auto &[connector, id] : st.current_mode)
                if (connector == l.connectors[k]) mode = id;
            out += (k > 0 ? ", (" : "(") + gvariant_quote(l.connectors[k]) + ", " +
                   gvariant_quote(mode) + ", @a{sv} {})";
        }
        out += "])";
    }
    return out + "]";
}

bool mutter_rotation(const std::string &output, int turns, std::string_view listing,
                     std::vector<std::string> &argv, std::string &error) {
    MutterState st;
    if (!read_state(listing, st)) {
        error = "cannot read the display configuration GetCurrentState gave";
        return false;
    }
    auto it = std::find_if(st.logical.begin(), st.logical.end(), [&](const Logical &l) {
        return std::find(l.connectors.begin(), l.connectors.end(), output) != l.connectors.end();
    });
    if (it == st.logical.end()) {
        error = "no enabled output " + output;
        return false;
    }
    // Turning changes the monitor's extent; monitors right of or below it
    // move with its edge so that none overlaps and none leaves a gap.
    const auto [old_w, old_h] = extent(*it);
    it->transform = turns;
    const auto [new_w, new_h] = extent(*it);
    for (Logical &l : st.logical) {
        if (&l == &*it) continue;
        if (l.x >= it->x + old_w) l.x += new_w - old_w;
        if (l.y >= it->y + old_h) l.y += new_h - old_h;
    }
    argv = {"gdbus",     "call",           "--session",
            "--dest",    kMutterDest,      "--object-path",
            kMutterPath, "--method",       std::string(kMutterDest) + ".ApplyMonitorsConfig",
            st.serial,   kMutterTemporary, logical_monitors_text(st),
            "@a{sv} {}"};
    return true;
}

}  // namespace

Compositor compositor_of(const std::string &desktop) {
    const std::string d = lower(desktop);
    if (d.find("gnome") != std::string::npos) return Compositor::kGnome;
    if (d.find("kde") != std::string::npos || d.find("plasma") != std::string::npos)
        return Compositor::kPlasma;
    return Compositor::kWlroots;
}

const char *tool_of(Compositor c) {
    switch (c) {
        case Compositor::kGnome:
            return "gdbus";
        case Compositor::kPlasma:
            return "kscreen-doctor";
        case Compositor::kWlroots:
            break;
    }
    return "wlr-randr";
}

std::vector<std::string> listing_argv(Compositor c) {
    switch (c) {
        case Compositor::kGnome:
            return {"gdbus",     "call",      "--session",
                    "--dest",    kMutterDest, "--object-path",
                    kMutterPath, "--method",  std::string(kMutterDest) + ".GetCurrentState"};
        case Compositor::kPlasma:
            return {"kscreen-doctor", "-o"};
        case Compositor::kWlroots:
            break;
    }
    return {"wlr-randr"};
}

bool parse_outputs(Compositor c, std::string_view listing, std::vector<std::string> &names) {
    if (c == Compositor::kGnome) {
        MutterState st;
        if (!read_state(listing, st)) return false;
        for (const Logical &l : st.logical)
            names.insert(names.end(), l.connectors.begin(), l.connectors.end());
        return true;
    }
    if (c == Compositor::kPlasma) {
        // "Output: 1 DVI-I-1 enabled connected priority 2 DVI Modes: ..."
        for (std::string_view raw : lines(listing)) {
            const std::vector<std::string> w = words(strip_escapes(raw));
            if (w.size() < 5 || w[0] != "Output:") continue;
            if (std::find(w.begin(), w.end(), "enabled") != w.end() &&
                std::find(w.begin(), w.end(), "connected") != w.end())
                names.push_back(w[2]);
        }
        return true;
    }
    // An output's line starts at the margin, its properties are indented:
    //   DVI-I-1 "Unknown Unknown (DVI-I-1)"
    //     Enabled: yes
    std::string current;
    for (std::string_view line : lines(listing)) {
        if (line.empty()) continue;
        if (!std::isspace(static_cast<unsigned char>(line[0]))) {
            const std::vector<std::string> w = words(line);
            current = w.empty() ? "" : w[0];
        } else if (!current.empty() && words(line) == std::vector<std::string>{"Enabled:", "yes"}) {
            names.push_back(current);
        }
    }
    return true;
}

bool rotation_argv(Compositor c, const std::string &output, const std::string &rotation,
                   std::string_view listing, std::vector<std::string> &argv, std::string &error) {
    const auto turns = quarter_turns(rotation);
    if (!turns) {
        error = "unknown rotation '" + rotation + "'";
        return false;
    }
    switch (c) {
        case Compositor::kGnome:
            return mutter_rotation(output, *turns, listing, argv, error);
        case Compositor::kPlasma:
            argv = {"kscreen-doctor", "output." + output + ".rotation." + rotation};
            return true;
        case Compositor::kWlroots:
            break;
    }
    static const char *const kTransform[4] = {"normal", "90", "180", "270"};
    argv = {"wlr-randr", "--output", output, "--transform", kTransform[*turns]};
    return true;
}

}  // namespace torvel::xsession
