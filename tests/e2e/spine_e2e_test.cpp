// torvel-displayd as a whole program under torvel-sim: its messages, how it
// ends and with which status, hot-plug, departures while it streams, and the
// positions it remembers across restarts.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_run.h"
#include "device_ids.h"
#include "sim.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using torvel::sim::DeviceSpec;
using torvel::sim::Options;
using torvel::sim::Sim;
namespace tb = torvel::testbed;

// Log patterns: '#' stands for one or more lower-case hex digits, '%' for one
// decimal digit, '~' for one or more characters other than a line end.
bool match_here(const std::string &s, size_t i, const char *p, size_t *end) {
    for (; *p; ++p) {
        if (*p == '#' || *p == '~') {
            const bool hex = *p == '#';
            auto ok = [&](char c) {
                return hex ? (std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'))
                           : c != '\n';
            };
            size_t j = i;
            while (j < s.size() && ok(s[j])) ++j;
            for (; j > i; --j)
                if (match_here(s, j, p + 1, end)) return true;
            return false;
        }
        if (i >= s.size()) return false;
        if (*p == '%' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != *p) return false;
        ++i;
    }
    *end = i;
    return true;
}

// Position of the first match of `pattern` in `text` (npos: none); its end
// goes to *end.
size_t find_like(const std::string &text, const char *pattern, size_t *end) {
    for (size_t i = 0; i <= text.size(); ++i)
        if (match_here(text, i, pattern, end)) return i;
    return std::string::npos;
}

bool has_like(const std::string &text, const char *pattern) {
    size_t end;
    return find_like(text, pattern, &end) != std::string::npos;
}

bool ends_like(const std::string &text, const char *pattern) {
    size_t end = 0;
    for (size_t i = 0; i <= text.size(); ++i)
        if (match_here(text, i, pattern, &end) && end == text.size()) return true;
    return false;
}

bool banner_ok(const std::string &log) {
    size_t end = 0;
    return match_here(log, 0,
                      "\ntag: ~\ncommit sha: ######\nbuild time: %%%%-%%-%% %%:%%\n"
                      "Hello libusb + evdi screen\n",
                      &end) &&
           end > 0;
}

Options options(std::vector<DeviceSpec> devices) {
    Options o;
    o.devices = std::move(devices);
    o.width = 640;
    o.height = 360;
    o.command = {DAEMON_PATH};
    return o;
}

DeviceSpec device(int model, std::optional<uint32_t> id = std::nullopt, uint8_t feature = 0) {
    DeviceSpec d;
    d.model = model;
    d.id = id;
    d.feature = feature;
    return d;
}

using torvel_e2e::count;

bool before(const std::string &text, const std::string &a, const std::string &b) {
    const size_t pa = text.find(a), pb = text.find(b);
    return pa != std::string::npos && pb != std::string::npos && pa < pb;
}

using torvel_e2e::DaemonRun;

TEST(Spine, NoDeviceWaitsForSigintWithoutTimer) {
    DaemonRun run(options({}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("Device not found\n"));
    // Well past the three seconds a timer would take.
    EXPECT_FALSE(run.log_has("timer ID is", 4s));
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->stop(10s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(banner_ok(log)) << log;
    EXPECT_TRUE(log.ends_with("Hello libusb + evdi screen\nDevice not found\nQuenfa...\n")) << log;
}

TEST(Spine, ArrivalWithoutDevicesEndsTheDaemon) {
    DaemonRun run(options({}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("Device not found\n"));
    std::string error;
    ASSERT_GE(run->add_device(device(2), &error), 0) << error;
    ASSERT_TRUE(run->wait_exit(10s));
    EXPECT_EQ(run->stop(1s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(
        ends_like(log, "Device not found\nDevice attached, dev: 0x#\nScreen added\nQuenfa...\n"))
        << log;
}

TEST(Spine, ArrivalWhileServingStopsEveryDeviceAndEnds) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 20s)) << run->daemon_log();
    std::string error;
    ASSERT_GE(run->add_device(device(3), &error), 0) << error;
    ASSERT_TRUE(run->wait_exit(10s)) << run->daemon_log();
    EXPECT_EQ(run->stop(1s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(before(log, "Screen added\n", "SetResolution 0 x 0, len: 4\n")) << log;
    EXPECT_TRUE(log.ends_with("SetResolution 0 x 0, len: 4\nQuenfa...\n")) << log;
    const auto state = run->device(0)->state();
    ASSERT_FALSE(state.resolutions_set.empty());
    EXPECT_EQ(state.resolutions_set.back(), (tb::Resolution{0, 0}));
    // The new device was never set up.
    EXPECT_EQ(run->device(1)->state().counters.control_requests, 0u);
}

// libusb reports the arrival while set-up waits for a device's identity
// request (which times out): set-up opens nothing more and the daemon ends.
TEST(Spine, ArrivalWhileSetUpOpensDevicesEndsTheDaemon) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    run->device(0)->fail_control(tb::request::kGetDeviceId, tb::ControlFault::kTimeout, 1);
    ASSERT_TRUE(run.log_has("attached state", 10s)) << run->daemon_log();
    std::string error;
    ASSERT_GE(run->add_device(device(0), &error), 0) << error;
    ASSERT_TRUE(run->wait_exit(10s)) << run->daemon_log();
    EXPECT_EQ(run->stop(1s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(log.ends_with("Quenfa...\n")) << log;
    EXPECT_EQ(run->device(1)->state().counters.control_requests, 0u);
}

TEST(Spine, OneDeviceComesUpInTheStatedOrder) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("My job finished", 20s)) << run->daemon_log();
    // The start-up timer fired once and is gone: no second expiry can come.
    std::ifstream timers("/proc/" + std::to_string(run->pid()) + "/timers");
    ASSERT_TRUE(timers.is_open());
    std::stringstream held;
    held << timers.rdbuf();
    EXPECT_EQ(held.str(), "");
    EXPECT_EQ(run->stop(10s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(has_like(log,
                         "Hello libusb + evdi screen\ntimer ID is ~\n"
                         "******************************* attached state: 0\n"
                         ">>> index: 0, position: 0, devID: 0x########\n"))
        << log;
    EXPECT_TRUE(before(log, "Screen#0 is running\n", ">>> monitor#0 - DVI-I-1-1\n")) << log;
    EXPECT_TRUE(before(log, ">>> monitor#0 - DVI-I-1-1\n",
                       ">>> create_render_thread: My job finished, see you later --- 0\n"))
        << log;
    EXPECT_EQ(count(log, "timer ID is"), 1u);
    EXPECT_EQ(count(log, "attached state"), 1u);
    EXPECT_TRUE(log.ends_with("SetResolution 0 x 0, len: 4\nQuenfa...\n")) << log;
    // The device was given an id, and the identity file holds it.
    const uint32_t id = run->device(0)->state().device_id;
    EXPECT_NE(id, tb::kNoDeviceId);
    char line[32];
    snprintf(line, sizeof line, "%08x:0\n", id);
    EXPECT_EQ(run->identity_file(), line);
    EXPECT_EQ(run->device(0)->state().quant_index, 1);
}

TEST(Spine, SigintBeforeTheTimerFires) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("timer ID is", 5s));
    EXPECT_EQ(run->stop(10s), 0);
    const std::string log = run->daemon_log();
    EXPECT_EQ(log.find("attached state"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("Quenfa...\n")) << log;
    EXPECT_EQ(run->device(0)->state().counters.control_requests, 0u);
}

TEST(Spine, SigintWhileSetUpRunsWaitsForIt) {
    DaemonRun run(options({device(0), device(1)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("Screen#0 is running", 20s)) << run->daemon_log();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run->stop(15s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(before(log, "My job finished", "Quenfa...")) << log;
    // Every render thread that was started was stopped and switched off.
    for (int i = 0; i < 2; ++i) {
        const auto state = run->device(i)->state();
        if (!state.resolutions_set.empty()) {
            EXPECT_EQ(state.resolutions_set.back(), (tb::Resolution{0, 0}));
        }
    }
}

TEST(Spine, DeviceLeavingBeforeSetUpIsNeverOpened) {
    DaemonRun run(options({device(0), device(1)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("timer ID is", 5s));
    run->unplug(1);
    ASSERT_TRUE(run.log_has(", position: -1\n", 5s)) << run->daemon_log();
    ASSERT_TRUE(run.log_has("My job finished", 20s)) << run->daemon_log();
    EXPECT_EQ(run->stop(10s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(has_like(log, "Device detached, dev: 0x#, position: -1\n")) << log;
    EXPECT_EQ(count(log, ">>> index: "), 1u) << log;
    EXPECT_EQ(log.find("libusb_open() failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("removed"), std::string::npos) << log;
    EXPECT_EQ(count(log, " is running\n"), 1u);
}

TEST(Spine, DepartureWhileRequestsAndTransfersAreInFlight) {
    // Device 0 re-reads its orientation before every frame (a control
    // request per frame) and has its transfers held in flight at unplug.
    DaemonRun run(
        options({device(0, std::nullopt, /*MONITOR_TYPE_VMIRROR*/ 1), device(1, std::nullopt, 1)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 10, 20s)) << run->daemon_log();
    ASSERT_TRUE(run->wait_frames(1, 10, 20s)) << run->daemon_log();
    run->device(0)->hold_bulk(true);
    std::this_thread::sleep_for(100ms);
    const auto t0 = std::chrono::steady_clock::now();
    run->unplug(0);
    ASSERT_TRUE(run.log_has(" removed\n", 10s)) << run->daemon_log();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    const std::string log = run->daemon_log();
    size_t end = 0;
    const size_t at = find_like(log, "Device detached, dev: 0x#, position: %\n", &end);
    ASSERT_NE(at, std::string::npos) << log;
    const std::string detached = log.substr(at, end - at);
    const std::string screen(1, detached[detached.size() - 2]);
    const std::string removed = "Screen#" + screen + " removed\n";
    EXPECT_TRUE(before(log, detached, removed)) << log;
    EXPECT_TRUE(before(log, "destroy_screen: Screen#" + screen, removed)) << log;
    // The other device keeps streaming and the daemon keeps running.
    const uint64_t frames = run->device(1)->state().counters.frames;
    EXPECT_TRUE(run->wait_frames(1, frames + 10, 10s));
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->stop(10s), 0);
    EXPECT_TRUE(run->daemon_log().ends_with("Quenfa...\n"));
}

// The rotating model leaves while its render thread is still probing (held
// in a feature request that the device does not answer) and set-up waits for
// its screen: the tear-down completes and set-up ends its wait.
TEST(Spine, DepartureWhileTheRotatingModelIsProbing) {
    DaemonRun run(options({device(4)}));
    ASSERT_TRUE(run.ok());
    tb::EmulatedDevice *dev = run->device(0);
    dev->fail_control(tb::request::kGetMonitorFeature, tb::ControlFault::kTimeout, 1);
    bool probing = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    tb::Event e;
    while (!probing && std::chrono::steady_clock::now() < deadline)
        if (run->usb().next_event(e, 100ms))
            probing =
                e.kind == tb::EventKind::kControl && e.request == tb::request::kGetMonitorFeature;
    ASSERT_TRUE(probing) << run->daemon_log();
    const auto t0 = std::chrono::steady_clock::now();
    run->unplug(0);
    ASSERT_TRUE(run.log_has("Screen#0 removed\n", 10s)) << run->daemon_log();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    ASSERT_TRUE(run.log_has("My job finished", 10s)) << run->daemon_log();
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->stop(10s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(has_like(log, "Device detached, dev: 0x#, position: 0\n")) << log;
    EXPECT_EQ(log.find("Create rotate thread failed"), std::string::npos) << log;
    EXPECT_TRUE(before(log, "Screen#0 removed\n", "My job finished")) << log;
    EXPECT_TRUE(log.ends_with("Quenfa...\n")) << log;
}

TEST(Spine, RepeatedTransferFailuresEndTheDaemon) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 20s)) << run->daemon_log();
    run->device(0)->fail_bulk(tb::BulkFault::kError, tb::kForever);
    ASSERT_TRUE(run->wait_exit(15s)) << run->daemon_log();
    EXPECT_EQ(run->stop(1s), 0);
    const std::string log = run->daemon_log();
    EXPECT_GE(count(log, "USB write failed@Screen#0, error:1\n"), 3u) << log;
    EXPECT_TRUE(log.ends_with("Quenfa...\n")) << log;
}

// Run 1 hands out identities and positions; run 2 finds the same devices in
// the other slots and gives each its remembered position again.
TEST(Spine, PositionsAreRememberedAcrossRestarts) {
    std::string file;
    uint32_t ids[2] = {};
    {
        DaemonRun run(options({device(0), device(1)}));
        ASSERT_TRUE(run.ok());
        // Positions come up one second apart (each gets its table just
        // before its render thread starts).
        std::chrono::steady_clock::time_point up[2];
        bool seen[2] = {};
        ASSERT_TRUE(run->wait_until(
            [&] {
                for (int i = 0; i < 2; ++i)
                    if (!seen[i] && run->device(i)->state().quant_index == 1) {
                        seen[i] = true;
                        up[i] = std::chrono::steady_clock::now();
                    }
                return seen[0] && seen[1];
            },
            25s));
        const auto gap = up[0] > up[1] ? up[0] - up[1] : up[1] - up[0];
        EXPECT_GE(gap, 950ms);
        EXPECT_LT(gap, 3s);
        ASSERT_TRUE(run.log_has("My job finished", 25s)) << run->daemon_log();
        EXPECT_EQ(run->stop(10s), 0);
        file = run->identity_file();
        for (int i = 0; i < 2; ++i) ids[i] = run->device(i)->state().device_id;
    }
    ASSERT_NE(ids[0], ids[1]);
    char a[16], b[16];
    snprintf(a, sizeof a, "%08x:", ids[0]);
    snprintf(b, sizeof b, "%08x:", ids[1]);
    const size_t pa = file.find(a), pb = file.find(b);
    ASSERT_NE(pa, std::string::npos) << file;
    ASSERT_NE(pb, std::string::npos) << file;
    const int pos_a = file[pa + 9] - '0', pos_b = file[pb + 9] - '0';
    ASSERT_EQ(pos_a + pos_b, 1) << file;

    char dir[] = "/tmp/spine-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string id_path = std::string(dir) + "/ids";
    std::ofstream(id_path) << file;
    Options o = options({device(1, ids[1]), device(0, ids[0])});  // the other way round
    o.id_file = id_path;
    {
        DaemonRun run(o);
        ASSERT_TRUE(run.ok());
        ASSERT_TRUE(run.log_has("My job finished", 25s)) << run->daemon_log();
        const std::string log = run->daemon_log();
        char line[64];
        snprintf(line, sizeof line, "position: %d, devID: 0x%08x\n", pos_a, ids[0]);
        EXPECT_NE(log.find(line), std::string::npos) << log;
        snprintf(line, sizeof line, "position: %d, devID: 0x%08x\n", pos_b, ids[1]);
        EXPECT_NE(log.find(line), std::string::npos) << log;
        // Screens are created in position order: output 0 serves position 0.
        EXPECT_EQ(run->output_of(1), pos_a);  // device index 1 carries ids[0]
        EXPECT_EQ(run->output_of(0), pos_b);
        EXPECT_EQ(run->stop(10s), 0);
        EXPECT_EQ(run->identity_file(), file);  // known identities: not rewritten
    }
    unlink(id_path.c_str());
    rmdir(dir);
}

size_t count_resolution(const tb::DeviceState &state, tb::Resolution r) {
    size_t n = 0;
    for (const auto &x : state.resolutions_set) n += x == r;
    return n;
}

TEST(Spine, DpmsOffSwitchesTheDisplayOffAboutASecondLater) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 20s)) << run->daemon_log();
    tb::EmulatedDevice *dev = run->device(0);
    ASSERT_EQ(count_resolution(dev->state(), {0, 0}), 0u);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(run->dpms(0, 3), 0);
    ASSERT_TRUE(run->wait_until([&] { return count_resolution(dev->state(), {0, 0}) == 1; }, 10s));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, 800ms);  // 59 frames of at least 16.7 ms
    EXPECT_LT(waited, 5s);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(count_resolution(dev->state(), {0, 0}), 1u);  // once, then idle
    EXPECT_TRUE(run.log_has("Screen#0, DPMS event: 3\n", 1s));
    // Back on: the resolution is restored.
    ASSERT_EQ(run->dpms(0, 0), 0);
    EXPECT_TRUE(run->wait_until(
        [&] {
            return dev->state().resolutions_set.back() == tb::Resolution{640, 360};
        },
        5s));
    EXPECT_EQ(run->stop(10s), 0);
}

TEST(Spine, DpmsOffThenOnWithinHalfASecondKeepsTheDisplayOn) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 20s)) << run->daemon_log();
    ASSERT_EQ(run->dpms(0, 3), 0);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(run->dpms(0, 0), 0);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(count_resolution(run->device(0)->state(), {0, 0}), 0u);
    EXPECT_EQ(run->stop(10s), 0);
    // Only the stop switched it off.
    EXPECT_EQ(count_resolution(run->device(0)->state(), {0, 0}), 1u);
}

// The rotating model at position 0 owns the first output, whichever slot
// libusb gives it (here usually slot 1, as libusb lists the devices the
// other way round); turning it rotates that output, once per change.
TEST(Spine, RotatingModelTurnsItsOwnOutput) {
    char dir[] = "/tmp/spine-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string id_path = std::string(dir) + "/ids";
    std::ofstream(id_path) << "0000000b:0\n0000000a:1\n";
    Options o = options({device(4, 0xb), device(0, 0xa)});
    o.id_file = id_path;
    DaemonRun run(o);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("My job finished", 25s)) << run->daemon_log();
    ASSERT_EQ(run->output_of(0), 0) << run->daemon_log();
    EXPECT_TRUE(run.log_has(">>> monitor#0 - DVI-I-1-1\n", 1s)) << run->daemon_log();
    const std::string left = "--output DVI-I-1-1 --rotate left";
    auto commands_like = [&](const std::string &what) {
        size_t n = 0;
        for (const auto &c : run->xrandr_commands()) n += c.find(what) != std::string::npos;
        return n;
    };
    run->set_orientation(0, 1);
    ASSERT_TRUE(run->wait_until([&] { return commands_like(left) == 1; }, 5s)) << run->daemon_log();
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(commands_like(left), 1u);
    EXPECT_EQ(commands_like("--rotate"), 1u);  // none for the other output
    // An orientation outside the four runs nothing; back to normal runs one.
    run->set_orientation(0, 7);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(commands_like("--rotate"), 1u);
    run->set_orientation(0, 0);
    EXPECT_TRUE(run->wait_until(
        [&] { return commands_like("--output DVI-I-1-1 --rotate normal") == 1; }, 5s));
    EXPECT_EQ(run->stop(10s), 0);
    unlink(id_path.c_str());
    rmdir(dir);
}

struct Exit {
    int status = -1;
    std::string output;
};

// The daemon with one step of opening the USB layer failing.
Exit run_with_usb_fault(const char *fault) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return {};
    std::vector<std::string> env;
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
    for (char **e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.starts_with("ASAN_OPTIONS="))
            asan.append(1, ':').append(v, 13, std::string::npos);
        else if (!v.starts_with("LD_PRELOAD=") && !v.starts_with("UMOCKDEV_DIR="))
            env.push_back(v);
    }
    env.push_back(std::string("TORVEL_TEST_USB_FAULT=") + fault);
    env.push_back(std::string("LD_PRELOAD=") + USB_FAULT_LIB);
    // A sanitizer runtime must otherwise come first in the library order.
    env.push_back(asan);
    std::vector<char *> envp;
    for (auto &v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(DAEMON_PATH), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], STDOUT_FILENO);
        close(pipefd[0]);
        execve(DAEMON_PATH, argv, envp.data());
        _exit(127);
    }
    const int rc = pid > 0 ? 0 : -1;
    close(pipefd[1]);
    Exit result;
    if (rc == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(pipefd[0], buf, sizeof buf)) > 0) result.output.append(buf, n);
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(pipefd[0]);
    return result;
}

TEST(Spine, UsbLayerFailureExitsWith255) {
    const struct {
        const char *fault;
        const char *lines;
    } cases[] = {
        {"init", "failed to initialise libusb: LIBUSB_ERROR_OTHER\nusb init has failed\n"},
        {"hotplug",
         "Hotplug capabilites are not supported on this platform\nusb init has failed\n"},
        {"list", "get usb device list has failed\n"},
    };
    for (const auto &c : cases) {
        const Exit e = run_with_usb_fault(c.fault);
        EXPECT_EQ(e.status, 255) << c.fault;
        EXPECT_TRUE(banner_ok(e.output)) << e.output;
        EXPECT_TRUE(e.output.ends_with(std::string("Hello libusb + evdi screen\n") + c.lines))
            << c.fault << ":\n"
            << e.output;
    }
}

}  // namespace
