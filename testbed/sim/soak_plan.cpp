#include "soak_plan.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <sstream>

#include "evdi_emu.h"

namespace torvel::soak {

namespace {

// The daemon's start-up timer fires at 3 s; set-up then identifies every
// device and starts one position a second. Its outcome for a device that
// leaves meanwhile depends on timing, so the plan calls that window unsure.
constexpr double kSetupStart = 2.5;
// Set-up is over by then, also with sanitizers and control requests timing
// out.
constexpr double kMainStart = 12.0;
// The quiet tail: faults cleared, content moving, then still.
constexpr double kTail = 5.0;
constexpr double kTailStill = 2.5;  // still for the tail's last 2.5 s
// How long the daemon may take to end once its rules say it ends (a
// departure's tear-down can wait for control requests to time out).
constexpr double kEndWindow = 10.0;

struct Mode {
    int width, height;
};
// Common, odd and tiny modes; the last one capture refuses.
constexpr Mode kModes[] = {{640, 360}, {800, 600}, {1024, 768}, {1366, 768}, {1280, 720},
                           {320, 200}, {33, 9},    {1, 1},      {31, 8},     {32, 8},
                           {7, 3},     {4096, 16}, {16, 1024},  {100, 1000}, {1920, 1080}};
constexpr Mode kRefused = {4096, 4104};
// Modes a panning episode starts from: the module and capture take them.
constexpr Mode kPanModes[] = {{640, 360}, {800, 600}, {1024, 768}, {1280, 720}};
constexpr const char *kFormats[] = {"XR24", "AR24", "XB24", "AB24"};

// evdi_modeset_init's mode configuration (64 x 64 to 7680 x 4320), which
// every framebuffer must fit: the module refuses a mode set outside it.
bool module_accepts(const Mode &m) {
    return m.width >= 64 && m.height >= 64 && m.width <= 7680 && m.height <= 4320;
}

std::string size_text(const Mode &m) {
    return std::to_string(m.width) + "x" + std::to_string(m.height);
}

constexpr uint8_t kRequests[] = {0x40, 0x41, 0x49, 0x50, 0x52, 0x53, 0x81, 0x83, 0x8F};
constexpr const char *kControlFaults[] = {"stall", "timeout", "short", "empty"};
constexpr const char *kBulkFaults[] = {"error", "timeout", "stall", "nodevice", "partial"};
constexpr const char *kErrnos[] = {"EIO", "EINVAL", "ENOMEM", "EBUSY", "EAGAIN", "ENODEV"};

bool is_resolution_request(uint8_t request) {
    return request == 0x81 || request == 0x40;  // SetResolution and its status waits
}

struct Device {
    sim::DeviceSpec emulated;
    bool at_start = false;  // given by --device: served when all goes well
    bool plugged = true;
    bool ever_unplugged = false;
    bool display_on = true;
    // When the display last went off for good (-1: it did not), and the
    // latest scripted event that may bring it on again: the display is
    // surely off at the end only when that went off after every such event.
    double off_at = -1;
    double last_on = 0;
    // A panning episode runs until then: nothing else sets its mode.
    double panning_until = 0;
    bool served = true;  // the daemon can claim its interface
    Mode mode{};
    // What the device shows is not sure to follow its screen: a
    // SetResolution of it may have failed (capture off until the desktop's
    // next mode change, or the display left off), or a probe at its start
    // (feature class, orientation, mirror state) may have failed.
    bool picture_unsure = false;
};

class Generator {
  public:
    explicit Generator(uint64_t seed) : rng_(seed) { plan_.seed = seed; }
    Plan run();

  private:
    double uniform(double a, double b) { return std::uniform_real_distribution<>(a, b)(rng_); }
    int pick(int n) { return std::uniform_int_distribution<>(0, n - 1)(rng_); }
    bool chance(double p) { return uniform(0, 1) < p; }
    template <typename T, size_t N>
    const T &one_of(const T (&items)[N]) {
        return items[pick(static_cast<int>(N))];
    }
    void at(double t, const std::string &line) { events_.push_back({t, line}); }
    std::string dev(int i) const { return std::to_string(i); }

