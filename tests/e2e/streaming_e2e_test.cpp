// The desktop reaching the devices: torvel-displayd under torvel-sim, judged
// by what each emulated device decodes and shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon_run.h"
#include "sim.h"

namespace {

using namespace std::chrono_literals;
using torvel::sim::DeviceSpec;
using torvel::sim::Options;
using torvel::sim::Report;
using torvel::sim::Sim;
namespace tb = torvel::testbed;

DeviceSpec device(int model, uint8_t feature = 0, uint8_t orientation = 0, uint8_t mirror = 0) {
    DeviceSpec d;
    d.model = model;
    d.feature = feature;
    d.orientation = orientation;
    d.mirror = mirror;
    return d;
}

Options run_options(std::vector<DeviceSpec> devices, int width, int height,
                    const std::string &png) {
    Options o;
    o.devices = std::move(devices);
    o.width = width;
    o.height = height;
    if (!png.empty()) {
        o.content = torvel::sim::ContentKind::kPng;
        o.png_path = png;
    }
    o.command = {DAEMON_PATH};
    return o;
}

// Waits until device `dev` has decoded no new frame for `quiet`.
bool settle(Sim &sim, int dev, std::chrono::milliseconds quiet = 800ms) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    auto frames = [&] { return sim.device(dev)->state().counters.frames; };
    uint64_t last = frames();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
        const uint64_t now = frames();
        if (now != last) {
            last = now;
            since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - since >= quiet) {
            return true;
        }
    }
    return false;
}

// The daemon on devices that stream, with what the tests read of them.
class DaemonRun : public torvel_e2e::DaemonRun {
  public:
    DaemonRun(std::vector<DeviceSpec> devices, int width, int height,
              const std::string &png = std::string())
        : torvel_e2e::DaemonRun(run_options(std::move(devices), width, height, png), 20s) {}

    uint64_t frames(int dev) { return sim_->device(dev)->state().counters.frames; }
    uint64_t blocks(int dev) { return sim_->device(dev)->state().counters.blocks; }

    bool settle(int dev, std::chrono::milliseconds quiet = 800ms) {
        return ::settle(*sim_, dev, quiet);
    }

    // The next frame that device `dev` decodes after `before` frames, and
    // the blocks it carried.
    bool next_frame_blocks(int dev, uint64_t frames_before, uint64_t blocks_before,
                           uint64_t *blocks) {
        if (!sim_->wait_frames(dev, frames_before + 1, 20s)) return false;
        // Let a frame that follows at once show up as a second frame.
        std::this_thread::sleep_for(300ms);
        if (frames(dev) != frames_before + 1) return false;
        *blocks = this->blocks(dev) - blocks_before;
        return true;
    }

    void paint(int dev, int x, int y, int w, int h, uint32_t rgb) {
        std::vector<uint32_t> px(static_cast<size_t>(w) * h, rgb);
        ASSERT_EQ(sim_->paint(dev, x, y, w, h, px.data()), 0);
    }
};

void expect_shows_screen(const Report &report, int dev, const char *transform) {
    ASSERT_LT(static_cast<size_t>(dev), report.devices.size());
    const auto &d = report.devices[static_cast<size_t>(dev)];
    EXPECT_EQ(d.transform, transform);
    EXPECT_GE(d.psnr, 35.0) << "device " << dev;
    EXPECT_EQ(d.format_errors, 0u) << "device " << dev;
    EXPECT_EQ(d.decode_errors, 0u) << "device " << dev;
}

// A still picture of desktop-like content as a PNG file.
std::string still_picture(int w, int h) {
    tb::FrameBuffer f(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = f.pixel(x, y);
            const bool stroke = y % 8 == 3 && x % 9 < 6 && (x / 90) % 2 == 0;
            p[0] = stroke ? 30 : static_cast<uint8_t>(200 - x * 100 / w);
            p[1] = stroke ? 30 : static_cast<uint8_t>(120 + y * 100 / h);
            p[2] = stroke ? 30 : 180;
        }
    const std::string path = ::testing::TempDir() + "streaming_still_" + std::to_string(w) + "x" +
                             std::to_string(h) + ".png";
    std::string error;
    EXPECT_TRUE(tb::write_png(f, path, &error)) << error;
    return path;
}

