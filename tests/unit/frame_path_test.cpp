// encode_frame with any number of threads, and the stores' comparison cache
// across pre-fills: the streams must be those of the plain frame path.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "capture.h"
#include "screen.h"
#include "state.h"
#include "stream.h"

namespace {

constexpr int SCREEN = 1;

// A device slot right after a mode change.
struct Device {
    Device(int slot, int w, int h)
        : width(w), height(h), cxt(std::make_unique<thread_context_t>()) {
        prepare_encoder(cxt.get(), slot);
        EXPECT_TRUE(resize_capture(cxt.get(), w, h));
        stream.assign(cxt->bitstream_size, 0);
    }
    std::vector<uint8_t> frame(const std::vector<uint8_t> &pixels, int threads) {
        const frame_view_t view{pixels.data(), width, height, width * 4};
        const long len = encode_frame(cxt.get(), SCREEN, 0, view, stream.data(), threads);
        EXPECT_GE(len, 0);
        return std::vector<uint8_t>(stream.begin(), stream.begin() + std::max(len, 0L));
    }
    int width, height;
    std::unique_ptr<thread_context_t> cxt;
    std::vector<uint8_t> stream;
};

class FramePathThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        create_rgb2ycc_table();
        buffersRegistered[SCREEN].store(true);
    }
    void TearDown() override { buffersRegistered[SCREEN].store(false); }
};

// 200 x 72: a partial last block column and nine block rows, so the bands
// are 2, 2, 2 and 3 rows. Changes come and go; every thread count gives the
// stream of one thread, frame by frame.
TEST_F(FramePathThreads, EveryThreadCountGivesTheSameStreams) {
    const int w = 200, h = 72;
    std::vector<Device> devices;
    for (int slot = 0; slot < 4; ++slot) devices.emplace_back(slot, w, h);
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
    std::mt19937 rng(9);
    for (auto &p : pixels) p = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : 60);
    size_t sent = 0, empty = 0;
    for (int n = 0; n < 12; ++n) {
        if (n % 4 == 3) {
            for (int k = 0; k < 5; ++k) pixels[rng() % pixels.size()] ^= 0x21;
        }
        const std::vector<uint8_t> one = devices[0].frame(pixels, 1);
        for (int threads = 2; threads <= 4; ++threads)
            EXPECT_EQ(devices[static_cast<size_t>(threads - 1)].frame(pixels, threads), one)
                << "frame " << n << ", " << threads << " threads";
        (one.empty() ? empty : sent) += 1;
    }
    EXPECT_GT(sent, 4u);
    EXPECT_GT(empty, 2u);
}

// Content that converts to the first store's pre-fill (Y = Cb = Cr = 0xAA):
// once both stores hold it, the cache knows them equal; a pre-fill must make
// the next two frames carry every block again, as after a mode change.
TEST_F(FramePathThreads, APreFillSendsEveryBlockAgainWhateverTheCacheKnew) {
    const int w = 64, h = 16;
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = 244;      // blue
        pixels[i + 1] = 125;  // green
        pixels[i + 2] = 229;  // red
    }
    Device d(0, w, h);
    const std::vector<uint8_t> all = d.frame(pixels, 4);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(d.frame(pixels, 4), all);
    EXPECT_TRUE(d.frame(pixels, 4).empty());
    EXPECT_TRUE(d.frame(pixels, 4).empty());
    ASSERT_EQ(std::memcmp(d.cxt->dirty_block[0].get(), d.cxt->dirty_block[1].get(), 4 * 768), 0);
    ASSERT_EQ(d.cxt->dirty_block[0][0], 0xAA);

    refill_stores(d.cxt.get());
    EXPECT_EQ(d.frame(pixels, 1), all);
    EXPECT_EQ(d.frame(pixels, 1), all);
    EXPECT_TRUE(d.frame(pixels, 1).empty());

    // A mode change starts the cache afresh as well.
    ASSERT_TRUE(resize_capture(d.cxt.get(), w, h));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d.cxt->stores_equal[i], 0);
    EXPECT_EQ(d.frame(pixels, 4), all);
}

}  // namespace
