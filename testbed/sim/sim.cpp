// The harness: the emulated devices, the program under test in a private
// mount namespace under both emulations, and the desktop that answers its
// virtual outputs.
#include "sim.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "daemon_cpu.h"
#include "device_ids.h"
#include "frame_tag.h"
#include "scene.h"
#include "spawn.h"
#include "xvfb.h"

extern char **environ;
extern "C" void __asan_init() __attribute__((weak));
extern "C" void __tsan_init() __attribute__((weak));

#ifndef TORVEL_EVDI_EMU_PATH
#define TORVEL_EVDI_EMU_PATH "libtorvel-evdi-emu.so"
#endif
#ifndef TORVEL_SIM_XCLIENT_PATH
#define TORVEL_SIM_XCLIENT_PATH "torvel-sim-xclient"
#endif

namespace torvel::sim {

bool parse_mode(std::string_view s, int *w, int *h);
int errno_from_name(std::string_view s);

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kEdidSerialBase = 0x54560000;

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool write_file(const std::string &path, const std::string &text) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f << text;
        if (!f.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

// The tree holds only what the harness and the program's emulator made.
void remove_tree(const std::string &path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string json_escape(const std::string &s) {
    std::string o;
    for (char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof(b), "\\u%04x", c);
            o += b;
        } else {
            o += c;
        }
    }
    return o;
}

// The most recent violation lines a device noted, for the report.
std::vector<std::string> last_violations(const testbed::DeviceState &st) {
    constexpr size_t kKept = 8;
    const size_t n = st.violations.size();
    return std::vector<std::string>(st.violations.begin() + (n > kKept ? n - kKept : 0),
                                    st.violations.end());
}

std::string fourcc(uint32_t f) {
    if (f == 0) return "none";
    return {static_cast<char>(f), static_cast<char>(f >> 8), static_cast<char>(f >> 16),
            static_cast<char>(f >> 24)};
}

// Screen content as 8-bit RGB for PNG and PSNR.
testbed::FrameBuffer to_frame(const std::vector<uint32_t> &xrgb, int w, int h) {
    testbed::FrameBuffer f(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t v = xrgb[static_cast<size_t>(y) * w + x];
            uint8_t *p = f.pixel(x, y);
            p[0] = static_cast<uint8_t>(v >> 16);
            p[1] = static_cast<uint8_t>(v >> 8);
            p[2] = static_cast<uint8_t>(v);
        }
    return f;
}

testbed::FrameBuffer transformed(const testbed::FrameBuffer &in, bool rotate180, bool mirror) {
    testbed::FrameBuffer out(in.width(), in.height());
    for (int y = 0; y < in.height(); ++y)
        for (int x = 0; x < in.width(); ++x) {
            int sx = (rotate180 || mirror) ? in.width() - 1 - x : x;
            int sy = rotate180 ? in.height() - 1 - y : y;
            std::memcpy(out.pixel(x, y), in.pixel(sx, sy), 3);
        }
    return out;
}

std::vector<uint8_t> device_edid(int index) {
    std::vector<uint8_t> e = testbed::make_edid();
    uint32_t serial = kEdidSerialBase + static_cast<uint32_t>(index);
    std::memcpy(&e[12], &serial, 4);
    uint8_t sum = 0;
    for (int i = 0; i < 127; ++i) sum = static_cast<uint8_t>(sum + e[i]);
    e[127] = static_cast<uint8_t>(-sum);
    return e;
}

// The soname of the sanitizer runtime an executable needs ("libasan.so.8",
// "libtsan.so.2"), or "" (the name sits in its dynamic string table).
std::string sanitizer_runtime_of(const std::string &exe) {
    const std::string data = read_file(exe);
    for (std::string_view key : {"libasan.so.", "libtsan.so."}) {
        size_t at = data.find(key);
        if (at == std::string::npos) continue;
        size_t end = data.find('\0', at);
        if (end == std::string::npos || end - at > 32) continue;
        return data.substr(at, end - at);
    }
    return {};
}

// The file of the sanitizer runtime this process runs with, or "".
std::string own_sanitizer_runtime() {
    void *init = nullptr;
    if (&__asan_init != nullptr) init = reinterpret_cast<void *>(&__asan_init);
    if (&__tsan_init != nullptr) init = reinterpret_cast<void *>(&__tsan_init);
    Dl_info info{};
    if (init && dladdr(init, &info) && info.dli_fname) return info.dli_fname;
    return {};
}

// What a device's state says of it in the report.
void take_counters(const testbed::DeviceState &st, DeviceReport &d) {
    const testbed::DeviceCounters &c = st.counters;
    d.resolutions = st.resolutions_set;
    d.frames = c.frames;
    d.transfers = c.transfers;
    d.bytes = c.bytes;
    d.blocks = c.blocks;
    d.format_errors = c.format_errors;
    d.decode_errors = c.decode_errors;
    d.violations = last_violations(st);
    d.device_id = st.device_id;
    d.submit_nomem = c.submit_nomem;
    d.partial_transfers = c.partial_transfers;
    d.unclaimed_bulk = c.unclaimed_bulk;
    d.halts = c.halts;
    d.clear_halts = c.clear_halts;
    d.failed_transfers = c.failed_transfers;
    const double seconds = static_cast<double>(st.last_frame_us - st.first_frame_us) * 1e-6;
    d.frames_per_second = seconds > 0 ? static_cast<double>(c.frames - 1) / seconds : 0;
    d.bytes_per_second = seconds > 0 ? static_cast<double>(c.bytes_delivered) / seconds : 0;
}

// The first detailed timing of an EDID (its preferred mode), or 0 x 0.
void edid_preferred_mode(const uint8_t *edid, int *w, int *h) {
    const uint8_t *d = edid + 54;
    *w = (d[0] | d[1]) ? d[2] | (d[4] >> 4) << 8 : 0;
    *h = (d[0] | d[1]) ? d[5] | (d[7] >> 4) << 8 : 0;
}

// The kernel gives up waiting for a commit's completion after ten seconds
// (drm_atomic_helper_wait_for_dependencies); so does the desktop.
constexpr milliseconds kCommitWaitLimit{10000};
constexpr auto kCommitPoll = milliseconds(1);

// One virtual output as the desktop sees it.
struct Output {
    uint64_t answered_connect = 0;  // `connects` value answered with mode sets
    int device = -1;
    evdiemu::ModeSet mode;                   // the mode set last
    std::deque<evdiemu::ModeSet> mode_sets;  // still to make, in order
    bool custom = false;                     // painted by the test: no scene
    bool repaint = false;                    // the next commit paints everything
    Scene scene;
    MotionScene motion;
    WorkloadScene workload;
    uint8_t tag = 0;                // the last frame tag painted
    std::vector<uint32_t> content;  // the desktop's picture, framebuffer size
    int fb_width = 0, fb_height = 0;
    bool cursor_shown = false;     // the pointer's image is set on this output
    bool cursor_scripted = false;  // moved by the test: the scene leaves it
};

int fb_w_of(const evdiemu::ModeSet &m) {
    return m.fb_width ? m.fb_width : m.width;
}
int fb_h_of(const evdiemu::ModeSet &m) {
    return m.fb_height ? m.fb_height : m.height;
}

class SimImpl final : public Sim {
  public:
    explicit SimImpl(Options o) : opts_(std::move(o)) {}