struct Mode {
    int width, height;
    bool still;  // a still picture instead of the animated scene
};

class Modes : public ::testing::TestWithParam<Mode> {};

TEST_P(Modes, TheDeviceShowsItsScreenOnceTheContentStandsStill) {
    const Mode m = GetParam();
    Options o = run_options({device(0)}, m.width, m.height,
                            m.still ? still_picture(m.width, m.height) : std::string());
    // The module takes framebuffers of 64 lines or more; the daemon is
    // tried on thinner ones all the same.
    if (m.height < 64) o.leniency = evdiemu::kAnyFramebufferSize;
    torvel_e2e::DaemonRun run(o, 20s);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_resolution(0, m.width, m.height, 30s)) << run->daemon_log();
    ASSERT_TRUE(run->wait_frames(0, m.still ? 1 : 10, 30s)) << run->daemon_log();
    run->freeze(true);
    ASSERT_TRUE(settle(*run, 0));
    const Report report = run->capture();
    expect_shows_screen(report, 0, "none");
    EXPECT_EQ(run->stop(20s), 0);
}

// 1366 is no multiple of 32 (43 columns); 24 lines make 3 block rows, fewer
// than the four encoder bands.
INSTANTIATE_TEST_SUITE_P(Streaming, Modes,
                         ::testing::Values(Mode{1920, 1080, false}, Mode{1366, 768, false},
                                           Mode{1024, 600, false}, Mode{640, 24, true},
                                           Mode{1366, 20, true}),
                         [](const auto &param_info) {
                             return std::to_string(param_info.param.width) + "x" +
                                    std::to_string(param_info.param.height);
                         });

TEST(Streaming, OnlyChangedBlocksTravelOnceMoreInTheNextFrameThenNoMore) {
    DaemonRun run({device(0)}, 640, 360);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 30s)) << run->daemon_log();
    // Painting our own content stops the scene on this output.
    run.paint(0, 0, 0, 640, 360, 0x304050u);
    ASSERT_TRUE(run.settle(0));
    uint64_t blocks = 0;
    uint64_t f = run.frames(0), b = run.blocks(0);
    // D: two blocks at the bottom right; the whole screen travels once more
    // with them.
    run.paint(0, 576, 352, 64, 8, 0xC0C0C0u);
    ASSERT_TRUE(run.next_frame_blocks(0, f, b, &blocks));
    EXPECT_EQ(blocks, 20u * 45u);
    // A: columns 2..3, rows 2..3 (4 blocks), with D once more.
    f = run.frames(0);
    b = run.blocks(0);
    run.paint(0, 64, 16, 64, 16, 0xE02020u);
    ASSERT_TRUE(run.next_frame_blocks(0, f, b, &blocks));
    EXPECT_EQ(blocks, 2u + 4u);
    // B: one block. A travels once more with it, D no longer.
    f = run.frames(0);
    b = run.blocks(0);
    run.paint(0, 320, 200, 32, 8, 0x20E020u);
    ASSERT_TRUE(run.next_frame_blocks(0, f, b, &blocks));
    EXPECT_EQ(blocks, 4u + 1u);
    // C: 3 x 3 blocks at the bottom left. B once more, A no longer.
    f = run.frames(0);
    b = run.blocks(0);
    run.paint(0, 0, 336, 96, 24, 0x2020E0u);
    ASSERT_TRUE(run.next_frame_blocks(0, f, b, &blocks));
    EXPECT_EQ(blocks, 1u + 9u);
    // Nothing changes any more: nothing travels.
    f = run.frames(0);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(run.frames(0), f);
    expect_shows_screen(run->capture(), 0, "none");
}

