// What torvel-sim's measurements rest on: workloads that report every pixel
// they change, frame tags that survive the device's coding, latencies paired
// paint to decode, and a CPU figure that leaves the harness's thread out.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <random>
#include <thread>
#include <vector>

#include "daemon_cpu.h"
#include "frame_tag.h"
#include "reference_block_encoder.h"
#include "stream_decoder.h"
#include "workload.h"

namespace {

namespace sim = torvel::sim;
namespace tb = torvel::testbed;

bool inside(const evdiemu::Rect *rects, int n, int x, int y) {
    for (int i = 0; i < n; ++i)
        if (x >= rects[i].x1 && x < rects[i].x2 && y >= rects[i].y1 && y < rects[i].y2) return true;
    return false;
}

// A pixel changed outside the rectangles a step reported would stay stale on
// the device: every workload must report all it paints.
TEST(Workload, EveryChangedPixelIsReportedAndEachChangesAsOften) {
    struct Case {
        sim::Workload w;
        const char *name;
        int min_changing, max_changing;  // steps with a change in 2 s at 60 Hz
        int W = 640, H = 360;
    };
    const Case cases[] = {{sim::Workload::kStill, "still", 8, 9},
                          {sim::Workload::kTyping, "typing", 19, 21},
                          {sim::Workload::kMouse, "mouse", 0, 0},
                          {sim::Workload::kScroll, "scroll", 119, 120},
                          {sim::Workload::kVideo, "video", 120, 120, 1344, 752}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int W = c.W, H = c.H;
        sim::Workload parsed;
        ASSERT_TRUE(sim::parse_workload(c.name, &parsed));
        EXPECT_EQ(parsed, c.w);
        sim::WorkloadScene scene(c.w);
        scene.reset(W, H);
        std::vector<uint32_t> before(scene.pixels(), scene.pixels() + W * H);
        int changing = 0, pointer_moves = 0, px = -1, py = -1;
        // Typing goes past a page (243 characters here): blanks come after it.
        const int steps = c.w == sim::Workload::kTyping ? 60 * 30 : 120;
        for (int step = 1; step <= steps; ++step) {
            const double t = step / 60.0;
            evdiemu::Rect rects[8];
            const int n = scene.step(t, rects, 8);
            int x = 0, y = 0;
            if (scene.pointer(t, &x, &y) && (x != px || y != py)) {
                ++pointer_moves;
                px = x;
                py = y;
            }
            if (step <= 120 && n > 0) ++changing;
            for (int i = 0; i < n; ++i) {
                ASSERT_LE(0, rects[i].x1);
                ASSERT_LE(rects[i].x2, W);
                ASSERT_LE(0, rects[i].y1);
                ASSERT_LE(rects[i].y2, H);
            }
            for (int yy = 0; yy < H; ++yy)
                for (int xx = 0; xx < W; ++xx) {
                    const size_t k = static_cast<size_t>(yy) * W + xx;
                    if (scene.pixels()[k] != before[k] && !inside(rects, n, xx, yy))
                        FAIL() << "step " << step << ": pixel " << xx << "," << yy
                               << " changed unreported";
                }
            before.assign(scene.pixels(), scene.pixels() + W * H);
        }
        EXPECT_GE(changing, c.min_changing);
        EXPECT_LE(changing, c.max_changing);
        EXPECT_EQ(pointer_moves, c.w == sim::Workload::kMouse ? steps : 0);
    }
}

// The tag is read back from what the device decodes, at a quality well below
// the daemon's 90 and over any content; a device told to decode only the tag draws its
// block alone.
TEST(FrameTag, SurvivesCodingAndIsTheOnlyBlockATagOnlyDeviceDraws) {
    constexpr int W = 64, H = 16;  // 2 x 2 blocks; the tag is block 2
    const tb::QuantBlob blob = tb::make_quant_blob(50);
    std::mt19937 rng(7);
    for (int tag : {0, 1, 0x5A, 0xA5, 0xFF}) {
        SCOPED_TRACE(tag);
        std::vector<uint32_t> screen(W * H);
        for (uint32_t &p : screen) p = rng() & 0xFFFFFF;
        const evdiemu::Rect r = sim::paint_tag(screen, W, H, static_cast<uint8_t>(tag));
        EXPECT_EQ(r.x1, 0);
        EXPECT_EQ(r.y1, H - sim::kTagHeight);
        std::vector<tb::StreamRecord> records;
        for (uint32_t block = 0; block < 4; ++block) {
            uint8_t rgb[32 * 8 * 3];
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 32; ++x) {
                    const uint32_t v =
                        screen[static_cast<size_t>((block / 2) * 8 + y) * W + (block % 2) * 32 + x];
                    uint8_t *d = rgb + (y * 32 + x) * 3;
                    d[0] = static_cast<uint8_t>(v >> 16);
                    d[1] = static_cast<uint8_t>(v >> 8);
                    d[2] = static_cast<uint8_t>(v);
                }
            std::string error;
            records.push_back({block, tb::reference_encode_block(rgb, blob, &error)});
            ASSERT_FALSE(records.back().data.empty()) << error;
        }
        const std::vector<uint8_t> stream = tb::build_stream(records, true);
        for (bool tag_only : {false, true}) {
            tb::StreamDecoder decoder;
            std::string error;
            ASSERT_TRUE(decoder.set_quant_blob(1, blob, &error)) << error;
            decoder.set_decode_tag_only(tag_only);
            tb::FrameBuffer shown(W, H);
            const tb::DecodeReport report =
                decoder.decode(stream, tb::TrailingByte::kRequired, shown);
            EXPECT_TRUE(report.violations.empty());
            EXPECT_EQ(report.blocks_drawn, tag_only ? 1u : 4u);
            EXPECT_EQ(sim::read_tag(shown), tag);
        }
    }
    // Too small a screen carries no tag.
    std::vector<uint32_t> tiny(16 * 4);
    const evdiemu::Rect none = sim::paint_tag(tiny, 16, 4, 3);
    EXPECT_EQ(none.x2 - none.x1, 0);
}