    sim::DeviceSpec random_device();
    void identity_file();
    void episode(double t, bool before_main);
    int random_present_device();
    void arrival(double t, const std::string &what);
    void expect_end(double at, End kind, const std::string &reason);
    void settle(double t);
    void tail(double t);
    void switches();

    // Episode kinds: one table entry each (name, weight before the main
    // phase, weight in it, action).
    struct Kind {
        const char *name;
        int early_weight, main_weight;
        void (Generator::*act)(double t);
    };
    void dpms_quick(double t);
    void dpms_long(double t);
    void mode_change(double t);
    void turn(double t);
    void mirror(double t);
    void control_fault(double t);
    void bulk_fault(double t);
    void evdi_fault(double t);
    void still(double t);
    void unplug(double t);
    void add(double t);
    void fail_forever(double t);
    void pan(double t);
    void output_off_on(double t);
    void format(double t);
    void cursor(double t);
    static const Kind kKinds[];

    // Switches of torvel-sim that make the world harder: one table entry
    // each (name, chance of being drawn, action adding it to the plan).
    struct Switch {
        const char *name;
        double chance;
        void (Generator::*apply)();
    };
    void usbfs_memory();
    void no_sg();
    void link_rate();
    void interface_busy();
    void kernel_driver();
    void motion();
    void holder_delay();
    static const Switch kSwitches[];

    bool panning(int d, double t) const { return t < devices_[d].panning_until; }
    bool any_panning(double t) const {
        for (size_t i = 0; i < devices_.size(); ++i)
            if (panning(static_cast<int>(i), t)) return true;
        return false;
    }
    // A scripted event at `t` brings the device's display on.
    static void turned_on(Device &d, double t) {
        d.display_on = true;
        d.off_at = -1;
        d.last_on = std::max(d.last_on, t);
    }
    static void turned_off(Device &d, double t) {
        d.display_on = false;
        d.off_at = t;
    }

