// torvel-displayd on a USB stack that behaves as a real machine's does: an
// endpoint that stays halted after a stall, transfers cut short, an unplug
// that fails what is in flight before the device leaves, interfaces held by
// a kernel driver or another program, hosts without scatter-gather, a link
// of USB 2.0 speed and the usbfs memory limit over four 3840 x 2160 devices
// in full motion.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "daemon_run.h"
#include "sim.h"

namespace {

using namespace std::chrono_literals;
using torvel::sim::DeviceSpec;
using torvel::sim::Options;
using torvel::sim::Report;
namespace tb = torvel::testbed;

using torvel_e2e::count;

class StackRun : public torvel_e2e::DaemonRun {
  public:
    explicit StackRun(const Options &o) : torvel_e2e::DaemonRun(o, 30s) {}

    tb::DeviceCounters counters(int dev) { return sim_->device(dev)->state().counters; }

    // Waits until device `dev` has decoded no new frame for `quiet`;
    // returns how long that took from the call, or -1 s.
    std::chrono::duration<double> settle(int dev, std::chrono::milliseconds quiet = 1500ms,
                                         std::chrono::seconds limit = 90s) {
        const auto start = std::chrono::steady_clock::now();
        uint64_t last = counters(dev).frames;
        auto since = start;
        while (std::chrono::steady_clock::now() - start < limit) {
            std::this_thread::sleep_for(50ms);
            const uint64_t now = counters(dev).frames;
            if (now != last) {
                last = now;
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since >= quiet) {
                return since - start;
            }
        }
        return std::chrono::seconds(-1);
    }
};

void expect_shows_screen(const Report &report, int dev) {
    ASSERT_LT(static_cast<size_t>(dev), report.devices.size());
    const auto &d = report.devices[static_cast<size_t>(dev)];
    EXPECT_GE(d.psnr, 35.0) << "device " << dev;
    EXPECT_EQ(d.format_errors, 0u) << "device " << dev;
    EXPECT_EQ(d.decode_errors, 0u) << "device " << dev;
}

Options stack_options(int devices, int width, int height) {
    Options o;
    o.devices.resize(static_cast<size_t>(devices));
    o.width = width;
    o.height = height;
    o.content = torvel::sim::ContentKind::kMotion;
    o.command = {DAEMON_PATH};
    return o;
}

class Faults : public ::testing::TestWithParam<bool> {};

// On a 40 MB/s link in full motion, with and without scatter-gather:
// device 0 stalls once, device 1 (bound to a kernel driver at first) has a
// transfer cut short, device 2's interface is held by another program; then
// device 1 leaves with errors on its transfers. Every device served shows
// its screen once the motion stops, and the daemon outlives it all.
TEST_P(Faults, StallCutTransferBusyInterfaceAndUnplugAreMadeGood) {
    Options o = stack_options(3, 1920, 1080);
    o.no_sg = GetParam();
    o.link_mbps = 40;
    o.kernel_driver = {1};
    o.interface_busy = {2};
    StackRun run(o);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 10, 60s)) << run->daemon_log();
    ASSERT_TRUE(run->wait_frames(1, 10, 60s)) << run->daemon_log();
    EXPECT_TRUE(
        run.log_has("libusb_claim_interface() failed: LIBUSB_ERROR_BUSY: interface 0 is "
                    "held by another driver or program, the device is not served\n"))
        << run->daemon_log();

    // The figures of the link: what reaches device 0 over a second.
    const auto a = run.counters(0);
    std::this_thread::sleep_for(1s);
    const auto b = run.counters(0);
    std::printf(
        "[ figures ] %s, 1920x1080 motion, 3 devices, 40 MB/s: %.1f streams/s, %.2f MB/s, "
        "%.0f kB a stream\n",
        GetParam() ? "no-sg" : "sg", static_cast<double>(b.frames - a.frames),
        static_cast<double>(b.bytes_delivered - a.bytes_delivered) / 1e6,
        b.frames > a.frames ? static_cast<double>(b.bytes_delivered - a.bytes_delivered) /
                                  static_cast<double>(b.frames - a.frames) / 1e3
                            : 0.0);

    run->device(0)->fail_bulk(tb::BulkFault::kStall, 1);
    run->device(1)->fail_bulk(tb::BulkFault::kPartial, 1);
    ASSERT_TRUE(run->wait_until(
        [&] {
            const auto s = run->device(0)->state();
            return s.counters.halts == 1 && s.counters.clear_halts >= 1 && !s.halted;
        },
        20s))
        << run->daemon_log();
    ASSERT_TRUE(run->wait_until([&] { return run.counters(1).partial_transfers >= 1; }, 20s));
    const uint64_t frames0 = run.counters(0).frames, frames1 = run.counters(1).frames;
    ASSERT_TRUE(run->wait_frames(0, frames0 + 5, 30s)) << run->daemon_log();
    ASSERT_TRUE(run->wait_frames(1, frames1 + 5, 30s)) << run->daemon_log();

    run->freeze(true);
    const auto settled = std::max(run.settle(0), run.settle(1));
    ASSERT_GE(settled.count(), 0.0) << "a device never stopped receiving frames";
    std::printf("[ figures ] the devices stopped changing %.2f s after the motion stopped\n",
                settled.count());
    const Report r = run->capture();
    expect_shows_screen(r, 0);
    expect_shows_screen(r, 1);
    for (int dev = 0; dev < 3; ++dev) {
        const auto s = run.counters(dev);
        EXPECT_EQ(s.unclaimed_bulk, 0u) << "device " << dev;
        EXPECT_EQ(s.submit_nomem, 0u) << "device " << dev;
        EXPECT_EQ(s.clear_halts_active, 0u) << "device " << dev;
    }
    EXPECT_EQ(run.counters(2).transfers, 0u);  // not served

    // Device 1 fails two transfers and leaves with more in flight.
    run->freeze(false);
    run->device(1)->fail_bulk(tb::BulkFault::kError, 2);
    std::this_thread::sleep_for(150ms);
    run->unplug(1);
    ASSERT_TRUE(run.log_has(" removed\n", 10s)) << run->daemon_log();
    const uint64_t after = run.counters(0).frames;
    EXPECT_TRUE(run->wait_frames(0, after + 10, 30s)) << run->daemon_log();
    EXPECT_TRUE(run->running()) << run->daemon_log();
    EXPECT_EQ(run->stop(30s), 0);
    const std::string log = run->daemon_log();
    EXPECT_EQ(count(log, "interface 0 is held"), 1u) << log;
    EXPECT_TRUE(log.ends_with("Quenfa...\n")) << log;
}