// The pointer moving every frame, drawn by the daemon (cursor events on):
// each frame carries only the blocks under the cursor's places (the last
// two, and the one before once more), the log says "Cursor ON" once and
// nothing per move, and the device shows the cursor where EVDI would have
// blended it.
TEST(Streaming, TheDaemonDrawsThePointerAndOnlyItsBlocksTravel) {
    Options o = run_options({device(0)}, 640, 360, std::string());
    o.content = torvel::sim::ContentKind::kWorkload;
    o.workload = torvel::sim::Workload::kMouse;
    o.paint_hz = 60;
    torvel_e2e::DaemonRun run(o, 20s);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 10, 30s)) << run->daemon_log();
    auto *d = run->device(0);
    const uint64_t f = d->state().counters.frames, b = d->state().counters.blocks;
    std::this_thread::sleep_for(1s);
    const uint64_t frames = d->state().counters.frames - f;
    const uint64_t blocks = d->state().counters.blocks - b;
    EXPECT_GE(frames, 10u);
    // A 16 x 24 cursor lies on at most 2 x 4 blocks.
    EXPECT_LE(blocks, frames * 3 * 8) << frames << " frames";
    run->freeze(true);
    ASSERT_TRUE(settle(*run, 0));
    expect_shows_screen(run->capture(), 0, "none");
    const std::string log = run->daemon_log();
    size_t on = 0;
    for (size_t at = log.find("Cursor ON"); at != std::string::npos;
         at = log.find("Cursor ON", at + 1))
        ++on;
    EXPECT_EQ(on, 1u) << log;
    EXPECT_EQ(log.find("Cursor moved"), std::string::npos);
    EXPECT_EQ(run->stop(20s), 0);
}

// With the screen standing still the render loop sleeps; what it still owes
// the device must wake it: the blocks of a transfer that failed, those of a
// transfer that stalled the endpoint (cleared first), and the pointer moved
// to a new place, each with no further damage from the desktop.
TEST(Streaming, AnIdleDaemonStillSendsWhatItOwesAndWhereThePointerWent) {
    DaemonRun run({device(0)}, 640, 360);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 30s)) << run->daemon_log();
    auto *dev = run->device(0);
    run.paint(0, 0, 0, 640, 360, 0x304050u);
    ASSERT_TRUE(run.settle(0));

    dev->fail_bulk(tb::BulkFault::kError, 1);
    run.paint(0, 64, 64, 128, 64, 0xE0E0E0u);
    ASSERT_TRUE(run->wait_until([&] { return dev->state().counters.failed_transfers >= 1; }, 10s));
    ASSERT_TRUE(run.settle(0));
    expect_shows_screen(run->capture(), 0, "none");

    dev->fail_bulk(tb::BulkFault::kStall, 1);
    run.paint(0, 320, 200, 128, 64, 0x20E020u);
    ASSERT_TRUE(run->wait_until(
        [&] {
            const auto s = dev->state();
            return s.counters.halts == 1 && s.counters.clear_halts >= 1 && !s.halted;
        },
        10s))
        << run->daemon_log();
    ASSERT_TRUE(run.settle(0));
    expect_shows_screen(run->capture(), 0, "none");

    const uint64_t f = run.frames(0);
    ASSERT_EQ(run->move_cursor(0, 500, 40), 0);
    ASSERT_TRUE(run->wait_frames(0, f + 1, 5s)) << run->daemon_log();
    ASSERT_TRUE(run.settle(0));
    expect_shows_screen(run->capture(), 0, "none");
    EXPECT_EQ(run->stop(20s), 0);
}

TEST(Streaming, TurnedAndMirroredDevicesFollowLaterPartialChanges) {
    // Device 0 reads MONITOR_ROTATE_180 with feature class VMIRROR, device 1
    // MIRROR_ENABLE with feature class HMIRROR.
    DaemonRun run({device(0, 1, 2), device(1, 4, 0, 1)}, 1024, 600);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 10, 30s)) << run->daemon_log();
    ASSERT_TRUE(run->wait_frames(1, 10, 30s)) << run->daemon_log();
    run->freeze(true);
    ASSERT_TRUE(run.settle(0));
    ASSERT_TRUE(run.settle(1));
    Report report = run->capture();
    expect_shows_screen(report, 0, "rotate180");
    expect_shows_screen(report, 1, "mirror");

    // Small changes later, near the edges where a wrong turn shows most.
    for (int dev = 0; dev < 2; ++dev) {
        run.paint(dev, 0, 0, 50, 20, 0xFF0000u);
        run.paint(dev, 1000, 590, 24, 10, 0x00FF00u);
    }
    ASSERT_TRUE(run.settle(0));
    ASSERT_TRUE(run.settle(1));
    report = run->capture();
    expect_shows_screen(report, 0, "rotate180");
    expect_shows_screen(report, 1, "mirror");

    // Turned back: frames go out as captured again.
    run->set_orientation(0, 0);
    run.paint(0, 500, 300, 100, 100, 0x0000FFu);
    run.paint(0, 0, 0, 1024, 600, 0x808080u);
    ASSERT_TRUE(run.settle(0));
    expect_shows_screen(run->capture(), 0, "none");
    EXPECT_EQ(run->stop(20s), 0);
}