    std::mt19937_64 rng_;
    Plan plan_;
    std::vector<std::pair<double, std::string>> events_;
    std::vector<Device> devices_;
    int slots_taken_ = 0;        // slots of the daemon's four filled
    bool slots_unsure_ = false;  // a departure during set-up: its slot may stay taken
    // When the daemon is first expected to end, and from when no episode
    // starts (its end, or the start of what leads to it).
    double end_at_ = std::numeric_limits<double>::infinity();
    double quiet_from_ = std::numeric_limits<double>::infinity();
    double tail_at_ = 0;
    // The main phase starts once every screen streams (later when the
    // display server is slow to open new cards).
    double main_start_ = kMainStart;
    std::set<std::pair<int, uint8_t>> control_faults_;  // (device, request) to clear
    std::set<int> bulk_faults_;
    std::set<int> evdi_faults_;  // ops
    // Content is still until then (a freeze episode): turns and mirror
    // changes need moving content to reach the device.
    double still_until_ = 0;
    double last_turn_ = 0;
};

const Generator::Kind Generator::kKinds[] = {
    {"dpms quick", 1, 6, &Generator::dpms_quick},
    {"dpms long", 1, 4, &Generator::dpms_long},
    {"mode", 1, 6, &Generator::mode_change},
    {"turn", 0, 4, &Generator::turn},
    {"mirror", 0, 3, &Generator::mirror},
    {"control fault", 6, 6, &Generator::control_fault},
    {"bulk fault", 0, 6, &Generator::bulk_fault},
    {"evdi fault", 2, 3, &Generator::evdi_fault},
    {"still", 0, 3, &Generator::still},
    {"unplug", 3, 3, &Generator::unplug},
    {"add", 1, 1, &Generator::add},
    {"fail forever", 0, 1, &Generator::fail_forever},
    {"pan", 0, 3, &Generator::pan},
    {"output off", 1, 3, &Generator::output_off_on},
    {"format", 1, 3, &Generator::format},
    {"cursor", 1, 3, &Generator::cursor},
};

const Generator::Switch Generator::kSwitches[] = {
    {"usbfs memory", 0.3, &Generator::usbfs_memory},
    {"no scatter-gather", 0.25, &Generator::no_sg},
    {"link rate", 0.3, &Generator::link_rate},
    {"interface busy", 0.1, &Generator::interface_busy},
    {"kernel driver", 0.15, &Generator::kernel_driver},
    {"motion", 0.2, &Generator::motion},
    {"holder delay", 0.25, &Generator::holder_delay},
};

sim::DeviceSpec Generator::random_device() {
    sim::DeviceSpec d;
    d.model = pick(6);
    const int id = pick(10);
    if (id < 4) {
        d.id = static_cast<uint32_t>(rng_());
    } else if (id < 5) {
        d.id = 0x201;  // one a file or another device may hold too
    } else if (id < 6 && !devices_.empty() && devices_[0].emulated.id) {
        d.id = devices_[0].emulated.id;  // the same identity twice
    }
    const int feature = pick(10);
    d.feature = feature < 6 ? 0 : static_cast<uint8_t>(std::min(feature - 5, 4));
    if (d.feature == 3) d.feature = 4;
    d.orientation = chance(0.2) ? 2 : 0;
    d.mirror = chance(0.2) ? 1 : 0;
    return d;
}

void Generator::identity_file() {
    const int kind = pick(10);
    if (kind < 4) return;
    std::ostringstream f;
    char line[32];
    if (kind < 8) {
        // As the daemon writes it: known identities of these devices and of
        // others, line k at position k.
        std::vector<uint32_t> ids;
        for (const Device &d : devices_)
            if (d.emulated.id && chance(0.6)) ids.push_back(*d.emulated.id);
        while (ids.size() < 4 && chance(0.4)) ids.push_back(static_cast<uint32_t>(rng_()));
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        std::shuffle(ids.begin(), ids.end(), rng_);
        for (size_t k = 0; k < ids.size() && k < 4; ++k) {
            std::snprintf(line, sizeof line, "%08x:%zu\n", ids[k], k);
            f << line;
        }
    } else {
        // Damaged or written by hand.
        const char *odd[] = {"garbage\n",
                             "0000A11A\n0000b22b:1\n",
                             "1:0\n2:1\n3:2\n4:3\n5:0\n",
                             "ffffffff:0\n00000201:1\n",
                             "00000201:3\n",
                             "0000a11a:0\n0000a11a:1\n",
                             ""};
        f << one_of(odd);
    }
    plan_.id_file = f.str();
}

void Generator::switches() {
    for (const Switch &s : kSwitches)
        if (chance(s.chance)) (this->*s.apply)();
}

// Less usbfs memory than usbcore's 16 MiB, as usbfs_memory_mb can set.
void Generator::usbfs_memory() {
    const char *mb[] = {"8", "4", "2"};
    plan_.switches.insert(plan_.switches.end(), {"--usbfs-memory-mb", one_of(mb)});
}

void Generator::no_sg() {
    plan_.switches.push_back("--no-sg");
}

// USB 2.0 high speed carries up to about 40 MB/s of bulk data.
void Generator::link_rate() {
    const char *mbps[] = {"35", "20", "10"};
    plan_.switches.insert(plan_.switches.end(), {"--link-mbps", one_of(mbps)});
}

// Another program holds one device's interface: the daemon leaves it alone.
void Generator::interface_busy() {
    const int d = pick(static_cast<int>(devices_.size()));
    plan_.switches.insert(plan_.switches.end(), {"--interface-busy", dev(d)});
    devices_[d].served = false;
}

// A kernel driver is bound to one device: the daemon detaches it.
void Generator::kernel_driver() {
    plan_.switches.insert(plan_.switches.end(),
                          {"--kernel-driver", dev(pick(static_cast<int>(devices_.size())))});
}

void Generator::motion() {
    plan_.switches.insert(plan_.switches.end(), {"--content", "motion"});
}

// The display server opens a new card late or never (libevdi's
// wait_for_master then gives up after 5 s); the daemon opens its screens one
// after another, so each waits in turn.
void Generator::holder_delay() {
    const char *delays[] = {"0", "0.5", "3", "none"};
    const std::string delay = one_of(delays);
    plan_.switches.insert(plan_.switches.end(), {"--holder-delay", delay});
    const double wait = delay == "none" ? 5 : std::stod(delay);
    main_start_ += static_cast<double>(devices_.size()) * std::max(0.0, wait - 0.5);
}

int Generator::random_present_device() {
    std::vector<int> present;
    for (size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i].plugged && devices_[i].at_start && devices_[i].served)
            present.push_back(static_cast<int>(i));
    return present.empty() ? -1 : present[pick(static_cast<int>(present.size()))];
}

void Generator::dpms_quick(double t) {
    const int d = random_present_device();
    if (d < 0) return;
    at(t, "dpms off " + dev(d));
    const double back = t + uniform(0.05, 0.6);
    at(back, "dpms on " + dev(d));
    devices_[d].last_on = std::max(devices_[d].last_on, back);
}

void Generator::dpms_long(double t) {
    const int d = random_present_device();
    if (d < 0) return;
    const char *off[] = {"off", "standby", "suspend"};
    at(t, std::string("dpms ") + one_of(off) + " " + dev(d));
    const double back = t + uniform(1.3, 3.5);
    if (back < tail_at_ && chance(0.85)) {
        at(back, "dpms on " + dev(d));
        devices_[d].last_on = std::max(devices_[d].last_on, back);
    } else {
        turned_off(devices_[d], t);  // still off at the end
    }
}

void Generator::mode_change(double t) {
    const Mode m = chance(0.05) ? kRefused : one_of(kModes);
    const std::string mode = size_text(m);
    // A mode set brings the display back on (the module sends DPMS on); one
    // the module refuses changes nothing.
    if (chance(0.3) && !any_panning(t)) {
        at(t, "mode " + mode);
        for (Device &d : devices_) {
            if (!module_accepts(m)) continue;
            d.mode = m;
            turned_on(d, t);
        }
        return;
    }
    const int d = random_present_device();
    if (d < 0 || panning(d, t)) return;
    at(t, "mode " + mode + " " + dev(d));
    if (!module_accepts(m)) return;
    devices_[d].mode = m;
    turned_on(devices_[d], t);
}

// A framebuffer larger than the mode (panning), then one of the mode's size
// again. Grabs fail meanwhile and the device keeps its last picture; the
// episode starts from a mode it knows and ends before the quiet tail.
void Generator::pan(double t) {
    const int d = random_present_device();
    const double end = t + uniform(0.5, 3.0);
    if (d < 0 || panning(d, t) || end >= tail_at_ - 0.3) return;
    const Mode m = one_of(kPanModes);
    Mode fb{m.width + pick(m.width + 1), m.height + pick(m.height + 1)};
    if (fb.width == m.width && fb.height == m.height) fb.width += 32;
    at(t, "mode " + size_text(m) + " " + dev(d));
    at(t + 0.2, "pan " + size_text(fb) + " " + dev(d));
    at(end, "pan " + size_text(m) + " " + dev(d));
    devices_[d].mode = m;
    devices_[d].panning_until = end;
    turned_on(devices_[d], end);  // both are mode sets
}

// The output switched off (CRTC and plane) and, mostly, on again by a mode
// set at its mode; DPMS on does not bring it back meanwhile.
void Generator::output_off_on(double t) {
    const int d = random_present_device();
    if (d < 0) return;
    at(t, "output off " + dev(d));
    const double back = t + uniform(0.3, 4.0);
    if (back < tail_at_ && chance(0.8)) {
        at(back, "output on " + dev(d));
        turned_on(devices_[d], back);
    } else {
        turned_off(devices_[d], t);
    }
}

// The same picture in another pixel format: mode_changed at the same size.
void Generator::format(double t) {
    const std::string f = one_of(kFormats);
    if (chance(0.3)) {
        at(t, "format " + f);
        return;
    }
    const int d = random_present_device();
    if (d >= 0) at(t, "format " + f + " " + dev(d));
}

// The pointer moved by the script (the scene no longer moves it there), now
// and then off the screen's edge; the grabs blend it in.
void Generator::cursor(double t) {
    const int d = chance(0.3) ? -1 : random_present_device();
    const Mode m = d < 0 ? Mode{plan_.width, plan_.height} : devices_[d].mode;
    const std::string target = d < 0 ? "" : " " + dev(d);
    for (int k = pick(3); k >= 0; --k, t += uniform(0.05, 0.5))
        at(t, "cursor " + std::to_string(pick(m.width + 64) - 32) + " " +
                  std::to_string(pick(m.height + 64) - 32) + target);
}

void Generator::turn(double t) {
    const int d = random_present_device();
    if (d < 0 || t < still_until_ + 0.1) return;
    at(t, "rotate " + dev(d) + " " + std::to_string(pick(4)));
    last_turn_ = std::max(last_turn_, t);
}

void Generator::mirror(double t) {
    const int d = random_present_device();
    if (d < 0 || t < still_until_ + 0.1) return;
    at(t, "mirror " + dev(d) + " " + std::to_string(pick(2)));
    last_turn_ = std::max(last_turn_, t);
}

void Generator::control_fault(double t) {
    const int d = random_present_device();
    if (d < 0) return;
    const uint8_t request = one_of(kRequests);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", request);
    at(t, "fault usb " + dev(d) + " control " + hex + " " + one_of(kControlFaults) + " " +
              std::to_string(1 + pick(2)));
    control_faults_.insert({d, request});
    if (is_resolution_request(request)) devices_[d].picture_unsure = true;
    if (t < kMainStart) {
        // The render thread's probes: without the EDID the screen is not
        // told apart from the others.
        if (request == 0x52 || request == 0x49 || request == 0x53)
            devices_[d].picture_unsure = true;
        if (request == 0x41) plan_.screen_may_be_missing = true;
    }
}

void Generator::bulk_fault(double t) {
    const int d = random_present_device();
    if (d < 0) return;
    // At most two in a row: the daemon's error count stays at its limit.
    at(t,
       "fault usb " + dev(d) + " bulk " + one_of(kBulkFaults) + " " + std::to_string(1 + pick(2)));
    bulk_faults_.insert(d);
}

void Generator::evdi_fault(double t) {
    const int op = pick(static_cast<int>(evdiemu::Op::Count));
    at(t, std::string("fault evdi ") + evdiemu::op_name(static_cast<evdiemu::Op>(op)) + " " +
              one_of(kErrnos) + " " + std::to_string(1 + pick(3)));
    evdi_faults_.insert(op);
    const auto o = static_cast<evdiemu::Op>(op);
    if (o != evdiemu::Op::RequestUpdate && o != evdiemu::Op::Grab)
        plan_.screen_may_be_missing = true;
}

void Generator::still(double t) {
    if (t < last_turn_ + 2) return;
    const double until = t + uniform(0.3, 2.0);
    if (until >= tail_at_) return;
    at(t, "freeze");
    at(until, "unfreeze");
    still_until_ = std::max(still_until_, until);
}

void Generator::unplug(double t) {
    const int d = random_present_device();
    if (d < 0 || panning(d, t)) return;
    // Mostly keep the last device served: a run without one judges no
    // picture.
    int present = 0;
    for (const Device &e : devices_) present += e.plugged && e.at_start && e.served;
    if (present == 1 && chance(0.75)) return;
    at(t, "unplug " + dev(d));
    devices_[d].plugged = false;
    devices_[d].ever_unplugged = true;
    if (t >= kSetupStart && t < kMainStart) slots_unsure_ = true;
    // After set-up the device held a registry entry, so its slot is freed;
    // before, it stays taken.
    if (t >= kMainStart) --slots_taken_;
    if (chance(0.3)) arrival(t + uniform(0.4, 3.0), "plug " + dev(d));
}

void Generator::add(double t) {
    sim::DeviceSpec d = random_device();
    std::string text = d.model == 4 ? "rotating" : std::to_string(d.model);
    if (d.id) {
        char hex[16];
        std::snprintf(hex, sizeof hex, ":id=0x%x", *d.id);
        text += hex;
    }
    Device added;
    added.emulated = d;
    devices_.push_back(added);
    arrival(t, "add " + text);
}

// A device arrives: with a free slot the daemon ends at once (the next start
// serves it); without one it goes on.
void Generator::arrival(double t, const std::string &what) {
    // The tail stays quiet, and the run lasts until the end it expects.
    if (t >= quiet_from_ || t >= tail_at_) return;
    at(t, what);
    if (slots_unsure_) {
        expect_end(t, End::kMay, "an arrival after a departure during set-up");
    } else if (slots_taken_ < 4) {
        expect_end(t, End::kMust, "arrival (" + what + ") with a free slot");
    }
}

// The earliest reason to end decides; no episode starts after it.
void Generator::expect_end(double at, End kind, const std::string &reason) {
    quiet_from_ = std::min(quiet_from_, at);
    if (at >= end_at_) return;
    end_at_ = at;
    plan_.end = kind;
    plan_.end_after = at;
    plan_.end_by = at + kEndWindow;
    plan_.end_reason = reason;
}

void Generator::fail_forever(double t) {
    const double when = t + 1.5;
    if (t < main_start_ || when >= end_at_ || plan_.screen_may_be_missing || any_panning(when))
        return;
    // A device that surely streams: present from the start and on, with a
    // supported mode; faults cleared and content moving first.
    std::vector<int> candidates;
    for (size_t i = 0; i < devices_.size(); ++i) {
        const Device &d = devices_[i];
        if (d.at_start && d.served && !d.ever_unplugged) candidates.push_back(static_cast<int>(i));
    }
    if (candidates.empty()) return;
    const int d = candidates[pick(static_cast<int>(candidates.size()))];
    settle(t);
    at(t, "dpms on " + dev(d));
    at(t + 0.05, "mode 640x360 " + dev(d));
    at(when, "fault usb " + dev(d) + " bulk error -1");
    quiet_from_ = std::min(quiet_from_, t);
    expect_end(when, End::kMust, "device " + dev(d) + " failing every transfer");
}

// Clears every fault the plan set and lets the content move again.
void Generator::settle(double t) {
    char hex[8];
    for (const auto &[d, request] : control_faults_) {
        std::snprintf(hex, sizeof hex, "%02x", request);
        at(t, "fault usb " + dev(d) + " control " + hex + " stall 0");
    }
    for (int d : bulk_faults_) at(t, "fault usb " + dev(d) + " bulk error 0");
    for (int op : evdi_faults_)
        at(t,
           std::string("fault evdi ") + evdiemu::op_name(static_cast<evdiemu::Op>(op)) + " EIO 0");
    at(t, "unfreeze");
}

void Generator::episode(double t, bool before_main) {
    int total = 0;
    for (const Kind &k : kKinds) total += before_main ? k.early_weight : k.main_weight;
    int r = pick(total);
    for (const Kind &k : kKinds) {
        r -= before_main ? k.early_weight : k.main_weight;
        if (r < 0) {
            at(t, std::string("# ") + k.name);  // for whoever reads a failing script
            (this->*k.act)(t);
            return;
        }
    }
}

Plan Generator::run() {
    const int n = 1 + pick(4);
    for (int i = 0; i < n; ++i) {
        Device d;
        d.emulated = random_device();
        d.at_start = true;
        devices_.push_back(d);
    }
    slots_taken_ = n;
    identity_file();
    switches();
    const Mode start = chance(0.7) ? Mode{640, 360} : one_of(kModes);
    plan_.width = start.width;
    plan_.height = start.height;
    for (Device &d : devices_) d.mode = start;
    const double main_length = uniform(4, 9);
    tail_at_ = main_start_ + main_length;

    // Before and during set-up: a few episodes, mostly faults of the
    // requests set-up makes.
    // Episodes go in time order so that the model follows the script.
    std::vector<double> early;
    for (int i = pick(3); i > 0; --i) early.push_back(uniform(0.3, main_start_ - 1));
    std::sort(early.begin(), early.end());
    for (double t : early)
        if (t < quiet_from_) episode(t, true);
    // Then episodes that overlap.
    std::vector<double> starts;
    for (int i = 2 + pick(6); i > 0; --i) starts.push_back(uniform(main_start_, tail_at_ - 0.5));
    std::sort(starts.begin(), starts.end());
    for (double t : starts)
        if (t < quiet_from_) episode(t, false);

    if (end_at_ < tail_at_) {
        plan_.seconds = std::max(end_at_, plan_.end_by) + 2;
    } else {
        tail(tail_at_);
        plan_.seconds = tail_at_ + kTail;
    }
    // An end expected late in the run still gets its whole window.
    if (plan_.end != End::kSigint) plan_.seconds = std::max(plan_.seconds, plan_.end_by + 2);
    for (const Device &d : devices_) {
        if (d.at_start) plan_.devices.push_back(d.emulated);
        const bool judged = plan_.end == End::kSigint && d.at_start && d.served &&
                            !d.ever_unplugged && !d.picture_unsure &&
                            mode_supported(d.mode.width, d.mode.height);
        plan_.shows_screen.push_back(judged && d.display_on);
        // The countdown has switched the display off well before the end.
        plan_.display_off_at_end.push_back(judged && !plan_.screen_may_be_missing &&
                                           !d.display_on && d.off_at > d.last_on &&
                                           d.off_at >= main_start_ && d.off_at < plan_.seconds - 3);
    }
    // Events past the daemon's end do nothing; drop them for a shorter
    // script.
    std::stable_sort(events_.begin(), events_.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[t, line] : events_) {
        if (t > plan_.seconds) continue;
        char time[16];
        std::snprintf(time, sizeof time, "%.2f", t);
        if (line[0] == '#')
            plan_.script.push_back("# " + std::string(time) + line.substr(1));
        else
            plan_.script.push_back(std::string(time) + " " + line);
    }
    return plan_;
}

void Generator::tail(double t) {
    settle(t);
    at(t + kTail - kTailStill, "freeze");
}

}  // namespace

