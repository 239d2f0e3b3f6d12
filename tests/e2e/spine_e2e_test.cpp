// torvel-displayd as a whole program under torvel-sim: its messages, how it
// ends and with which status, hot-plug, departures while it streams, and the
// positions it remembers across restarts.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device_ids.h"
#include "sim.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using torvel::sim::DeviceSpec;
using torvel::sim::Options;
using torvel::sim::Sim;
namespace tb = torvel::testbed;

const std::regex kBanner(
    "^\ntag: \\S+\ncommit sha: [0-9a-f]{6}\nbuild time: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d\n"
    "Hello libusb \\+ evdi screen\n");

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

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool before(const std::string &text, const std::string &a, const std::string &b) {
    const size_t pa = text.find(a), pb = text.find(b);
    return pa != std::string::npos && pb != std::string::npos && pa < pb;
}

class DaemonRun {
  public:
    explicit DaemonRun(const Options &o) {
        std::string error;
        sim_ = Sim::create(o, &error);
        EXPECT_TRUE(sim_) << error;
        if (sim_) started_ = sim_->start(&error);
        EXPECT_TRUE(started_) << error;
    }
    ~DaemonRun() {
        if (sim_ && sim_->running()) sim_->stop(10s);
    }
    bool ok() const { return started_; }
    Sim &operator*() { return *sim_; }
    Sim *operator->() { return sim_.get(); }

    bool log_has(const std::string &text, std::chrono::milliseconds timeout = 15s) {
        return sim_->wait_until([&] { return sim_->daemon_log().find(text) != std::string::npos; },
                                timeout);
    }

  private:
    std::unique_ptr<Sim> sim_;
    bool started_ = false;
};

TEST(Spine, NoDeviceWaitsForSigintWithoutTimer) {
    DaemonRun run(options({}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("Device not found\n"));
    // Well past the three seconds a timer would take.
    EXPECT_FALSE(run.log_has("timer ID is", 4s));
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->stop(10s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(std::regex_search(log, kBanner)) << log;
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
        std::regex_search(log, std::regex("Device not found\nDevice attached, dev: 0x[0-9a-f]+\n"
                                          "Screen added\nQuenfa...\n$")))
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

TEST(Spine, OneDeviceComesUpInTheStatedOrder) {
    DaemonRun run(options({device(0)}));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has("My job finished", 20s)) << run->daemon_log();
    EXPECT_EQ(run->stop(10s), 0);
    const std::string log = run->daemon_log();
    EXPECT_TRUE(std::regex_search(
        log, std::regex("Hello libusb \\+ evdi screen\ntimer ID is (0|0x[0-9a-f]+)\n"
                        "\\*{31} attached state: 0\n"
                        ">>> index: 0, position: 0, devID: 0x[0-9a-f]{8}\n")))
        << log;
    EXPECT_TRUE(before(log, "Screen#0 is running\n", ">>> monitor#0 - DVI-I-1-1\n")) << log;
    EXPECT_TRUE(before(log, ">>> monitor#0 - DVI-I-1-1\n",
                       ">>> create_render_thread: My job finished, see you later --- 0\n"))
        << log;
    EXPECT_EQ(count(log, "timer ID is"), 1u);
    EXPECT_EQ(count(log, "attached state"), 1u);  // the timer fired once
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
    EXPECT_TRUE(
        std::regex_search(log, std::regex("Device detached, dev: 0x[0-9a-f]+, position: -1\n")));
    EXPECT_EQ(count(log, ">>> index: "), 1u) << log;
    EXPECT_EQ(log.find("libusb_open() failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("removed"), std::string::npos) << log;
    EXPECT_EQ(count(log, " is running\n"), 1u);
}

TEST(Spine, DepartureWhileRequestsAndTransfersAreInFlight) {
    // Device 0 re-reads its orientation before every frame (a control
    // request per frame) and has its transfers held in flight at unplug.
    DaemonRun run(options({device(0, std::nullopt, /*MONITOR_TYPE_VMIRROR*/ 1), device(1, std::nullopt, 1)}));
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
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        log, m, std::regex("Device detached, dev: 0x[0-9a-f]+, position: ([0-3])\n")))
        << log;
    const std::string removed = "Screen#" + m[1].str() + " removed\n";
    EXPECT_TRUE(before(log, m[0].str(), removed)) << log;
    EXPECT_TRUE(before(log, "destroy_screen: Screen#" + m[1].str(), removed)) << log;
    // The other device keeps streaming and the daemon keeps running.
    const uint64_t frames = run->device(1)->state().counters.frames;
    EXPECT_TRUE(run->wait_frames(1, frames + 10, 10s));
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->stop(10s), 0);
    EXPECT_TRUE(run->daemon_log().ends_with("Quenfa...\n"));
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

struct Exit {
    int status = -1;
    std::string output;
};

// The daemon with one step of opening the USB layer failing.
Exit run_with_usb_fault(const char *fault) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return {};
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string v = *e;
        if (!v.starts_with("LD_PRELOAD=") && !v.starts_with("UMOCKDEV_DIR=")) env.push_back(v);
    }
    env.push_back(std::string("TORVEL_TEST_USB_FAULT=") + fault);
    env.push_back(std::string("LD_PRELOAD=") + USB_FAULT_LIB);
    // A sanitizer runtime must otherwise come first in the library order.
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
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
        EXPECT_TRUE(std::regex_search(e.output, kBanner)) << e.output;
        EXPECT_TRUE(e.output.ends_with(std::string("Hello libusb + evdi screen\n") + c.lines))
            << c.fault << ":\n"
            << e.output;
    }
}

}  // namespace
