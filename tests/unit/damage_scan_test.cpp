// The damage-limited scan against the full scan: random sequences of grabbed
// rectangles, frames dropped for want of a slot, blocks owed after failed
// transfers, mode changes, refreshes, abandoned frames, turns and mirrors go
// through both, and every stream must be the same bytes, on every SIMD
// target of the colour conversion.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "block_convert.h"
#include "capture.h"
#include "damage.h"
#include "screen.h"
#include "state.h"

namespace {

// Each path has a screen of its own, so each keeps its own turned frame.
constexpr int FULL_SCREEN = 0, LIMITED_SCREEN = 1;

TEST(BlockMask, RunsAreTheSetBitsAcrossWordsAndUpToTheEnd) {
    std::mt19937 rng(5);
    for (size_t blocks : {1u, 63u, 64u, 65u, 130u, 200u}) {
        block_mask_t mask;
        ASSERT_TRUE(mask.resize(blocks));
        std::vector<bool> expected(blocks, false);
        for (int k = 0; k < 6; ++k) {
            const auto a = static_cast<uint32_t>(rng() % blocks);
            const auto b = static_cast<uint32_t>(a + rng() % (blocks - a + 3));
            mask.set_range(a, b);
            for (uint32_t i = a; i < std::min<size_t>(b, blocks); ++i) expected[i] = true;
        }
        const auto first = static_cast<uint32_t>(rng() % blocks);
        const auto end = static_cast<uint32_t>(first + rng() % (blocks - first + 1));
        std::vector<bool> seen(blocks, false);
        uint32_t last_end = 0;
        mask.for_each_run(first, end, [&](uint32_t a, uint32_t b) {
            EXPECT_LT(a, b);
            EXPECT_GE(a, std::max(first, last_end));  // in order, never overlapping
            EXPECT_LE(b, end);
            for (uint32_t i = a; i < b; ++i) seen[i] = true;
            last_end = b;
        });
        size_t count = 0;
        for (uint32_t i = 0; i < blocks; ++i) {
            count += expected[i];
            EXPECT_EQ(seen[i], expected[i] && i >= first && i < end) << blocks << " " << i;
        }
        EXPECT_EQ(mask.count(), count);
    }
}

// One device's frame path: a slot, its screen and its stream buffer.
struct Path {
    Path(int slot, int screen_id, bool limited)
        : screen(screen_id), cxt(std::make_unique<thread_context_t>()) {
        prepare_encoder(cxt.get(), slot);
        cxt->damage.limit_scan = limited;
    }
    void mode(int w, int h) {
        ASSERT_TRUE(resize_capture(cxt.get(), w, h));
        stream.assign(cxt->bitstream_size, 0);
    }
    // The frame in `pixels`, as the transfer stage encodes it.
    long frame(std::vector<uint8_t> &pixels, int w, int h) {
        evdi_buffer &b = buffers[screen][0];
        b = evdi_buffer{};
        b.buffer = pixels.data();
        b.width = w;
        b.height = h;
        b.stride = 4 * w;
        const frame_view_t view =
            device_frame(cxt.get(), screen, 0, frame_view_t{pixels.data(), w, h, 4 * w, order});
        return encode_frame(cxt.get(), screen, 0, view, stream.data());
    }
    int screen;
    std::unique_ptr<thread_context_t> cxt;
    std::vector<uint8_t> stream;
    channel_order_e order = channel_order_e::BGRX;
};

struct Rect {
    int x1, y1, x2, y2;
};

class DamageScan : public ::testing::Test {
  protected:
    void SetUp() override {
        create_rgb2ycc_table();
        for (int s : {FULL_SCREEN, LIMITED_SCREEN}) buffersRegistered[s].store(true);
    }
    void TearDown() override {
        for (int s : {FULL_SCREEN, LIMITED_SCREEN}) {
            buffersRegistered[s].store(false);
            buffers[s][0] = evdi_buffer{};
            screen_state[s].turned.reset();
            screen_state[s].turned_size = 0;
        }
    }

    void set_mode(int w, int h) {
        w_ = w;
        h_ = h;
        pixels_.assign(static_cast<size_t>(w) * h * 4, 0);
        for (auto &p : pixels_) p = static_cast<uint8_t>(rng_() % 4 == 0 ? rng_() : 90);
        full_.mode(w, h);
        limited_.mode(w, h);
    }

    Rect random_rect() {
        Rect r{};
        if (rng_() % 12 == 0) return Rect{0, 0, w_, h_};
        const int max_w = rng_() % 3 == 0 ? w_ : std::max(1, w_ / 6);
        const int max_h = rng_() % 3 == 0 ? h_ : std::max(1, h_ / 4);
        r.x1 = static_cast<int>(rng_() % static_cast<unsigned>(w_));
        r.y1 = static_cast<int>(rng_() % static_cast<unsigned>(h_));
        r.x2 = std::min(w_, r.x1 + 1 + static_cast<int>(rng_() % static_cast<unsigned>(max_w)));
        r.y2 = std::min(h_, r.y1 + 1 + static_cast<int>(rng_() % static_cast<unsigned>(max_h)));
        return r;
    }