    ~SimImpl() override {
        stop_desktop();
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            reap(true);
        }
        ctl_.close();
        xvfb_.reset();
        tb_.reset();
        if (!tmp_.empty()) remove_tree(tmp_);
    }

    bool init(std::string *error) {
        prctl(PR_SET_TIMERSLACK, 1UL);
        char tmpl[] = "/tmp/torvel-sim-XXXXXX";
        if (!mkdtemp(tmpl)) {
            *error = std::string("cannot create a temporary directory: ") + std::strerror(errno);
            return false;
        }
        tmp_ = tmpl;
        mode_w_ = opts_.width;
        mode_h_ = opts_.height;
        for (const char *d : {"/bin", "/vartmp", "/evdi"}) mkdir((tmp_ + d).c_str(), 0755);
        if (!opts_.out_dir.empty()) mkdir(opts_.out_dir.c_str(), 0755);
        if (opts_.evdi_library.empty()) {
            const char *env = std::getenv("TORVEL_EVDI_EMU_LIB");
            opts_.evdi_library = env && *env ? env : TORVEL_EVDI_EMU_PATH;
        }
        if (opts_.id_file) {
            std::ifstream f(*opts_.id_file, std::ios::binary);
            if (!f) {
                *error = "cannot read the identity file " + *opts_.id_file;
                return false;
            }
            if (!write_file(tmp_ + "/vartmp/torvel_display.id", read_file(*opts_.id_file))) {
                *error = "cannot write the private identity file";
                return false;
            }
        }
        if (opts_.content == ContentKind::kPng) {
            if (!testbed::read_png(opts_.png_path, png_, error)) return false;
        } else if (opts_.content == ContentKind::kXvfb) {
            const char *env = std::getenv("TORVEL_SIM_XCLIENT");
            xvfb_ = XvfbSource::start(opts_.width, opts_.height,
                                      env && *env ? env : TORVEL_SIM_XCLIENT_PATH, error);
            if (!xvfb_) return false;
        }
        std::string script =
            "#!/bin/sh\n"
            "printf '%s\\n' \"$*\" >> '" +
            tmp_ +
            "/xrandr.log'\n"
            "printf 'DISPLAY=%s XAUTHORITY=%s\\n' \"$DISPLAY\" \"$XAUTHORITY\" >> '" +
            tmp_ +
            "/xrandr-env.log'\n"
            "if [ $# -eq 0 ]; then cat '" +
            tmp_ +
            "/xrandr-q.txt'; fi\n"
            "for a in \"$@\"; do\n"
            "  case \"$a\" in -q|--query) cat '" +
            tmp_ +
            "/xrandr-q.txt';; esac\n"
            "done\n"
            "exit 0\n";
        if (!write_file(tmp_ + "/bin/xrandr", script) ||
            chmod((tmp_ + "/bin/xrandr").c_str(), 0755) != 0) {
            *error = "cannot write the fake xrandr";
            return false;
        }
        write_xrandr({});
        // xrefresh makes every window of the X screen repaint: the desktop
        // repaints every output.
        std::string refresh =
            "#!/bin/sh\n"
            "printf '%s\\n' \"$*\" >> '" +
            tmp_ + "/xrefresh.log'\nexit 0\n";
        if (!write_file(tmp_ + "/bin/xrefresh", refresh) ||
            chmod((tmp_ + "/bin/xrefresh").c_str(), 0755) != 0) {
            *error = "cannot write the fake xrefresh";
            return false;
        }
        tb_ = testbed::UsbTestbed::create(error);
        if (!tb_) return false;
        tb_->set_usbfs_memory_mb(opts_.usbfs_memory_mb);
        for (const DeviceSpec &d : opts_.devices)
            if (add_device(d, error) < 0) return false;
        int r = ctl_.listen(tmp_ + "/ctl.sock");
        if (r < 0) {
            *error = std::string("control socket: ") + std::strerror(-r);
            return false;
        }
        return true;
    }