bool mode_supported(int width, int height) {
    const long blocks = static_cast<long>((width + 31) / 32) * ((height + 7) / 8);
    return width > 0 && height > 0 && blocks <= 65536;
}

Plan make_plan(uint64_t seed) {
    return Generator(seed).run();
}

std::string script_text(const Plan &plan) {
    std::ostringstream s;
    s << "# torvel soak, seed " << plan.seed << "\n";
    switch (plan.end) {
        case End::kSigint:
            s << "# expected: runs until interrupted\n";
            break;
        case End::kMust:
            s << "# expected: ends by itself between " << plan.end_after << " s and " << plan.end_by
              << " s (" << plan.end_reason << ")\n";
            break;
        case End::kMay:
            s << "# expected: may end by itself (" << plan.end_reason << ")\n";
            break;
    }
    for (const std::string &line : plan.script) s << line << "\n";
    return s.str();
}

std::vector<std::string> sim_options(const Plan &plan, const std::string &dir) {
    std::vector<std::string> o;
    for (const sim::DeviceSpec &d : plan.devices) {
        std::string text = d.model == 4 ? "rotating" : std::to_string(d.model);
        char buf[64];
        if (d.id) {
            std::snprintf(buf, sizeof buf, ":id=0x%x", *d.id);
            text += buf;
        }
        std::snprintf(buf, sizeof buf, ":feature=%d:orient=%d:mirror=%d", d.feature, d.orientation,
                      d.mirror);
        text += buf;
        o.push_back("--device");
        o.push_back(text);
    }
    o.push_back("--mode");
    o.push_back(std::to_string(plan.width) + "x" + std::to_string(plan.height));
    o.push_back("--script");
    o.push_back(dir + "/script.txt");
    o.push_back("--seconds");
    char secs[16];
    std::snprintf(secs, sizeof secs, "%.2f", plan.seconds);
    o.push_back(secs);
    if (plan.id_file) {
        o.push_back("--id-file");
        o.push_back(dir + "/ids.txt");
    }
    o.push_back("--out");
    o.push_back(dir);
    o.insert(o.end(), plan.switches.begin(), plan.switches.end());
    return o;
}

}  // namespace torvel::soak