    // Paints a rectangle (or leaves its pixels: damage without change) and
    // reports it as the grab would.
    void paint(const Rect &r) {
        const unsigned kind = rng_() % 4;
        const uint8_t solid = static_cast<uint8_t>(rng_());
        for (int y = r.y1; y < r.y2; ++y)
            for (int x = r.x1; x < r.x2; ++x) {
                uint8_t *p = &pixels_[(static_cast<size_t>(y) * w_ + x) * 4];
                if (kind == 0) continue;
                for (int c = 0; c < 4; ++c)
                    p[c] = kind == 1 ? solid : static_cast<uint8_t>(rng_() % 3 == 0 ? rng_() : 90);
            }
        limited_.cxt->damage.mark_rect(r.x1, r.y1, r.x2, r.y2);
    }

    // Both paths encode the frame; the streams must be the same.
    void frame() {
        const block_mask_t *scan = limited_.cxt->damage.scan_for(limited_.cxt->current_dirty);
        ASSERT_NE(scan, nullptr);
        scanned_ += scan->count();
        all_ += static_cast<size_t>(limited_.cxt->loop_x) * limited_.cxt->loop_y;
        const long a = full_.frame(pixels_, w_, h_);
        const long b = limited_.frame(pixels_, w_, h_);
        ASSERT_EQ(a, b) << "frame " << frames_;
        if (a > 0) {
            ++sent_;
            ASSERT_EQ(
                std::memcmp(full_.stream.data(), limited_.stream.data(), static_cast<size_t>(a)), 0)
                << "frame " << frames_;
        }
        ++frames_;
    }

    void set_turn(uint8_t rotate, uint8_t mirror) {
        for (Path *p : {&full_, &limited_}) {
            p->cxt->rotate_state.store(rotate);
            p->cxt->mirror_state = mirror;
        }
    }

    void run_sequence(unsigned seed, int steps) {
        static constexpr int kModes[][2] = {{100, 30},  {200, 72}, {333, 50},
                                            {1000, 40}, {33, 9},   {64, 24}};
        rng_.seed(seed);
        set_turn(MONITOR_ROTATE_NORMAL, MIRROR_DISABLE);
        const auto &m0 = kModes[rng_() % std::size(kModes)];
        set_mode(m0[0], m0[1]);
        for (int step = 0; step < steps && !HasFatalFailure(); ++step) {
            const unsigned pick = rng_() % 100;
            if (pick < 62) {
                const unsigned rects = 1 + rng_() % 4;
                for (unsigned i = 0; i < rects; ++i) paint(random_rect());
                if (rng_() % 5 != 0) frame();  // else dropped: no free transfer slot
            } else if (pick < 70) {
                // A transfer did not arrive whole: its blocks are owed.
                const size_t blocks = static_cast<size_t>(full_.cxt->loop_x) * full_.cxt->loop_y;
                for (int k = 0; k < 3; ++k) {
                    const auto block = static_cast<uint32_t>(rng_() % blocks);
                    forget_block(full_.cxt.get(), block);
                    forget_block(limited_.cxt.get(), block);
                }
                frame();
            } else if (pick < 74) {
                const auto &m = kModes[rng_() % std::size(kModes)];
                set_mode(m[0], m[1]);
                frame();
            } else if (pick < 82) {
                static constexpr uint8_t kRotations[] = {MONITOR_ROTATE_NORMAL, MONITOR_ROTATE_180,
                                                         MONITOR_ROTATE_90};
                set_turn(kRotations[rng_() % 3], rng_() % 2 == 0 ? MIRROR_ENABLE : MIRROR_DISABLE);
                frame();
            } else if (pick < 85) {
                refill_stores(full_.cxt.get());
                refill_stores(limited_.cxt.get());
                frame();
            } else if (pick < 88) {
                // A mode change begins while the frame is encoded: both
                // abandon it, and capture goes on without a new mode.
                paint(random_rect());
                for (int s : {FULL_SCREEN, LIMITED_SCREEN}) buffersRegistered[s].store(false);
                EXPECT_EQ(full_.frame(pixels_, w_, h_), -1);
                EXPECT_EQ(limited_.frame(pixels_, w_, h_), -1);
                for (int s : {FULL_SCREEN, LIMITED_SCREEN}) buffersRegistered[s].store(true);
            } else if (pick < 92) {
                const channel_order_e order =
                    rng_() % 2 == 0 ? channel_order_e::BGRX : channel_order_e::RGBX;
                if (order != full_.order) {
                    // A new pixel format: EVDI sends a mode change.
                    full_.order = limited_.order = order;
                    set_mode(w_, h_);
                }
                frame();
            } else {
                frame();  // a frame sent again with no new damage
            }
        }
    }

    Path full_{0, FULL_SCREEN, false};
    Path limited_{1, LIMITED_SCREEN, true};
    std::mt19937 rng_;
    std::vector<uint8_t> pixels_;
    int w_ = 0, h_ = 0;
    size_t frames_ = 0, sent_ = 0, scanned_ = 0, all_ = 0;
};

TEST_F(DamageScan, StreamsEqualTheFullScanOnEverySimdTarget) {
    hwy::SetSupportedTargetsForTest(0);
    std::vector<int64_t> targets;
    for (int64_t bits = block_convert_detail::compiled_targets() & hwy::SupportedTargets();
         bits != 0; bits &= bits - 1)
        targets.push_back(bits & -bits);
    ASSERT_FALSE(targets.empty());
    for (int64_t target : targets) {
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        for (unsigned seed = 1; seed <= 12 && !HasFatalFailure(); ++seed) {
            SCOPED_TRACE(seed);
            run_sequence(seed, 70);
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    // The sequences sent frames, and the limited scan skipped most blocks.
    EXPECT_GT(sent_, frames_ / 2);
    EXPECT_LT(scanned_, all_ * 2 / 3);
}

}  // namespace