TEST(Streaming, ModeChangeWhileFramesAreInFlight) {
    DaemonRun run({device(0)}, 1366, 768);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 10, 30s)) << run->daemon_log();
    // Completions come late, so every transfer slot is taken when the
    // desktop changes the mode.
    run->device(0)->set_bulk_delay(150ms);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(run->set_mode(0, 1024, 600), 0);
    ASSERT_TRUE(run->wait_resolution(0, 1024, 600, 20s)) << run->daemon_log();
    std::this_thread::sleep_for(300ms);
    // A bulk endpoint is first in, first out: the delay ends only once no
    // transfer waits in it, or later ones would overtake it.
    run->freeze(true);
    ASSERT_TRUE(run->wait_until([&] { return run->device(0)->state().urbs_in_flight == 0; }, 10s));
    run->device(0)->set_bulk_delay(0ms);
    run->freeze(false);
    const uint64_t f = run.frames(0);
    ASSERT_TRUE(run->wait_frames(0, f + 5, 30s)) << run->daemon_log();
    run->freeze(true);
    ASSERT_TRUE(run.settle(0));
    // Every block of the new grid arrived: the picture matches.
    const Report report = run->capture();
    ASSERT_FALSE(report.devices.empty());
    EXPECT_GE(report.devices[0].psnr, 35.0);
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->stop(20s), 0);
}

size_t count_off(const std::vector<tb::Resolution> &set) {
    return static_cast<size_t>(std::count(set.begin(), set.end(), tb::Resolution{0, 0}));
}

TEST(Streaming, DpmsOffSwitchesTheDisplayOffAboutASecondLater) {
    DaemonRun run({device(0)}, 640, 360);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 30s)) << run->daemon_log();
    auto *dev = run->device(0);

    // Off, then on again within half a second: never switched off.
    ASSERT_EQ(run->dpms(0, 3), 0);
    std::this_thread::sleep_for(250ms);
    ASSERT_EQ(run->dpms(0, 0), 0);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(count_off(dev->state().resolutions_set), 0u) << run->daemon_log();

    // Off: one 0 x 0 about a second later, and no more.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(run->output_off(0), 0);
    ASSERT_TRUE(run->wait_until([&] { return count_off(dev->state().resolutions_set) > 0; }, 10s))
        << run->daemon_log();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 900ms);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(count_off(dev->state().resolutions_set), 1u);
    EXPECT_EQ(dev->state().resolution, (tb::Resolution{0, 0}));
    // On again: the resolution comes back.
    ASSERT_EQ(run->output_on(0), 0);
    ASSERT_TRUE(run->wait_until(
        [&] {
            return dev->state().resolution == tb::Resolution{640, 360};
        },
        10s))
        << run->daemon_log();
    EXPECT_EQ(run->stop(20s), 0);
}

TEST(Streaming, TheOtherDeviceKeepsStreamingWhenOneLeaves) {
    DaemonRun run({device(0), device(1)}, 800, 480);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run->wait_frames(0, 5, 30s)) << run->daemon_log();
    ASSERT_TRUE(run->wait_frames(1, 5, 30s)) << run->daemon_log();
    run->unplug(1);
    ASSERT_TRUE(run->wait_until(
        [&] { return run->daemon_log().find(" removed\n") != std::string::npos; }, 15s))
        << run->daemon_log();
    const uint64_t f = run.frames(0);
    ASSERT_TRUE(run->wait_frames(0, f + 10, 20s)) << run->daemon_log();
    run->freeze(true);
    ASSERT_TRUE(run.settle(0));
    expect_shows_screen(run->capture(), 0, "none");
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->stop(20s), 0);
}

}  // namespace
