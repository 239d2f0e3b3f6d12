// Command line and script of torvel-sim.
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim.h"

namespace torvel::sim {

namespace {

bool to_int(std::string_view s, long *out, int base = 10) {
    if (base == 16 && (s.substr(0, 2) == "0x" || s.substr(0, 2) == "0X")) s.remove_prefix(2);
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, base);
    return ec == std::errc() && p == s.data() + s.size();
}

bool to_double(const std::string &s, double *out) {
    char *end = nullptr;
    errno = 0;
    *out = std::strtod(s.c_str(), &end);
    return !s.empty() && errno == 0 && end && *end == '\0';
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p == std::string_view::npos ? p : p - start));
        if (p == std::string_view::npos) break;
        start = p + 1;
    }
    return parts;
}

}  // namespace

bool parse_mode(std::string_view s, int *w, int *h) {
    size_t x = s.find('x');
    long a = 0, b = 0;
    if (x == std::string_view::npos || !to_int(s.substr(0, x), &a) ||
        !to_int(s.substr(x + 1), &b) || a < 1 || b < 1 || a > 8192 || b > 8192)
        return false;
    *w = static_cast<int>(a);
    *h = static_cast<int>(b);
    return true;
}

bool parse_device(std::string_view text, DeviceSpec *out, std::string *error) {
    DeviceSpec d;
    std::vector<std::string_view> parts = split(text, ':');
    long v = 0;
    if (parts[0] == "rotating") {
        d.model = 4;
    } else if (to_int(parts[0], &v) && v >= 0 && v <= 5) {
        d.model = static_cast<int>(v);
    } else {
        *error = "device model must be 0 to 5 or 'rotating': " + std::string(text);
        return false;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        size_t eq = parts[i].find('=');
        std::string_view key = parts[i].substr(0, eq);
        std::string_view val = eq == std::string_view::npos ? "" : parts[i].substr(eq + 1);
        if (key == "id") {
            if (!to_int(val, &v, 16) || v < 0 || v > 0xffffffffL) {
                *error = "bad device id: " + std::string(val);
                return false;
            }
            d.id = static_cast<uint32_t>(v);
        } else if (key == "feature" || key == "orient" || key == "mirror") {
            if (!to_int(val, &v) || v < 0 || v > 255) {
                *error = "bad " + std::string(key) + " value: " + std::string(val);
                return false;
            }
            uint8_t b = static_cast<uint8_t>(v);
            (key == "feature" ? d.feature : key == "orient" ? d.orientation : d.mirror) = b;
        } else {
            *error = "unknown device option: " + std::string(parts[i]);
            return false;
        }
    }
    *out = d;
    return true;
}

const char *usage() {
    return "usage: torvel-sim [--device MODEL[:id=0xHEX][:feature=N][:orient=N][:mirror=N]]...\n"
           "                  [--mode WxH] [--format XR24|AR24|XB24|AB24]\n"
           "                  [--content "
           "scene|motion|still|typing|mouse|scroll|video|FILE.png|xvfb]\n"
           "                  [--script FILE] [--paint-hz HZ] [--measure S] [--decode all|tag]\n"
           "                  [--seconds S] [--id-file FILE] [--out DIR]\n"
           "                  [--usbfs-memory-mb N] [--no-sg] [--link-mbps MB_PER_S]\n"
           "                  [--interface-busy DEV]... [--kernel-driver DEV]...\n"
           "                  [--holder-delay SECONDS|none] [--no-cursor] [--no-edid-mode]\n"
           "                  [--repaint-after-modeset] [--any-framebuffer-size]\n"
           "                  -- COMMAND [ARGS...]\n";
}