INSTANTIATE_TEST_SUITE_P(UsbStack, Faults, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? std::string("WithoutScatterGather")
                                            : std::string("WithScatterGather");
                         });

// Four 3840 x 2160 devices in full motion share the 16 MiB of usbfs memory:
// the daemon keeps within it, keeps running, and every device shows its
// screen once the motion stops.
TEST(UsbStack, FourDevicesAt3840x2160InFullMotionStayWithinTheUsbfsLimit) {
#if defined(__SANITIZE_THREAD__)
    // Four 4K encoders under ThreadSanitizer on two cores cannot settle in the
    // test's time; the limit itself is checked in the release and asan runs.
    GTEST_SKIP() << "too heavy under ThreadSanitizer";
#endif
    StackRun run(stack_options(4, 3840, 2160));
    ASSERT_TRUE(run.ok());
    for (int dev = 0; dev < 4; ++dev)
        ASSERT_TRUE(run->wait_frames(dev, 3, 120s)) << run->daemon_log();
    std::this_thread::sleep_for(1s);
    run->freeze(true);
    for (int dev = 0; dev < 4; ++dev) ASSERT_GE(run.settle(dev).count(), 0.0) << dev;
    const Report r = run->capture();
    for (int dev = 0; dev < 4; ++dev) {
        expect_shows_screen(r, dev);
        const auto s = run.counters(dev);
        EXPECT_EQ(s.submit_nomem, 0u) << "device " << dev;
        EXPECT_EQ(s.unclaimed_bulk, 0u) << "device " << dev;
    }
    EXPECT_TRUE(run->running()) << run->daemon_log();
    EXPECT_EQ(run->stop(60s), 0);
}

// Streams still on their way when the daemon is stopped reach the device
// before the 0 x 0 that switches its display off: bulk data and control
// requests take different pipes, so the display-off request must wait for
// them (the main thread, joining the render threads, handles no USB events
// meanwhile).
TEST(UsbStack, StreamsOnTheirWayAtTheStopArriveBeforeTheDisplayGoesOff) {
    StackRun run(stack_options(1, 640, 360));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 60s)) << run->daemon_log();
    run->device(0)->hold_bulk(true);
    ASSERT_TRUE(run->wait_until([&] { return run->device(0)->state().urbs_in_flight > 0; }, 5s));
    ASSERT_EQ(::kill(run->pid(), SIGINT), 0);
    // Long enough for the render thread to have ended; well within the
    // daemon's 500 ms bulk time-out.
    std::this_thread::sleep_for(250ms);
    run->device(0)->hold_bulk(false);
    ASSERT_TRUE(run->wait_exit(30s)) << run->daemon_log();
    ASSERT_TRUE(run->device(0)->wait_idle(5000ms));
    const auto s = run->device(0)->state();
    EXPECT_TRUE(s.display_off);
    EXPECT_EQ(s.counters.failed_transfers, 0u);
    EXPECT_EQ(std::count(s.violations.begin(), s.violations.end(),
                         "stream received while the display is off (0 x 0)"),
              0)
        << run->daemon_log();
    EXPECT_TRUE(run->daemon_log().ends_with("Quenfa...\n")) << run->daemon_log();
}

}  // namespace