    bool start(std::string *error) override {
        if (pid_ > 0) {
            *error = "already started";
            return false;
        }
        std::vector<std::string> env;
        const char *path = std::getenv("PATH");
        std::string new_path = tmp_ + "/bin:" + (path ? path : "/usr/bin:/bin");
        if (!opts_.path_prefix.empty()) new_path = opts_.path_prefix + ":" + new_path;
        const std::string exe = find_in_path(opts_.command[0], new_path);
        // A sanitizer runtime must come first of all: the harness's own (its
        // build of the interposer needs it), or the one the program was
        // linked with. Loaded later, as a dependency of a preload, the
        // ThreadSanitizer runtime starts without its shadow memory and the
        // program dies at its first instrumented access.
        std::string preload = own_sanitizer_runtime();
        if (preload.empty()) preload = sanitizer_runtime_of(exe);
        if (!preload.empty()) preload += ":";
        preload += opts_.evdi_library;
        for (char **e = environ; *e; ++e) {
            std::string_view v(*e);
            if (v.starts_with("LD_PRELOAD=") || v.starts_with("UMOCKDEV_DIR=") ||
                (v.starts_with("TORVEL_EVDI_") && !v.starts_with("TORVEL_EVDI_CARD_BASE=")) ||
                v.starts_with("PATH="))
                continue;
            env.emplace_back(v);
        }
        for (const std::string &v : tb_->child_environment(preload)) env.push_back(v);
        env.push_back("TORVEL_EVDI_CONTROL=" + tmp_ + "/ctl.sock");
        env.push_back("TORVEL_EVDI_ROOT=" + tmp_ + "/evdi");
        env.push_back("TORVEL_EVDI_HOLDER_DELAY=" + (opts_.holder_delay < 0
                                                         ? std::string("none")
                                                         : std::to_string(opts_.holder_delay)));
        env.push_back("PATH=" + new_path);
        if (xvfb_) {
            std::erase_if(env, [](const std::string &v) { return v.starts_with("DISPLAY="); });
            env.push_back("DISPLAY=" + xvfb_->display());
        }
        log_path_ = (opts_.out_dir.empty() ? tmp_ : opts_.out_dir) + "/daemon.log";
        int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log < 0) {
            *error = "cannot create " + log_path_ + ": " + std::strerror(errno);
            return false;
        }
        SpawnSpec req;
        req.exe = exe;
        req.argv = opts_.command;
        req.env = std::move(env);
        req.stdout_fd = log;
        req.private_var_tmp = true;
        req.var_tmp = tmp_ + "/vartmp";
        t0_ = Clock::now();
        pid_t pid = spawn(req);
        close(log);
        if (pid < 0) {
            *error = std::string("fork: ") + std::strerror(-pid);
            return false;
        }
        pid_ = pid;
        desktop_ = std::thread([this] { desktop_loop(); });
        return true;
    }

    bool running() override {
        reap(false);
        return pid_ > 0 && !exited_;
    }

    bool wait_until(const std::function<bool()> &done, milliseconds timeout) override {
        auto end = Clock::now() + timeout;
        for (;;) {
            if (done()) return true;
            if (Clock::now() >= end) return false;
            std::this_thread::sleep_for(milliseconds(20));
        }
    }

    bool wait_output(int dev, milliseconds timeout) override {
        return wait_until(
            [&] {
                std::lock_guard lock(mu_);
                for (const Output &o : outputs_)
                    if (o.device == dev && o.mode.width > 0 && o.mode_sets.empty()) return true;
                return false;
            },
            timeout);
    }

    bool wait_resolution(int dev, int w, int h, milliseconds timeout) override {
        auto *d = device(dev);
        if (!d) return false;
        return tb_->wait_until(
            [&] {
                testbed::Resolution r = d->state().resolution;
                return r.width == w && r.height == h;
            },
            timeout);
    }

    bool wait_frames(int dev, uint64_t frames, milliseconds timeout) override {
        auto *d = device(dev);
        if (!d) return false;
        return tb_->wait_until([&] { return d->state().counters.frames >= frames; }, timeout);
    }

    bool wait_update_requested(int dev, milliseconds timeout) override {
        return wait_until(
            [&] {
                int out = output_of(dev);
                evdiemu::CardState s[evdiemu::kMaxOutputs];
                int n = ctl_.cards(s, evdiemu::kMaxOutputs);
                return out >= 0 && out < n && s[out].update_armed;
            },
            timeout);
    }

    bool wait_exit(milliseconds timeout) override {
        return wait_until(
            [&] {
                reap(false);
                return exited_.load();
            },
            timeout);
    }

    bool plug(int dev) override {
        auto *d = device(dev);
        std::string err;
        return d && d->plug(&err);
    }

    void unplug(int dev) override {
        if (auto *d = device(dev)) d->unplug();
    }

    int add_device(const DeviceSpec &req, std::string *error) override {
        testbed::DeviceConfig c;
        c.model = req.model;
        if (req.id) c.initial_id = *req.id;
        c.feature = req.feature;
        c.orientation = req.orientation;
        c.mirror = req.mirror;
        int index = tb_->device_count();
        c.edid = device_edid(index);
        auto listed = [index](const std::vector<int> &devs) {
            return std::find(devs.begin(), devs.end(), index) != devs.end();
        };
        if (listed(opts_.interface_busy))
            c.interface_holder = testbed::InterfaceHolder::kOtherProgram;
        if (listed(opts_.kernel_driver))
            c.interface_holder = testbed::InterfaceHolder::kKernelDriver;
        c.scatter_gather = !opts_.no_sg;
        c.link_bytes_per_second = opts_.link_mbps * 1e6;
        c.decode_tag_only = opts_.decode_tag_only;
        if (opts_.measure_seconds > 0 && index < testbed::kMaxDevices)
            c.on_decoded = [this, index](const testbed::FrameBuffer &f) {
                const int tag = read_tag(f);
                const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                                       Clock::now().time_since_epoch())
                                       .count();
                std::lock_guard lock(tag_mu_);
                tag_clocks_[static_cast<size_t>(index)].shown(tag, us);
            };
        testbed::EmulatedDevice *d = tb_->add_device(c, true, error);
        if (!d) return -1;
        std::lock_guard lock(mu_);
        specs_.push_back(req);
        return d->index();
    }

    void set_orientation(int dev, uint8_t v) override {
        if (auto *d = device(dev)) d->set_orientation(v);
    }
    void set_mirror(int dev, uint8_t v) override {
        if (auto *d = device(dev)) d->set_mirror(v);
    }

    int dpms(int dev, int mode) override {
        return on_output(dev, [&](int out, Output &) { return ctl_.dpms(out, mode); });
    }
    int output_off(int dev) override {
        return on_output(dev, [&](int out, Output &) { return ctl_.output_off(out); });
    }
    int output_on(int dev) override {
        return on_output(dev, [&](int out, Output &o) { return commit_mode(out, o, o.mode); });
    }

    int set_mode(int dev, int w, int h) override {
        {
            std::lock_guard lock(mu_);
            mode_w_ = w;
            mode_h_ = h;
        }
        return on_output(dev, [&](int out, Output &o) {
            evdiemu::ModeSet m = o.mode;
            m.width = w;
            m.height = h;
            m.fb_width = m.fb_height = 0;
            return commit_mode(out, o, m);
        });
    }

    int set_format(int dev, uint32_t format) override {
        return on_output(dev, [&](int out, Output &o) {
            int r = ctl_.set_format(out, format);
            if (r == 0) o.mode.format = format;
            return r;
        });
    }

    int pan(int dev, int fb_width, int fb_height) override {
        return on_output(dev, [&](int out, Output &o) {
            evdiemu::ModeSet m = o.mode;
            m.fb_width = fb_width == m.width && fb_height == m.height ? 0 : fb_width;
            m.fb_height = fb_width == m.width && fb_height == m.height ? 0 : fb_height;
            return commit_mode(out, o, m);
        });
    }

    int move_cursor(int dev, int x, int y) override {
        return on_output(dev, [&](int out, Output &o) {
            o.cursor_scripted = true;
            return move_pointer(out, o, x, y);
        });
    }

    int paint(int dev, int x, int y, int w, int h, const uint32_t *px) override {
        return on_output(dev, [&](int out, Output &o) {
            o.custom = true;
            for (int row = std::max(y, 0); row < std::min(y + h, o.fb_height); ++row)
                for (int col = std::max(x, 0); col < std::min(x + w, o.fb_width); ++col)
                    o.content[static_cast<size_t>(row) * o.fb_width + col] =
                        px[static_cast<size_t>(row - y) * w + (col - x)];
            return ctl_.paint(out, x, y, w, h, px, w);
        });
    }

    void freeze(bool still) override { frozen_ = still; }

    int fail_evdi(evdiemu::Op op, int err, int count) override {
        return ctl_.fail_next(op, err, count);
    }

    testbed::EmulatedDevice *device(int dev) override {
        return dev >= 0 && dev < tb_->device_count() ? tb_->device(dev) : nullptr;
    }
    testbed::UsbTestbed &usb() override { return *tb_; }
    evdiemu::Control &evdi() override { return ctl_; }

    int output_of(int dev) override {
        std::lock_guard lock(mu_);
        for (size_t i = 0; i < outputs_.size(); ++i)
            if (outputs_[i].device == dev) return static_cast<int>(i);
        return -1;
    }

    std::vector<std::string> xrandr_commands() override {
        std::vector<std::string> lines;
        std::istringstream s(read_file(tmp_ + "/xrandr.log"));
        for (std::string l; std::getline(s, l);) lines.push_back(l);
        return lines;
    }

    std::vector<std::string> xrandr_environments() override {
        std::vector<std::string> out;
        std::istringstream s(read_file(tmp_ + "/xrandr-env.log"));
        for (std::string line; std::getline(s, line);) out.push_back(line);
        return out;
    }

    int xrefresh_runs() override {
        const std::string log = read_file(tmp_ + "/xrefresh.log");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }

    std::string daemon_log() override { return read_file(log_path_); }

    std::string kernel_log() override {
        // The program's emulator keeps it in its private tree under ours.
        std::string all;
        const std::string dir = tmp_ + "/evdi";
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') all += read_file(dir + "/" + e->d_name + "/kernel.log");
            closedir(d);
        }
        return all;
    }
    std::string identity_file() override { return read_file(tmp_ + "/vartmp/torvel_display.id"); }
    pid_t pid() override { return pid_; }

    int stop(milliseconds timeout) override {
        if (pid_ <= 0) return -1;
        reap(false);
        if (!exited_) {
            kill(pid_, SIGINT);
            if (!wait_exit(timeout)) {
                std::fprintf(stderr, "torvel-sim: the program did not end after SIGINT; killed\n");
                kill(pid_, SIGKILL);
                reap(true);
            }
        }
        stop_desktop();
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    Report capture() override {
        Report r;
        evdiemu::CardState cs[evdiemu::kMaxOutputs];
        int n = ctl_.cards(cs, evdiemu::kMaxOutputs);
        if (n >= 0) {
            r.outputs.assign(cs, cs + n);
        } else {
            std::lock_guard lock(mu_);  // the program has gone: what was seen last
            r.outputs = last_cards_;
        }
        r.xrandr = xrandr_commands();
        for (int i = 0; i < tb_->device_count(); ++i) {
            testbed::EmulatedDevice *d = tb_->device(i);
            d->wait_idle(milliseconds(2000));
            testbed::DeviceState st = d->state();
            DeviceReport dr;
            dr.index = i;
            dr.product_id = d->product_id();
            take_counters(st, dr);
            dr.output = output_of(i);
            dr.shown = d->frame();
            dr.display_off = st.display_off;
            if (dr.output >= 0 && dr.output < n) {
                // What the output shows, as a grab sees it.
                const evdiemu::CardState &o = cs[dr.output];
                dr.card = o.number;
                std::vector<uint32_t> px(static_cast<size_t>(o.width) * o.height);
                if (!px.empty() && ctl_.read_screen(dr.output, px.data(), px.size()) ==
                                       static_cast<int>(px.size()))
                    dr.screen = to_frame(px, o.width, o.height);
            }
            // What the daemon should make of the device's state: frames are
            // turned while the orientation it knows reads 180 degrees (read
            // every frame for feature class 1, every second for the rotating
            // model, once at the start for class 2), else mirrored while a
            // class 4 device reports mirroring.
            DeviceSpec req;
            {
                std::lock_guard lock(mu_);
                if (static_cast<size_t>(i) < specs_.size()) req = specs_[i];
            }
            const bool rot = ((st.feature == 1 || req.model == 4) && st.orientation == 2) ||
                             (st.feature == 2 && req.model != 4 && req.orientation == 2);
            const bool mir = !rot && st.feature == 4 && st.mirror == 1;
            dr.transform = rot ? "rotate180" : mir ? "mirror" : "none";
            if (!dr.screen.empty() && !dr.shown.empty()) {
                double p = testbed::psnr(rot || mir ? transformed(dr.screen, rot, mir) : dr.screen,
                                         dr.shown);
                dr.psnr = std::isinf(p) ? 100.0 : p;
            }
            r.devices.push_back(std::move(dr));
        }
        r.identity_file = identity_file();
        // The program's emulator removes its tree when the program ends.
        r.kernel_log = kernel_log();
        return r;
    }

    bool write_outputs(Report &r, std::string *error) override {
        reap(false);
        // Counters and requests go on until the program ends (it switches
        // the displays off on its way out); the frames were taken earlier.
        for (DeviceReport &d : r.devices) {
            testbed::EmulatedDevice *dev = device(d.index);
            if (!dev) continue;
            take_counters(dev->state(), d);
        }
        r.identity_file = identity_file();
        r.xrandr = xrandr_commands();
        for (DeviceReport &d : r.devices) {
            d.xrandr.clear();
            if (d.output < 0) continue;
            const std::string name =
                "DVI-I-" + std::to_string(d.output + 1) + "-" + std::to_string(d.output + 1);
            for (const std::string &c : r.xrandr) {
                std::istringstream words(c);
                for (std::string w; words >> w;)
                    if (w == name) {
                        d.xrandr.push_back(c);
                        break;
                    }
            }
        }
        r.exited = exited_;
        if (exited_) {
            r.exit_status = WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
            r.signal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
        }
        if (opts_.out_dir.empty()) return true;
        const std::string &dir = opts_.out_dir;
        if (!write_file(dir + "/kernel.log", r.kernel_log)) {
            *error = "cannot write " + dir + "/kernel.log";
            return false;
        }
        for (const DeviceReport &d : r.devices) {
            std::string n = std::to_string(d.index);
            if (!d.screen.empty() &&
                !testbed::write_png(d.screen, dir + "/screen-" + n + ".png", error))
                return false;
            if (!d.shown.empty() &&
                !testbed::write_png(d.shown, dir + "/device-" + n + ".png", error))
                return false;
        }
        std::ostringstream j;
        j << "{\n  \"exited\": " << (r.exited ? "true" : "false")
          << ",\n  \"exit_status\": " << r.exit_status << ",\n  \"signal\": " << r.signal
          << ",\n  \"ended_early\": " << (r.ended_early ? "true" : "false")
          << ",\n  \"ended_at\": " << r.ended_at << ",\n  \"seconds\": " << opts_.seconds
          << ",\n  \"script_late_s\": " << r.script_late
          << ",\n  \"script_lines_unrun\": " << r.script_unrun << ",\n  \"devices\": [";
        for (size_t i = 0; i < r.devices.size(); ++i) {
            const DeviceReport &d = r.devices[i];
            char pid[16], id[16];
            std::snprintf(pid, sizeof(pid), "0x%04x", d.product_id);
            std::snprintf(id, sizeof(id), "0x%08x", d.device_id);
            j << (i ? "," : "") << "\n    {\"index\": " << d.index << ", \"product_id\": \"" << pid
              << "\", \"device_id\": \"" << id << "\", \"output\": " << d.output
              << ", \"card\": " << d.card << ",\n     \"resolutions\": [";
            for (size_t k = 0; k < d.resolutions.size(); ++k)
                j << (k ? ", " : "") << "\"" << d.resolutions[k].width << "x"
                  << d.resolutions[k].height << "\"";
            j << "],\n     \"frames\": " << d.frames << ", \"transfers\": " << d.transfers
              << ", \"bytes\": " << d.bytes << ", \"blocks\": " << d.blocks
              << ", \"format_errors\": " << d.format_errors
              << ", \"decode_errors\": " << d.decode_errors << ",\n     \"violations\": [";
            for (size_t k = 0; k < d.violations.size(); ++k)
                j << (k ? ", " : "") << "\"" << json_escape(d.violations[k]) << "\"";
            j << "],\n     \"submit_nomem\": " << d.submit_nomem
              << ", \"partial_transfers\": " << d.partial_transfers
              << ", \"unclaimed_bulk\": " << d.unclaimed_bulk << ", \"halts\": " << d.halts
              << ", \"clear_halts\": " << d.clear_halts
              << ", \"failed_transfers\": " << d.failed_transfers
              << ",\n     \"frames_per_second\": " << d.frames_per_second
              << ", \"bytes_per_second\": " << d.bytes_per_second << ",\n     \"psnr\": " << d.psnr
              << ", \"psnr_transform\": \"" << d.transform
              << "\", \"display_off\": " << (d.display_off ? "true" : "false")
              << ",\n     \"xrandr\": [";
            for (size_t k = 0; k < d.xrandr.size(); ++k)
                j << (k ? ", " : "") << "\"" << json_escape(d.xrandr[k]) << "\"";
            j << "]}";
        }
        j << "\n  ],\n  \"outputs\": [";
        for (size_t i = 0; i < r.outputs.size(); ++i) {
            const evdiemu::CardState &o = r.outputs[i];
            j << (i ? "," : "") << "\n    {\"index\": " << i << ", \"name\": \"DVI-I-" << i + 1
              << "-" << i + 1 << "\", \"card\": " << o.number
              << ", \"connected\": " << (o.connected ? "true" : "false") << ", \"mode\": \""
              << o.width << "x" << o.height << "\", \"grabs\": " << o.grabs
              << ", \"grab_failures\": " << o.grab_failures
              << ", \"update_requests\": " << o.update_requests
              << ", \"redundant_update_requests\": " << o.redundant_update_requests
              << ",\n     \"commit_wait_max_ms\": " << o.commit_wait_max_ms
              << ", \"commit_stalls\": " << o.commit_stalls << ", \"pixel_format\": \""
              << fourcc(o.pixel_format) << "\", \"framebuffer\": \"" << o.fb_width << "x"
              << o.fb_height << "\", \"connects\": " << o.connects << "}";
        }
        j << "\n  ],\n  \"xrandr\": [";
        for (size_t k = 0; k < r.xrandr.size(); ++k)
            j << (k ? ", " : "") << "\"" << json_escape(r.xrandr[k]) << "\"";
        j << "],\n  \"identity_file\": \"" << json_escape(r.identity_file) << "\"\n}\n";
        if (!write_file(dir + "/report.json", j.str())) {
            *error = "cannot write " + dir + "/report.json";
            return false;
        }
        return true;
    }

    int run(std::string *error) override {
        std::vector<ScriptEvent> script;
        if (!opts_.script_path.empty()) {
            std::ifstream f(opts_.script_path);
            if (!f) {
                *error = "cannot read the script " + opts_.script_path;
                return 1;
            }
            if (!parse_script(read_file(opts_.script_path), &script, error)) return 1;
        }
        if (!start(error)) return 1;
        if (opts_.measure_seconds > 0) return measure(error);
        const auto end = t0_ + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(opts_.seconds));
        const auto still = end - std::chrono::seconds(1);
        size_t next = 0;
        bool early = false;
        double ended_at = -1;
        double late = 0;
        while (Clock::now() < end) {
            const double t = std::chrono::duration<double>(Clock::now() - t0_).count();
            while (next < script.size() && script[next].at <= t) {
                const double now = std::chrono::duration<double>(Clock::now() - t0_).count();
                late = std::max(late, now - script[next].at);
                execute(script[next++]);
            }
            if (Clock::now() >= still) frozen_ = true;
            if (!running()) {
                early = true;
                ended_at = std::chrono::duration<double>(Clock::now() - t0_).count();
                break;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        Report r = capture();
        r.ended_early = early;
        r.ended_at = ended_at;
        r.script_late = late;
        r.script_unrun = early ? 0 : static_cast<int>(script.size() - next);
        int status = stop(milliseconds(10000));
        (void)status;
        if (!write_outputs(r, error)) return 1;
        return 0;
    }

  private:
    // The benchmark's run: once every device streams (and a second more),
    // the measurement, its line, then the end as after --seconds.
    int measure(std::string *error) {
        const int n = tb_->device_count();
        for (int d = 0; d < n; ++d)
            if (!wait_frames(d, 2, milliseconds(30000))) {
                *error = "device " + std::to_string(d) + " never streamed";
                stop(milliseconds(10000));
                return 1;
            }
        std::this_thread::sleep_for(milliseconds(1000));
        std::vector<uint64_t> frames0(static_cast<size_t>(n)), bytes0(static_cast<size_t>(n));
        for (int d = 0; d < n; ++d) {
            const auto c = device(d)->state().counters;
            frames0[static_cast<size_t>(d)] = c.frames;
            bytes0[static_cast<size_t>(d)] = c.bytes;
        }
        {
            std::lock_guard lock(tag_mu_);
            for (TagClock &c : tag_clocks_) c = TagClock{};
        }
        evdiemu::UsbfsClock usbfs0, usbfs1;
        const int usbfs_rc0 = ctl_.usbfs_clock(&usbfs0);
        const int64_t cpu0 = own_cpu_ns(pid_);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(opts_.measure_seconds));
        const int64_t cpu1 = own_cpu_ns(pid_);
        const int usbfs_rc1 = ctl_.usbfs_clock(&usbfs1);
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        double frames = 0, bytes = 0;
        for (int d = 0; d < n; ++d) {
            const auto c = device(d)->state().counters;
            frames += static_cast<double>(c.frames - frames0[static_cast<size_t>(d)]);
            bytes += static_cast<double>(c.bytes - bytes0[static_cast<size_t>(d)]);
        }
        TagClock all;
        {
            std::lock_guard lock(tag_mu_);
            for (const TagClock &c : tag_clocks_) all.add(c);
        }
        const bool alive = running();
        if (cpu0 < 0 || cpu1 < 0 || usbfs_rc0 < 0 || usbfs_rc1 < 0 || !alive) {
            *error = alive ? "cannot read the program's CPU time" : "the program ended early";
            stop(milliseconds(10000));
            return 1;
        }
        // Frames that showed a new paint where the desktop paints (a stream
        // may carry part of a frame), else frames as streams.
        const double shown = all.count() > 0 ? static_cast<double>(all.count()) : frames;
        // Of the CPU time, what the emulated usbfs's ioctls took in the
        // program's threads (usbfs_clock.cpp), and how many there were.
        const auto pct = [&](int64_t ns) {
            return 100.0 * static_cast<double>(ns) / 1e9 / secs / std::max(n, 1);
        };
        std::printf(
            "measured: fps=%.1f cpu_pct_per_device=%.2f latency_p50_ms=%.1f "
            "latency_p99_ms=%.1f bytes_per_frame=%.0f usbfs_emulation_pct_per_device=%.2f "
            "usbfs_ioctls_per_frame=%.1f\n",
            shown / secs / std::max(n, 1), pct(cpu1 - cpu0), all.quantile_ms(0.5),
            all.quantile_ms(0.99), shown > 0 ? bytes / shown : 0.0,
            pct(usbfs1.cpu_ns - usbfs0.cpu_ns),
            frames > 0 ? static_cast<double>(usbfs1.calls - usbfs0.calls) / frames : 0.0);
        std::fflush(stdout);
        Report r = capture();
        stop(milliseconds(10000));
        return write_outputs(r, error) ? 0 : 1;
    }

    void execute(const ScriptEvent &e) {
        const auto &w = e.words;
        const std::string &a = w[0];
        auto each = [&](int arg, const std::function<void(int)> &fn) {
            if (static_cast<int>(w.size()) > arg) {
                fn(std::stoi(w[arg]));
            } else {
                for (int i = 0; i < tb_->device_count(); ++i) fn(i);
            }
        };
        std::string err;
        if (a == "plug") {
            plug(std::stoi(w[1]));
        } else if (a == "unplug") {
            unplug(std::stoi(w[1]));
        } else if (a == "add") {
            DeviceSpec d;
            if (parse_device(w[1], &d, &err) && add_device(d, &err) < 0)
                std::fprintf(stderr, "torvel-sim: script line %d: %s\n", e.line, err.c_str());
        } else if (a == "rotate") {
            set_orientation(std::stoi(w[1]), static_cast<uint8_t>(std::stoi(w[2])));
        } else if (a == "mirror") {
            set_mirror(std::stoi(w[1]), static_cast<uint8_t>(std::stoi(w[2])));
        } else if (a == "feature") {
            if (auto *d = device(std::stoi(w[1])))
                d->set_feature(static_cast<uint8_t>(std::stoi(w[2])));
        } else if (a == "dpms") {
            int mode = w[1] == "on" ? 0 : w[1] == "standby" ? 1 : w[1] == "suspend" ? 2 : 3;
            each(2, [&](int dev) { dpms(dev, mode); });
        } else if (a == "output") {
            each(2, [&](int dev) { w[1] == "on" ? output_on(dev) : output_off(dev); });
        } else if (a == "mode" || a == "pan") {
            int mw = 0, mh = 0;
            parse_mode(w[1], &mw, &mh);
            each(2, [&](int dev) { a == "mode" ? set_mode(dev, mw, mh) : pan(dev, mw, mh); });
        } else if (a == "format") {
            uint32_t f = 0;
            evdiemu::format_from_name(w[1], &f);
            each(2, [&](int dev) { set_format(dev, f); });
        } else if (a == "cursor") {
            const int x = std::stoi(w[1]), y = std::stoi(w[2]);
            each(3, [&](int dev) { move_cursor(dev, x, y); });
        } else if (a == "fault" && w[1] == "evdi") {
            evdiemu::Op op{};
            evdiemu::op_from_name(w[2], &op);
            fail_evdi(op, errno_from_name(w[3]), w.size() > 4 ? std::stoi(w[4]) : 1);
        } else if (a == "fault" && w[1] == "usb") {
            testbed::EmulatedDevice *d = device(std::stoi(w[2]));
            if (!d) return;
            if (w[3] == "bulk") {
                testbed::BulkFault f = w[4] == "error"     ? testbed::BulkFault::kError
                                       : w[4] == "timeout" ? testbed::BulkFault::kTimeout
                                       : w[4] == "stall"   ? testbed::BulkFault::kStall
                                       : w[4] == "partial" ? testbed::BulkFault::kPartial
                                                           : testbed::BulkFault::kNoDevice;
                d->fail_bulk(f, w.size() > 5 ? std::stoi(w[5]) : 1);
            } else {
                testbed::ControlFault f = w[5] == "stall"     ? testbed::ControlFault::kStall
                                          : w[5] == "timeout" ? testbed::ControlFault::kTimeout
                                          : w[5] == "short"   ? testbed::ControlFault::kShortReply
                                                              : testbed::ControlFault::kEmptyReply;
                d->fail_control(static_cast<uint8_t>(std::stoi(w[4], nullptr, 16)), f,
                                w.size() > 6 ? std::stoi(w[6]) : 1);
            }
        } else if (a == "freeze") {
            frozen_ = true;
        } else if (a == "unfreeze") {
            frozen_ = false;
        }
    }

    void reap(bool block) {
        std::lock_guard lock(reap_mu_);
        if (pid_ <= 0 || exited_) return;
        int st = 0;
        pid_t r = waitpid(pid_, &st, block ? 0 : WNOHANG);
        if (r == pid_) {
            status_ = st;
            exited_ = true;
        }
    }

    void stop_desktop() {
        stop_desk_ = true;
        if (desktop_.joinable()) desktop_.join();
    }

    void write_xrandr(const std::vector<int> &connected) {
        std::ostringstream s;
        s << "Screen 0: minimum 320 x 200, current " << mode_w_ << " x " << mode_h_
          << ", maximum 16384 x 16384\n";
        for (int i : connected) {
            s << "DVI-I-" << i + 1 << "-" << i + 1 << " connected " << mode_w_ << "x" << mode_h_
              << "+0+0 (normal left inverted right x axis y axis) 0mm x 0mm\n"
              << "   " << mode_w_ << "x" << mode_h_ << "     60.00*+\n";
        }
        write_file(tmp_ + "/xrandr-q.txt", s.str());
    }

    // Runs `fn` on device dev's output once the output's last commit has
    // completed; the desktop waits meanwhile, as one display server makes
    // its commits one at a time.
    int on_output(int dev, const std::function<int(int, Output &)> &fn) {
        const int out = output_of(dev);
        if (out < 0) return -ENODEV;
        std::lock_guard lock(mu_);
        if (static_cast<size_t>(out) >= outputs_.size()) return -ENODEV;
        wait_commit_done(out);
        return fn(out, outputs_[out]);
    }

    // Under mu_.
    void wait_commit_done(int out) {
        const auto end = Clock::now() + kCommitWaitLimit;
        evdiemu::CardState cs[evdiemu::kMaxOutputs];
        while (Clock::now() < end) {
            const int n = ctl_.cards(cs, evdiemu::kMaxOutputs);
            if (n <= out || !cs[out].commit_pending) return;
            std::this_thread::sleep_for(kCommitPoll);
        }
    }

    // The desktop's picture at a framebuffer of w x h.
    void render_content(Output &o, int w, int h) {
        o.fb_width = w;
        o.fb_height = h;
        if (o.custom) {
            o.content.assign(static_cast<size_t>(w) * h, 0);
        } else if (opts_.content == ContentKind::kPng) {
            scale_rgb(png_.rgb().data(), png_.width(), png_.height(), &o.content, w, h);
        } else if (xvfb_) {
            scale_xrgb(xvfb_->pixels(), xvfb_->width(), xvfb_->height(), &o.content, w, h);
        } else if (opts_.content == ContentKind::kMotion) {
            o.motion.reset(w, h);
            o.content.assign(o.motion.pixels(), o.motion.pixels() + static_cast<size_t>(w) * h);
        } else if (opts_.content == ContentKind::kWorkload) {
            o.workload = WorkloadScene(opts_.workload);
            o.workload.reset(w, h);
            o.content.assign(o.workload.pixels(), o.workload.pixels() + static_cast<size_t>(w) * h);
        } else {
            o.scene.reset(w, h);
            o.content.assign(o.scene.pixels(), o.scene.pixels() + static_cast<size_t>(w) * h);
        }
    }

    // A mode set carrying the new framebuffer's picture; the framebuffer
    // (and what it shows) is kept at the same size and format. Under mu_.
    int commit_mode(int out, Output &o, const evdiemu::ModeSet &m) {
        const bool same = fb_w_of(m) == o.fb_width && fb_h_of(m) == o.fb_height &&
                          m.format == o.mode.format && o.mode.width > 0;
        if (!same) render_content(o, fb_w_of(m), fb_h_of(m));
        // The test's own content starts out black: a fresh framebuffer is.
        const int r = ctl_.modeset(out, m, same || o.custom ? nullptr : o.content.data());
        if (r < 0) {
            std::fprintf(stderr, "torvel-sim: modeset of output %d to %dx%d: %s\n", out, m.width,
                         m.height, std::strerror(-r));
            return r;
        }
        o.mode = m;
        if (opts_.repaint_after_modeset) o.repaint = true;
        return 0;
    }

    // Under mu_.
    int move_pointer(int out, Output &o, int x, int y) {
        if (!o.cursor_shown) {
            const int r =
                ctl_.cursor_set(out, 0, 0, kCursorWidth, kCursorHeight, true, cursor_image());
            if (r < 0) return r;
            o.cursor_shown = true;
        }
        return ctl_.cursor_move(out, x, y);
    }

    // The mode sets answering a new connection: the EDID's preferred mode
    // first (as a display server lights a new output up), then the one the
    // desktop is configured for.
    std::deque<evdiemu::ModeSet> connect_mode_sets(const uint8_t *edid, int edid_length) {
        std::deque<evdiemu::ModeSet> sets;
        evdiemu::ModeSet m;
        m.format = opts_.format;
        int pw = 0, ph = 0;
        if (edid_length >= 128) edid_preferred_mode(edid, &pw, &ph);
        if (opts_.edid_mode_first && pw > 0 && ph > 0 && (pw != mode_w_ || ph != mode_h_)) {
            m.width = pw;
            m.height = ph;
            sets.push_back(m);
        }
        m.width = mode_w_;
        m.height = mode_h_;
        sets.push_back(m);
        return sets;
    }

    // One page flip with `rects` of the output's picture. Under mu_.
    void send_rects(int i, const Output &o, const evdiemu::Rect *rects, int n) {
        size_t pixels = 0;
        for (int k = 0; k < n; ++k)
            pixels += static_cast<size_t>(rects[k].x2 - rects[k].x1) * (rects[k].y2 - rects[k].y1);
        staging_.resize(pixels);
        size_t at = 0;
        for (int k = 0; k < n; ++k) {
            const evdiemu::Rect &r = rects[k];
            for (int y = r.y1; y < r.y2; ++y) {
                const uint32_t *row = o.content.data() + static_cast<size_t>(y) * o.fb_width;
                std::copy(row + r.x1, row + r.x2, staging_.begin() + static_cast<ptrdiff_t>(at));
                at += static_cast<size_t>(r.x2 - r.x1);
            }
        }
        ctl_.paint_rects(i, rects, n, staging_.data());
    }

    bool xrefresh_ran() {
        struct stat st {};
        const off_t size =
            stat((tmp_ + "/xrefresh.log").c_str(), &st) == 0 ? st.st_size : static_cast<off_t>(0);
        const bool grew = size > xrefresh_size_;
        xrefresh_size_ = size;
        return grew;
    }

    void desktop_loop() {
        std::vector<int> listed;
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / opts_.paint_hz));
        auto next = Clock::now();
        while (!stop_desk_) {
            // Commits at the desktop's rate; one that is late starts the
            // count afresh rather than catching up in a burst.
            next += period;
            if (next < Clock::now()) next = Clock::now();
            std::this_thread::sleep_until(next);
            if (!ctl_.is_connected()) {
                reap(false);
                if (exited_ || ctl_.accept(0) != 0) continue;
                if (opts_.leniency) ctl_.set_leniency(opts_.leniency);
            }
            evdiemu::CardState cs[evdiemu::kMaxOutputs];
            int n = ctl_.cards(cs, evdiemu::kMaxOutputs);
            if (n < 0) continue;
            {
                std::lock_guard lock(mu_);
                last_cards_.assign(cs, cs + n);
            }
            std::vector<int> connected;
            const double t = std::chrono::duration<double>(Clock::now() - t0_).count();
            evdiemu::Rect xrects[32];
            int xn = xvfb_ && !frozen_ ? xvfb_->capture(xrects, 32) : 0;
            std::unique_lock lock(mu_);
            const bool refresh = xrefresh_ran();
            if (outputs_.size() < static_cast<size_t>(n)) outputs_.resize(n);
            for (int i = 0; i < n; ++i) {
                Output &o = outputs_[i];
                const evdiemu::CardState &s = cs[i];
                if (!s.connected) {
                    o.mode_sets.clear();
                    o.mode = evdiemu::ModeSet{};
                    o.fb_width = o.fb_height = 0;
                    o.cursor_shown = false;
                    continue;
                }
                connected.push_back(i);
                if (refresh) o.repaint = true;
                if (!opts_.desktop) continue;
                if (o.answered_connect != s.connects) {
                    o.answered_connect = s.connects;
                    uint8_t edid[256];
                    const int len = ctl_.edid(i, edid, sizeof(edid));
                    if (len >= 128) {
                        uint32_t serial;
                        std::memcpy(&serial, &edid[12], 4);
                        if (serial >= kEdidSerialBase && serial < kEdidSerialBase + 16)
                            o.device = static_cast<int>(serial - kEdidSerialBase);
                    }
                    o.mode_sets = connect_mode_sets(edid, len);
                    o.mode = evdiemu::ModeSet{};
                    o.fb_width = o.fb_height = 0;
                    o.cursor_shown = o.cursor_scripted = false;
                }
                // The desktop's next commit on this output waits for its last.
                if (s.commit_pending && s.commit_held_ms < kCommitWaitLimit.count()) continue;
                // The pointer first: a cursor update completes at once.
                if (opts_.cursor && !frozen_ && !o.custom && !o.cursor_scripted &&
                    o.mode.width > 0 && s.width > 0) {
                    int cx, cy;
                    if (opts_.content != ContentKind::kWorkload) {
                        cursor_path(t, s.width, s.height, &cx, &cy);
                    } else if (!o.workload.pointer(t, &cx, &cy)) {
                        // At rest beside the text.
                        cx = s.width * 3 / 4;
                        cy = s.height / 2;
                    }
                    if (!o.cursor_shown || cx != s.cursor_x || cy != s.cursor_y)
                        move_pointer(i, o, cx, cy);
                }
                if (!o.mode_sets.empty()) {
                    const evdiemu::ModeSet m = o.mode_sets.front();
                    o.mode_sets.pop_front();
                    commit_mode(i, o, m);
                    continue;
                }
                if (s.width == 0 || o.mode.width == 0) continue;
                if (o.repaint) {
                    o.repaint = false;
                    const evdiemu::Rect all{0, 0, o.fb_width, o.fb_height};
                    send_rects(i, o, &all, 1);
                    continue;
                }
                if (o.custom || frozen_ || opts_.content == ContentKind::kPng) continue;
                if (xvfb_) {
                    if (xn == 0) continue;
                    if (o.fb_width == xvfb_->width() && o.fb_height == xvfb_->height()) {
                        for (int m = 0; m < xn; ++m)
                            for (int y = xrects[m].y1; y < xrects[m].y2; ++y)
                                std::copy(
                                    xvfb_->pixels() + static_cast<size_t>(y) * o.fb_width +
                                        xrects[m].x1,
                                    xvfb_->pixels() + static_cast<size_t>(y) * o.fb_width +
                                        xrects[m].x2,
                                    &o.content[static_cast<size_t>(y) * o.fb_width + xrects[m].x1]);
                        send_rects(i, o, xrects, xn);
                    } else {
                        scale_xrgb(xvfb_->pixels(), xvfb_->width(), xvfb_->height(), &o.content,
                                   o.fb_width, o.fb_height);
                        const evdiemu::Rect all{0, 0, o.fb_width, o.fb_height};
                        send_rects(i, o, &all, 1);
                    }
                    continue;
                }
                evdiemu::Rect rects[9];
                const bool work = opts_.content == ContentKind::kWorkload;
                const bool motion = opts_.content == ContentKind::kMotion;
                int k = work     ? o.workload.step(t, rects, 8)
                        : motion ? o.motion.step(t, rects, 8)
                                 : o.scene.step(t, rects, 8);
                const uint32_t *pixels = work     ? o.workload.pixels()
                                         : motion ? o.motion.pixels()
                                                  : o.scene.pixels();
                for (int m = 0; m < k; ++m)
                    for (int y = rects[m].y1; y < rects[m].y2; ++y)
                        std::copy(pixels + static_cast<size_t>(y) * o.fb_width + rects[m].x1,
                                  pixels + static_cast<size_t>(y) * o.fb_width + rects[m].x2,
                                  &o.content[static_cast<size_t>(y) * o.fb_width + rects[m].x1]);
                if (k == 0) continue;
                // Measured: the paint carries the next frame tag, so that its
                // decode can be timed.
                const bool tagged =
                    opts_.measure_seconds > 0 && o.device >= 0 && o.device < testbed::kMaxDevices;
                if (tagged) {
                    const evdiemu::Rect r = paint_tag(o.content, o.fb_width, o.fb_height, ++o.tag);
                    if (r.x2 > r.x1) rects[k++] = r;
                    const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                                           Clock::now().time_since_epoch())
                                           .count();
                    std::lock_guard tag_lock(tag_mu_);
                    tag_clocks_[static_cast<size_t>(o.device)].painted(o.tag, us);
                }
                send_rects(i, o, rects, k);
            }
            if (connected != listed) {
                listed = connected;
                write_xrandr(connected);
            }
        }
    }

    Options opts_;
    std::string tmp_, log_path_;
    std::unique_ptr<testbed::UsbTestbed> tb_;
    std::vector<DeviceSpec> specs_;
    evdiemu::RemoteControl ctl_;
    testbed::FrameBuffer png_;
    std::unique_ptr<XvfbSource> xvfb_;
    pid_t pid_ = -1;
    std::mutex reap_mu_;
    std::atomic<bool> exited_{false};
    int status_ = 0;
    Clock::time_point t0_ = Clock::now();
    // Frame tags painted and shown, by device (the desktop thread and the
    // devices' decoding threads: a plain mutex).
    std::mutex tag_mu_;
    std::array<TagClock, testbed::kMaxDevices> tag_clocks_;
    std::thread desktop_;
    std::atomic<bool> stop_desk_{false};
    std::atomic<bool> frozen_{false};
    // Outputs, the mode for new outputs and the device list: written by the
    // desktop thread and the caller's thread, so behind one mutex.
    std::mutex mu_;
    std::vector<Output> outputs_;
    std::vector<evdiemu::CardState> last_cards_;
    int mode_w_ = 0, mode_h_ = 0;
    std::vector<uint32_t> staging_;  // under mu_
    off_t xrefresh_size_ = 0;        // desktop thread only
};

}  // namespace

std::unique_ptr<Sim> Sim::create(const Options &options, std::string *error) {
    auto sim = std::make_unique<SimImpl>(options);
    if (!sim->init(error)) return nullptr;
    return sim;
}

}  // namespace torvel::sim