bool parse_args(int argc, const char *const *argv, Options *out, std::string *error, bool *help) {
    Options o;
    if (help) *help = false;
    int i = 1;
    auto value = [&](const char *name, std::string *v) {
        if (i + 1 >= argc) {
            *error = std::string(name) + " needs a value";
            return false;
        }
        *v = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        std::string a = argv[i], v;
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--help" || a == "-h") {
            if (help) *help = true;
            return false;
        } else if (a == "--device") {
            DeviceSpec d;
            if (!value("--device", &v) || !parse_device(v, &d, error)) return false;
            o.devices.push_back(d);
        } else if (a == "--mode") {
            if (!value("--mode", &v)) return false;
            if (!parse_mode(v, &o.width, &o.height)) {
                *error = "bad --mode (WxH): " + v;
                return false;
            }
        } else if (a == "--content") {
            if (!value("--content", &v)) return false;
            if (v == "scene") {
                o.content = ContentKind::kScene;
            } else if (v == "motion") {
                o.content = ContentKind::kMotion;
            } else if (parse_workload(v, &o.workload)) {
                o.content = ContentKind::kWorkload;
            } else if (v == "xvfb") {
                o.content = ContentKind::kXvfb;
            } else if (v.size() > 4 && v.substr(v.size() - 4) == ".png") {
                o.content = ContentKind::kPng;
                o.png_path = v;
            } else {
                *error =
                    "bad --content (scene, motion, still, typing, mouse, scroll, video, FILE.png "
                    "or xvfb): " +
                    v;
                return false;
            }
        } else if (a == "--script") {
            if (!value("--script", &o.script_path)) return false;
        } else if (a == "--seconds") {
            if (!value("--seconds", &v)) return false;
            if (!to_double(v, &o.seconds) || o.seconds <= 0 || o.seconds > 86400) {
                *error = "bad --seconds: " + v;
                return false;
            }
        } else if (a == "--paint-hz") {
            if (!value("--paint-hz", &v)) return false;
            if (!to_double(v, &o.paint_hz) || o.paint_hz < 1 || o.paint_hz > 240) {
                *error = "bad --paint-hz (1 to 240): " + v;
                return false;
            }
        } else if (a == "--measure") {
            if (!value("--measure", &v)) return false;
            if (!to_double(v, &o.measure_seconds) || o.measure_seconds < 1 ||
                o.measure_seconds > 3600) {
                *error = "bad --measure (1 to 3600 seconds): " + v;
                return false;
            }
        } else if (a == "--decode") {
            if (!value("--decode", &v)) return false;
            if (v != "all" && v != "tag") {
                *error = "bad --decode (all or tag): " + v;
                return false;
            }
            o.decode_tag_only = v == "tag";
        } else if (a == "--id-file") {
            if (!value("--id-file", &v)) return false;
            o.id_file = v;
        } else if (a == "--out") {
            if (!value("--out", &o.out_dir)) return false;
        } else if (a == "--usbfs-memory-mb") {
            long mb = 0;
            if (!value("--usbfs-memory-mb", &v)) return false;
            if (!to_int(v, &mb) || mb < 0 || mb > 65536) {
                *error = "bad --usbfs-memory-mb: " + v;
                return false;
            }
            o.usbfs_memory_mb = static_cast<unsigned>(mb);
        } else if (a == "--no-sg") {
            o.no_sg = true;
        } else if (a == "--link-mbps") {
            if (!value("--link-mbps", &v)) return false;
            if (!to_double(v, &o.link_mbps) || o.link_mbps < 0 || o.link_mbps > 100000) {
                *error = "bad --link-mbps: " + v;
                return false;
            }
        } else if (a == "--interface-busy" || a == "--kernel-driver") {
            long dev = 0;
            if (!value(a.c_str(), &v)) return false;
            if (!to_int(v, &dev) || dev < 0 || dev >= testbed::kMaxDevices) {
                *error = "bad " + a + ": " + v;
                return false;
            }
            (a == "--interface-busy" ? o.interface_busy : o.kernel_driver)
                .push_back(static_cast<int>(dev));
        } else if (a == "--evdi-lib") {
            if (!value("--evdi-lib", &o.evdi_library)) return false;
        } else if (a == "--format") {
            if (!value("--format", &v)) return false;
            if (!evdiemu::format_from_name(v, &o.format)) {
                *error = "bad --format (XR24, AR24, XB24 or AB24): " + v;
                return false;
            }
        } else if (a == "--holder-delay") {
            if (!value("--holder-delay", &v)) return false;
            if (v == "none") {
                o.holder_delay = -1;
            } else if (!to_double(v, &o.holder_delay) || o.holder_delay < 0 || o.holder_delay > 5) {
                *error = "bad --holder-delay (0 to 5 seconds, or none): " + v;
                return false;
            }
        } else if (a == "--no-cursor") {
            o.cursor = false;
        } else if (a == "--no-edid-mode") {
            o.edid_mode_first = false;
        } else if (a == "--repaint-after-modeset") {
            o.repaint_after_modeset = true;
        } else if (a == "--any-framebuffer-size") {
            o.leniency |= evdiemu::kAnyFramebufferSize;
        } else {
            *error = "unknown option: " + a;
            return false;
        }
    }
    for (; i < argc; ++i) o.command.emplace_back(argv[i]);
    if (o.command.empty()) {
        *error = "no command given (-- COMMAND [ARGS...])";
        return false;
    }
    if (o.devices.size() > static_cast<size_t>(testbed::kMaxDevices)) {
        *error = "at most 4 devices";
        return false;
    }
    *out = std::move(o);
    return true;
}