TEST(TagClock, PairsEachPaintWithItsFirstShowing) {
    sim::TagClock clock;
    EXPECT_LT(clock.quantile_ms(0.5), 0);  // nothing yet
    clock.shown(9, 1000);                  // never painted
    clock.shown(-1, 1000);                 // no tag
    // Tags 0..99 painted 1 ms apart, each shown (k + 1) ms after its paint,
    // twice: only the first showing counts.
    for (int k = 0; k < 100; ++k) {
        clock.painted(static_cast<uint8_t>(k), k * 1000);
        clock.shown(k, k * 1000 + (k + 1) * 1000);
        clock.shown(k, k * 1000 + (k + 50) * 1000);
    }
    EXPECT_EQ(clock.count(), 100u);
    EXPECT_DOUBLE_EQ(clock.quantile_ms(0.5), 50.0);
    EXPECT_DOUBLE_EQ(clock.quantile_ms(0.99), 99.0);
    EXPECT_DOUBLE_EQ(clock.quantile_ms(0), 1.0);
    // A tag painted again counts from its new paint.
    clock.painted(5, 500000);
    clock.shown(5, 500000 + 200000);
    sim::TagClock all;
    all.add(clock);
    EXPECT_EQ(all.count(), 101u);
    EXPECT_DOUBLE_EQ(all.quantile_ms(1), 200.0);
}

int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void burn(int64_t ns) {
    const int64_t end = thread_cpu_ns() + ns;
    volatile uint64_t x = 1;
    while (thread_cpu_ns() < end) x = x * 6364136223846793005u + 1;
}

// The harness's thread in the program's process burns twice what the
// program's own thread does; only the program's own time is counted.
TEST(OwnCpu, LeavesTheControlThreadOut) {
    std::atomic<int> phase{0};
    std::thread harness([&] {
        pthread_setname_np(pthread_self(), std::string(sim::kControlThreadName).c_str());
        phase.store(1);
        while (phase.load() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        burn(300000000);
        phase.store(3);
        while (phase.load() == 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (phase.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t before = sim::own_cpu_ns(getpid());
    ASSERT_GE(before, 0);
    phase.store(2);
    burn(150000000);
    while (phase.load() != 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t after = sim::own_cpu_ns(getpid());
    phase.store(4);
    harness.join();
    const int64_t own = after - before;
    EXPECT_GE(own, 140000000);
    EXPECT_LT(own, 250000000);  // 450 ms were burnt in all
    EXPECT_LT(sim::own_cpu_ns(999999999), 0);
}

}  // namespace
