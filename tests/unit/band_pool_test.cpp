// The persistent band workers: every job runs once, on whatever number of
// threads, with the same records as the jobs run one after another; frame
// after frame without losing a hand-over; and pools that go away.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "band_pool.h"
#include "jpeg_enc.h"
#include "state.h"
#include "stream.h"

namespace {

constexpr int kBands = 4;
constexpr int kLoopX = 3, kLoopY = 8;  // 96 x 64 pixels, two block rows per band

class BandPoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cxt_ = std::make_unique<thread_context_t>();
        Initialize(&cxt_->cinfo, 90);
        cxt_->cinfo.Ximage = 32;
        cxt_->cinfo.Yimage = 8;
        cxt_->loop_x = kLoopX;
        cxt_->loop_y = kLoopY;
        for (auto &store : stores_) store.resize(kLoopX * kLoopY * BLOCK_BYTES);
        pixels_.resize(96 * 64 * 4);
        buffersRegistered[0].store(true);
    }
    void TearDown() override { buffersRegistered[0].store(false); }

    void new_picture(unsigned seed) {
        std::mt19937 rng(seed);
        for (auto &p : pixels_) p = static_cast<uint8_t>(rng() % 5 == 0 ? rng() : 90);
    }
    // Stores as a mode change leaves them: every block is sent.
    void prefill() {
        std::memset(stores_[0].data(), 0xAA, stores_[0].size());
        std::memset(stores_[1].data(), 0xAB, stores_[1].size());
    }

    struct Frame {
        jpegenc_param_t jobs[kBands];
        std::vector<uint8_t> areas[kBands];
    };
    void prepare(Frame &f) { prepare(f, stores_, 0); }
    // Jobs over `stores` (two of them), store `current` current.
    void prepare(Frame &f, std::vector<uint8_t> *stores, int current) {
        const frame_view_t view{pixels_.data(), 96, 64, 96 * 4};
        for (int i = 0; i < kBands; ++i) {
            f.areas[i].assign(2 * kLoopX * MAX_RECORD + 16, 0xCD);
            f.jobs[i] = jpegenc_param_t{cxt_.get(),
                                        0,
                                        0,
                                        2 * i * kLoopX,
                                        2 * (i + 1) * kLoopX,
                                        stores[current].data(),
                                        stores[1 - current].data(),
                                        0,
                                        reinterpret_cast<BlockHeader_t *>(f.areas[i].data()),
                                        view,
                                        f.areas[i].data() + f.areas[i].size() - 16};
        }
    }
    static void expect_same(const Frame &a, const Frame &b) {
        for (int i = 0; i < kBands; ++i) {
            ASSERT_EQ(a.jobs[i].streamlen, b.jobs[i].streamlen) << "band " << i;
            ASSERT_EQ(a.areas[i], b.areas[i]) << "band " << i;
            ASSERT_EQ(
                reinterpret_cast<const uint8_t *>(a.jobs[i].current_header) - a.areas[i].data(),
                reinterpret_cast<const uint8_t *>(b.jobs[i].current_header) - b.areas[i].data());
        }
    }

    std::unique_ptr<thread_context_t> cxt_;
    std::vector<uint8_t> stores_[2];
    std::vector<uint8_t> pixels_;
};

TEST_F(BandPoolTest, AnyNumberOfThreadsGivesTheRecordsOfOneThread) {
    new_picture(1);
    prefill();
    Frame expected;
    prepare(expected);
    for (auto &job : expected.jobs) encode_band(&job);
    size_t total = 0;
    for (const auto &job : expected.jobs) total += job.streamlen;
    ASSERT_GT(total, 0u);

    band_pool pool;
    for (int threads = 1; threads <= BAND_POOL_THREADS; ++threads) {
        SCOPED_TRACE(threads);
        prefill();
        Frame got;
        prepare(got);
        ASSERT_TRUE(pool.run(got.jobs, kBands, threads));
        expect_same(got, expected);
    }
}

// Many frames in a row through one pool, the picture changing now and then
// and the stores swapping roles, against the same frames run one after
// another on stores of their own: no hand-over is lost and no job runs twice
// (a second run would find its blocks unchanged).
TEST_F(BandPoolTest, FrameAfterFrame) {
    prefill();
    std::vector<uint8_t> plain[2] = {stores_[0], stores_[1]};
    band_pool pool;
    for (int frame = 0; frame < 300; ++frame) {
        if (frame % 7 == 0) new_picture(static_cast<unsigned>(frame));
        Frame got, expected;
        prepare(got, stores_, frame & 1);
        prepare(expected, plain, frame & 1);
        for (auto &job : expected.jobs) encode_band(&job);
        ASSERT_TRUE(pool.run(got.jobs, kBands, 1 + frame % BAND_POOL_THREADS));
        SCOPED_TRACE(frame);
        expect_same(got, expected);
        if (HasFatalFailure()) return;
    }
}

// Two threads sharing one pool (two contexts with the same slot number)
// take turns frame by frame; each gets its own records.
TEST_F(BandPoolTest, TwoCallersTakeTurns) {
    new_picture(5);
    prefill();
    Frame expected;
    std::vector<uint8_t> plain[2] = {stores_[0], stores_[1]};
    prepare(expected, plain, 0);
    for (auto &job : expected.jobs) encode_band(&job);

    band_pool pool;
    int mismatches[2] = {0, 0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 2; ++c) {
        callers.emplace_back([&, c] {
            for (int n = 0; n < 40; ++n) {
                std::vector<uint8_t> mine[2] = {stores_[0], stores_[1]};
                Frame got;
                prepare(got, mine, 0);
                if (!pool.run(got.jobs, kBands, BAND_POOL_THREADS)) ++mismatches[c];
                for (int i = 0; i < kBands; ++i)
                    if (got.jobs[i].streamlen != expected.jobs[i].streamlen ||
                        got.areas[i] != expected.areas[i])
                        ++mismatches[c];
            }
        });
    }
    for (auto &t : callers) t.join();
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
}

TEST_F(BandPoolTest, AnAbandonedFrameReportsNothing) {
    new_picture(3);
    prefill();
    buffersRegistered[0].store(false);
    band_pool pool;
    Frame got;
    prepare(got);
    ASSERT_TRUE(pool.run(got.jobs, kBands, BAND_POOL_THREADS));
    for (int i = 0; i < kBands; ++i) {
        EXPECT_EQ(got.jobs[i].streamlen, 0u);
        EXPECT_EQ(reinterpret_cast<uint8_t *>(got.jobs[i].current_header), got.areas[i].data());
    }
}

// Pools come and go with their workers started; the device pools are there
// for every slot.
TEST_F(BandPoolTest, PoolsGoAwayWithTheirWorkers) {
    new_picture(4);
    for (int n = 0; n < 20; ++n) {
        band_pool pool;
        prefill();
        Frame got;
        prepare(got);
        ASSERT_TRUE(pool.run(got.jobs, kBands, BAND_POOL_THREADS));
        EXPECT_GT(got.jobs[0].streamlen, 0u);
    }
    for (int slot = 0; slot < MAX_DEVICES; ++slot)
        EXPECT_NE(&device_band_pool(slot), &device_band_pool((slot + 1) % MAX_DEVICES));
}

}  // namespace