int errno_from_name(std::string_view s) {
    static constexpr struct {
        const char *name;
        int value;
    } kNames[] = {{"EIO", EIO},       {"EINVAL", EINVAL},       {"ENOMEM", ENOMEM},
                  {"ENODEV", ENODEV}, {"EBUSY", EBUSY},         {"EAGAIN", EAGAIN},
                  {"EFAULT", EFAULT}, {"EACCES", EACCES},       {"ENOENT", ENOENT},
                  {"EPERM", EPERM},   {"EINTR", EINTR},         {"ENOSPC", ENOSPC},
                  {"EPIPE", EPIPE},   {"ETIMEDOUT", ETIMEDOUT}, {"ENOTTY", ENOTTY}};
    for (const auto &n : kNames)
        if (s == n.name) return n.value;
    long v = 0;
    return to_int(s, &v) && v > 0 && v < 4096 ? static_cast<int>(v) : -1;
}

namespace {

bool check_event(const ScriptEvent &e, std::string *why) {
    const auto &w = e.words;
    const std::string &a = w[0];
    const size_t n = w.size();
    long v = 0;
    auto dev_ok = [&](size_t i) { return to_int(w[i], &v) && v >= 0 && v < testbed::kMaxDevices; };
    if (a == "plug" || a == "unplug") {
        if (n == 2 && dev_ok(1)) return true;
    } else if (a == "add") {
        DeviceSpec d;
        if (n == 2) return parse_device(w[1], &d, why);
    } else if (a == "rotate" || a == "mirror" || a == "feature") {
        long x = 0;
        if (n == 3 && dev_ok(1) && to_int(w[2], &x) && x >= 0 && x <= 255) return true;
    } else if (a == "dpms") {
        bool m =
            n >= 2 && (w[1] == "off" || w[1] == "on" || w[1] == "standby" || w[1] == "suspend");
        if (m && (n == 2 || (n == 3 && dev_ok(2)))) return true;
    } else if (a == "output") {
        if (n >= 2 && (w[1] == "off" || w[1] == "on") && (n == 2 || (n == 3 && dev_ok(2))))
            return true;
    } else if (a == "mode" || a == "pan") {
        int x, y;
        if ((n == 2 || (n == 3 && dev_ok(2))) && parse_mode(w[1], &x, &y)) return true;
    } else if (a == "format") {
        uint32_t f;
        if ((n == 2 || (n == 3 && dev_ok(2))) && evdiemu::format_from_name(w[1], &f)) return true;
    } else if (a == "cursor") {
        long x = 0, y = 0;
        if ((n == 3 || (n == 4 && dev_ok(3))) && to_int(w[1], &x) && to_int(w[2], &y) &&
            x >= -256 && y >= -256 && x <= 8192 && y <= 8192)
            return true;
    } else if (a == "fault" && n >= 2 && w[1] == "evdi") {
        evdiemu::Op op;
        long c = 1;
        if ((n == 4 || (n == 5 && to_int(w[4], &c) && c >= 0)) &&
            evdiemu::op_from_name(w[2], &op) && errno_from_name(w[3]) > 0)
            return true;
    } else if (a == "fault" && n >= 4 && w[1] == "usb" && dev_ok(2)) {
        long c = 1;
        if (w[3] == "bulk" && (n == 5 || (n == 6 && to_int(w[5], &c))) &&
            (w[4] == "error" || w[4] == "timeout" || w[4] == "stall" || w[4] == "nodevice" ||
             w[4] == "partial"))
            return true;
        if (w[3] == "control" && (n == 6 || (n == 7 && to_int(w[6], &c))) && to_int(w[4], &v, 16) &&
            v >= 0 && v <= 255 &&
            (w[5] == "stall" || w[5] == "timeout" || w[5] == "short" || w[5] == "empty"))
            return true;
    } else if ((a == "freeze" || a == "unfreeze") && n == 1) {
        return true;
    }
    if (why->empty()) *why = "bad event";
    return false;
}

}  // namespace

bool parse_script(std::string_view text, std::vector<ScriptEvent> *out, std::string *error) {
    std::vector<ScriptEvent> events;
    int line_no = 0;
    for (std::string_view line : split(text, '\n')) {
        ++line_no;
        line = line.substr(0, line.find('#'));
        std::vector<std::string> words;
        for (std::string_view w : split(line, ' '))
            for (std::string_view t : split(w, '\t'))
                if (!t.empty() && t != "\r") words.emplace_back(t);
        if (words.empty()) continue;
        ScriptEvent e;
        e.line = line_no;
        if (!to_double(words[0], &e.at) || e.at < 0 || words.size() < 2) {
            *error = "script line " + std::to_string(line_no) + ": expected 'SECONDS ACTION ...'";
            return false;
        }
        e.words.assign(words.begin() + 1, words.end());
        std::string why;
        if (!check_event(e, &why)) {
            *error = "script line " + std::to_string(line_no) + ": " + why;
            return false;
        }
        events.push_back(std::move(e));
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const ScriptEvent &a, const ScriptEvent &b) { return a.at < b.at; });
    *out = std::move(events);
    return true;
}

}  // namespace torvel::sim
