// Transfer stage: band split, the frame path from captured pixels to a
// stream the device decodes, turning and mirroring, transfer slots and
// their completions.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "capture.h"
#include "owed_blocks.h"
#include "registry.h"
#include "screen.h"
#include "stream.h"
#include "stream_decoder.h"
#include "usbfs_budget.h"

namespace {

using torvel::testbed::DecodeReport;
using torvel::testbed::FrameBuffer;
using torvel::testbed::StreamDecoder;
using torvel::testbed::TrailingByte;

TEST(BandRows, QuartersWithTheRemainderInTheLastBand) {
    auto rows = [](int loop_y) {
        std::vector<std::pair<int, int>> out;
        for (int band = 0; band < ENCODER_WORKERS; ++band) {
            int first = -1, end = -1;
            band_rows(loop_y, band, &first, &end);
            out.emplace_back(first, end);
        }
        return out;
    };
    using V = std::vector<std::pair<int, int>>;
    EXPECT_EQ(rows(135), (V{{0, 33}, {33, 66}, {66, 99}, {99, 135}}));
    EXPECT_EQ(rows(96), (V{{0, 24}, {24, 48}, {48, 72}, {72, 96}}));
    EXPECT_EQ(rows(7), (V{{0, 1}, {1, 2}, {2, 3}, {3, 7}}));
    EXPECT_EQ(rows(4), (V{{0, 1}, {1, 2}, {2, 3}, {3, 4}}));
    // Fewer rows than workers: each row to exactly one band.
    EXPECT_EQ(rows(3), (V{{0, 1}, {1, 2}, {2, 3}, {3, 3}}));
    EXPECT_EQ(rows(1), (V{{0, 1}, {1, 1}, {1, 1}, {1, 1}}));
}

// Desktop-like content: a gradient backdrop, flat windows with title bars
// and dark strokes on light ground.
void paint_desktop(std::vector<uint8_t> &px, int w, int h, int seed) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = &px[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = static_cast<uint8_t>(90 + 80 * y / h);
            p[1] = static_cast<uint8_t>(60 + 40 * x / w);
            p[2] = static_cast<uint8_t>(30 + seed * 7);
            p[3] = 0;
        }
    std::mt19937 rng(static_cast<unsigned>(seed));
    for (int win = 0; win < 6; ++win) {
        const int x0 = static_cast<int>(rng() % static_cast<unsigned>(w));
        const int y0 = static_cast<int>(rng() % static_cast<unsigned>(h));
        const int x1 = std::min(w, x0 + 40 + static_cast<int>(rng() % 400));
        const int y1 = std::min(h, y0 + 20 + static_cast<int>(rng() % 300));
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                uint8_t *p = &px[(static_cast<size_t>(y) * w + x) * 4];
                const bool title = y < y0 + 12;
                const bool stroke = !title && (y - y0) % 10 == 5 && (x - x0) % 7 < 5;
                p[0] = title ? 160 : stroke ? 40 : 235;
                p[1] = title ? 90 : stroke ? 40 : 235;
                p[2] = title ? 40 : stroke ? 40 : 230;
            }
    }
}

void paint_noise(std::vector<uint8_t> &px, int seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    for (auto &b : px) b = static_cast<uint8_t>(rng());
}

FrameBuffer to_rgb(const std::vector<uint8_t> &px, int w, int h) {
    FrameBuffer f(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t *s = &px[(static_cast<size_t>(y) * w + x) * 4];
            uint8_t *d = f.pixel(x, y);
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    return f;
}

// Block numbers of the records of a stream, and whether only the last has
// the end bit.
struct Records {
    std::vector<uint32_t> blocks;
    bool end_on_last_only = true;
};

Records records_of(const uint8_t *stream, size_t len) {
    Records r;
    size_t at = 0;
    while (at + 4 <= len) {
        const uint32_t word = load_block_header(stream + at);
        if (word == FILL_WORD) break;
        const auto h = torvel::testbed::unpack_block_header(word);
        r.blocks.push_back(h.block_index);
        at += 4 + h.data_bytes();
        const bool last = at + 4 > len || load_block_header(stream + at) == FILL_WORD;
        if (static_cast<bool>(h.end) != last) r.end_on_last_only = false;
    }
    return r;
}

// Stream length of a stream whose length is not known: records, then fill
// words up to the next multiple of 128.
size_t stream_length(const uint8_t *stream) {
    size_t at = 0;
    for (;;) {
        const auto h = torvel::testbed::unpack_block_header(load_block_header(stream + at));
        at += 4 + h.data_bytes();
        if (h.end) break;
    }
    return at + 4 * fill_word_count(at);
}

// A device slot and its screen right after a mode change, as the event
// thread leaves them, with the device's decoder beside it.
class FramePath : public ::testing::Test {
  protected:
    static constexpr int SCREEN = 2;

    void open(int w, int h) {
        create_rgb2ycc_table();
        w_ = w;
        h_ = h;
        cxt_ = std::make_unique<thread_context_t>();
        prepare_encoder(cxt_.get(), 0);
        ASSERT_TRUE(resize_capture(cxt_.get(), w, h));
        buffersRegistered[SCREEN].store(true);
        // Exactly the worst case, so a sanitizer build sees any overrun.
        stream_.assign(cxt_->bitstream_size, 0);
        pixels_.assign(static_cast<size_t>(w) * h * 4, 0);
        shown_.reset(w, h);
        ASSERT_TRUE(decoder_.set_quant_blob(1, torvel::testbed::make_quant_blob(90), nullptr));
    }
    void TearDown() override { buffersRegistered[SCREEN].store(false); }

    // One captured frame through the transfer stage's encoding; the stream
    // is decoded onto what the device shows.
    long frame() {
        const frame_view_t view{pixels_.data(), w_, h_, w_ * 4};
        const long len = encode_frame(cxt_.get(), SCREEN, 0, view, stream_.data());
        if (len > 0) {
            EXPECT_EQ(len % 128, 0);
            EXPECT_LE(static_cast<size_t>(len) + 1, stream_.size());
            std::vector<uint8_t> transfer(stream_.begin(), stream_.begin() + len + 1);
            last_ = decoder_.decode(transfer, TrailingByte::kRequired, shown_);
            EXPECT_TRUE(last_.clean()) << (last_.violations.empty() ? last_.decode_messages.front()
                                                                    : last_.violations.front());
            records_ = records_of(stream_.data(), static_cast<size_t>(len));
            EXPECT_TRUE(records_.end_on_last_only);
        } else {
            records_ = Records{};
        }
        return len;
    }

    std::vector<uint32_t> all_blocks() const {
        std::vector<uint32_t> all(static_cast<size_t>(cxt_->loop_x) * cxt_->loop_y);
        for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint32_t>(i);
        return all;
    }

    int w_ = 0, h_ = 0;
    std::unique_ptr<thread_context_t> cxt_;
    std::vector<uint8_t> stream_, pixels_;
    StreamDecoder decoder_;
    FrameBuffer shown_;
    DecodeReport last_;
    Records records_;
};

class FramePathModes : public FramePath,
                       public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(FramePathModes, TheDeviceShowsTheScreenAndStillContentStopsTravelling) {
    const auto [w, h] = GetParam();
    open(w, h);
    paint_desktop(pixels_, w, h, 1);
    ASSERT_GT(frame(), 0);
    EXPECT_EQ(records_.blocks, all_blocks());
    EXPECT_GE(torvel::testbed::psnr(shown_, to_rgb(pixels_, w, h)), 35.0);
    // The pre-fill sends everything once more, then nothing.
    ASSERT_GT(frame(), 0);
    EXPECT_EQ(records_.blocks, all_blocks());
    EXPECT_EQ(frame(), 0);
    EXPECT_EQ(frame(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, FramePathModes,
                         ::testing::Values(std::pair{1920, 1080}, std::pair{1366, 768},
                                           std::pair{1024, 600}, std::pair{100, 20},
                                           std::pair{33, 9}, std::pair{64, 8}));

TEST_F(FramePath, APaintedRectangleSendsItsBlocksTwiceThenNothing) {
    open(1366, 768);
    paint_desktop(pixels_, w_, h_, 2);
    ASSERT_GT(frame(), 0);
    ASSERT_GT(frame(), 0);
    ASSERT_EQ(frame(), 0);
    // x 100..170, y 700..709: block columns 3..5, rows 87..88, 43 columns.
    for (int y = 700; y < 710; ++y)
        for (int x = 100; x < 171; ++x) pixels_[(static_cast<size_t>(y) * w_ + x) * 4 + 1] ^= 0x55;
    const std::vector<uint32_t> expected{87 * 43 + 3, 87 * 43 + 4, 87 * 43 + 5,
                                         88 * 43 + 3, 88 * 43 + 4, 88 * 43 + 5};
    ASSERT_GT(frame(), 0);
    EXPECT_EQ(records_.blocks, expected);
    ASSERT_GT(frame(), 0);
    EXPECT_EQ(records_.blocks, expected);
    EXPECT_EQ(frame(), 0);
    EXPECT_GE(torvel::testbed::psnr(shown_, to_rgb(pixels_, w_, h_)), 35.0);
}

TEST_F(FramePath, ChangesInTheFirstBandOnlyStillEndTheStream) {
    open(1920, 1080);
    paint_desktop(pixels_, w_, h_, 3);
    frame();
    frame();
    ASSERT_EQ(frame(), 0);
    pixels_[0] ^= 0xFF;                      // block 0
    pixels_[(10 * 1920 + 700) * 4] ^= 0xFF;  // row 1, column 21
    ASSERT_GT(frame(), 0);
    EXPECT_EQ(records_.blocks, (std::vector<uint32_t>{0, 81}));
}

TEST_F(FramePath, NoiseAtEveryBlockFitsTheWorstCaseBuffer) {
    open(1366, 30);
    for (int seed = 1; seed <= 3; ++seed) {
        paint_noise(pixels_, seed);
        ASSERT_GT(frame(), 0);
        EXPECT_EQ(records_.blocks, all_blocks());
        EXPECT_EQ(last_.blocks_drawn, all_blocks().size());
    }
}

TEST_F(FramePath, AbandonedWhenTheScreenIsUnregisteredMeanwhile) {
    open(256, 64);
    paint_desktop(pixels_, w_, h_, 4);
    buffersRegistered[SCREEN].store(false);
    const frame_view_t view{pixels_.data(), w_, h_, w_ * 4};
    EXPECT_EQ(encode_frame(cxt_.get(), SCREEN, 0, view, stream_.data()), -1);
}

// flip_framebuffer on an EVDI buffer of screen 1.
class Flip : public ::testing::Test {
  protected:
    static constexpr int SCREEN = 1;
    void SetUp() override {
        for (int i = 0; i < W * H; ++i) {
            const auto v = static_cast<uint32_t>(0x01020300 + i);
            std::memcpy(&pixels_[4 * i], &v, 4);
        }
        buffers[SCREEN][1] = evdi_buffer{1, pixels_, W, H, W * 4, nullptr, 0};
    }
    void TearDown() override { buffers[SCREEN][1] = evdi_buffer{}; }
    uint32_t at(const frame_view_t &f, int x, int y) const {
        uint32_t v;
        std::memcpy(&v, f.pixels + y * f.stride + 4 * x, 4);
        return v;
    }
    static constexpr int W = 5, H = 3;
    uint8_t pixels_[W * H * 4];
};

TEST_F(Flip, TurnBy180ExchangesAndReversesRowsIntoASeparateFrame) {
    uint8_t before[sizeof pixels_];
    std::memcpy(before, pixels_, sizeof pixels_);
    const frame_view_t f = flip_framebuffer(SCREEN, 1, true);
    ASSERT_NE(f.pixels, nullptr);
    ASSERT_NE(f.pixels, pixels_);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            EXPECT_EQ(at(f, x, y), 0x01020300u + (H - 1 - y) * W + (W - 1 - x)) << x << "," << y;
    EXPECT_EQ(std::memcmp(before, pixels_, sizeof pixels_), 0);
}

TEST_F(Flip, MirrorReversesEachRowInPlace) {
    const frame_view_t f = flip_framebuffer(SCREEN, 1, false);
    ASSERT_NE(f.pixels, nullptr);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            EXPECT_EQ(at(f, x, y), 0x01020300u + y * W + (W - 1 - x)) << x << "," << y;
}

// The transfer stage on device slot 1 serving screen 3, without a USB
// handle (so every submission fails) and without EVDI.
class TransferStage : public ::testing::Test {
  protected:
    static constexpr int SLOT = 1, SCREEN = 3, W = 64, H = 16;
    void SetUp() override {
        create_rgb2ycc_table();
        registry_reset();
        device_info[SCREEN].index.store(SLOT);
        cxt_ = &g_context[SLOT];
        prepare_encoder(cxt_, SLOT);
        cxt_->usb_handle = nullptr;
        cxt_->usb_error.store(0);
        ASSERT_TRUE(resize_capture(cxt_, W, H));
        // Smooth, and different from its mirror and its turn.
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                uint8_t *p = &pixels_[(y * W + x) * 4];
                p[0] = static_cast<uint8_t>(12 * y + x);
                p[1] = static_cast<uint8_t>(4 * x);
                p[2] = static_cast<uint8_t>(255 - 15 * y);
                p[3] = 0;
            }
        buffers[SCREEN][0] = evdi_buffer{0, pixels_, W, H, W * 4, nullptr, 0};
        buffersRegistered[SCREEN].store(true);
    }
    void TearDown() override {
        buffersRegistered[SCREEN].store(false);
        buffers[SCREEN][0] = evdi_buffer{};
        for (auto &t : xfer_info[SLOT]) {
            t.occupied.store(false);
            t.part_count = t.next_part = t.parts_open = 0;
        }
        owed_blocks[SLOT].take(owed_blocks_t::MAX_BLOCKS, [](uint32_t) {});
        cxt_->rotate_state.store(0);
        cxt_->mirror_state = 0;
        screen_state[SCREEN].resend = false;
        registry_reset();
    }
    // What the device shows from the stream left in transfer slot 0.
    FrameBuffer shown_from_slot0() {
        const uint8_t *s = xfer_info[SLOT][0].stream.get();
        const size_t len = stream_length(s);
        std::vector<uint8_t> transfer(s, s + len);
        StreamDecoder decoder;
        decoder.set_quant_blob(1, torvel::testbed::make_quant_blob(90), nullptr);
        FrameBuffer shown(W, H);
        EXPECT_TRUE(decoder.decode(transfer, TrailingByte::kOptional, shown).clean());
        return shown;
    }
    thread_context_t *cxt_ = nullptr;
    uint8_t pixels_[W * H * 4];
};

TEST_F(TransferStage, FailedSubmissionCountsAnErrorFreesTheSlotAndOwesItsBlocks) {
    testing::internal::CaptureStdout();
    screen_transfer(SCREEN, 0);
    screen_transfer(SCREEN, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("screen_transfer: USB write failed@Screen#3!\n"), std::string::npos);
    EXPECT_EQ(cxt_->usb_error.load(), 2);
    EXPECT_EQ(cxt_->current_dirty, 0);  // two frames encoded
    for (auto &t : xfer_info[SLOT]) EXPECT_FALSE(t.occupied.load());
    EXPECT_EQ(xfer_info[SLOT][0].screen_id, SCREEN);
    EXPECT_EQ(xfer_info[SLOT][0].cxt, cxt_);
    // Every block of the grid went out in the failed submissions.
    std::set<uint32_t> owed;
    owed_blocks[SLOT].take(owed_blocks_t::MAX_BLOCKS, [&](uint32_t b) { owed.insert(b); });
    EXPECT_EQ(owed.size(), static_cast<size_t>(cxt_->loop_x * cxt_->loop_y));
}

TEST_F(TransferStage, NothingChangedTakesNoSlotButAdvancesTheStores) {
    testing::internal::CaptureStdout();
    screen_transfer(SCREEN, 0);
    screen_transfer(SCREEN, 0);
    screen_transfer(SCREEN, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(cxt_->usb_error.load(), 2);  // the third frame sent nothing
    EXPECT_EQ(cxt_->current_dirty, 1);
    EXPECT_FALSE(screen_state[SCREEN].resend);
}

TEST_F(TransferStage, FourTransfersInFlightDropTheFrameBeforeEncoding) {
    for (auto &t : xfer_info[SLOT]) t.occupied.store(true);
    screen_transfer(SCREEN, 0);
    EXPECT_EQ(cxt_->current_dirty, 0);
    EXPECT_EQ(cxt_->usb_error.load(), 0);
    // The screen is sent again on the next tick even without new damage.
    EXPECT_TRUE(screen_state[SCREEN].resend);
}

TEST_F(TransferStage, TurnWinsOverMirrorAndTheEvdiBufferStaysUntouched) {
    uint8_t before[sizeof pixels_];
    std::memcpy(before, pixels_, sizeof pixels_);
    cxt_->rotate_state.store(MONITOR_ROTATE_180);
    cxt_->mirror_state = MIRROR_ENABLE;
    testing::internal::CaptureStdout();
    screen_transfer(SCREEN, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::memcmp(before, pixels_, sizeof pixels_), 0);

    std::vector<uint8_t> turned(sizeof pixels_);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            std::memcpy(&turned[(y * W + x) * 4], &pixels_[((H - 1 - y) * W + (W - 1 - x)) * 4], 4);
    EXPECT_GE(torvel::testbed::psnr(shown_from_slot0(), to_rgb(turned, W, H)), 30.0);

    // The mirrored frame alone, for contrast.
    cxt_->rotate_state.store(MONITOR_ROTATE_NORMAL);
    std::vector<uint8_t> mirrored(sizeof pixels_);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            std::memcpy(&mirrored[(y * W + x) * 4], &pixels_[(y * W + (W - 1 - x)) * 4], 4);
    testing::internal::CaptureStdout();
    screen_transfer(SCREEN, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_GE(torvel::testbed::psnr(shown_from_slot0(), to_rgb(mirrored, W, H)), 30.0);
}

TEST_F(TransferStage, UnknownScreenChangesNothing) {
    registry_reset();
    screen_transfer(SCREEN, 0);
    EXPECT_EQ(cxt_->current_dirty, 0);
    EXPECT_EQ(cxt_->usb_error.load(), 0);
}

// Completions of one stream of one record (block 77) in transfer slot 3 of
// device slot 2, as libusb reports them.
class Completions : public ::testing::Test {
  protected:
    static constexpr int DEV = 2;
    void SetUp() override {
        cxt_.id = DEV;
        cxt_.usb_error.store(0);
        slot_.cxt = &cxt_;
        slot_.screen_id = 1;
        store_block_header(stream_, block_header_word(8, 77, true));
        std::memset(stream_ + 12, 0xFF, sizeof stream_ - 12);
        for (size_t i = 12; i < 128; i += 4) store_block_header(stream_ + i, FILL_WORD);
        slot_.parts = std::make_unique<stream_part_t[]>(1);
        slot_.sent_at = std::make_unique<std::chrono::steady_clock::time_point[]>(1);
        slot_.parts[0] = stream_part_t{0, 128, &slot_};
        device_output[DEV].share = device_output[DEV].budget = 8u << 20;
        device_output[DEV].halted = false;
    }
    void TearDown() override {
        owed();
        slot_.stream.reset();
        slot_.parts.reset();
        slot_.sent_at.reset();
    }
    // A transfer submitted `age` ago ends with `status`, `actual` of its
    // 129 bytes sent.
    void complete(libusb_transfer_status status, int actual = 129,
                  std::chrono::milliseconds age = std::chrono::milliseconds(20)) {
        slot_.occupied.store(true);
        slot_.stream = std::make_unique<uint8_t[]>(sizeof stream_);
        std::memcpy(slot_.stream.get(), stream_, sizeof stream_);
        slot_.part_count = slot_.next_part = slot_.parts_open = 1;
        slot_.sent_at[0] = std::chrono::steady_clock::now() - age;
        device_output[DEV].transfers_in_flight = 1;
        device_output[DEV].in_flight = 1000;
        libusb_transfer *xfr = libusb_alloc_transfer(0);
        ASSERT_NE(xfr, nullptr);
        xfr->user_data = &slot_.parts[0];
        xfr->status = status;
        xfr->length = 129;
        xfr->actual_length = actual;
        xfr_complete(xfr);
        EXPECT_FALSE(slot_.occupied.load());
    }
    std::vector<uint32_t> owed() {
        std::vector<uint32_t> got;
        owed_blocks[DEV].take(owed_blocks_t::MAX_BLOCKS, [&](uint32_t b) { got.push_back(b); });
        return got;
    }
    thread_context_t &cxt_ = g_context[DEV];
    transfer_info_t &slot_ = xfer_info[DEV][3];
    uint8_t stream_[256] = {};
};

// A completion frees its slot once the frame's last stream is done, keeps
// the error count (a stall is the endpoint's, not the device's), owes the
// blocks of a transfer that did not arrive whole and marks the endpoint for
// a clear after a stall or a short completion.
TEST_F(Completions, FreeTheSlotKeepTheErrorCountAndOweWhatWasLost) {
    testing::internal::CaptureStdout();
    complete(LIBUSB_TRANSFER_TIMED_OUT, 0);
    EXPECT_EQ(owed(), std::vector<uint32_t>{77});
    EXPECT_FALSE(device_output[DEV].halted);
    complete(LIBUSB_TRANSFER_STALL, 0);
    EXPECT_EQ(cxt_.usb_error.load(), 1);
    EXPECT_TRUE(device_output[DEV].halted);
    EXPECT_EQ(owed(), std::vector<uint32_t>{77});
    device_output[DEV].halted = false;
    complete(LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(cxt_.usb_error.load(), 0);
    EXPECT_TRUE(owed().empty());
    EXPECT_EQ(device_output[DEV].transfers_in_flight, 0);
    // Completed, but short: lost all the same, and the endpoint looked at.
    complete(LIBUSB_TRANSFER_COMPLETED, 0);
    EXPECT_EQ(owed(), std::vector<uint32_t>{77});
    EXPECT_TRUE(device_output[DEV].halted);
    device_output[DEV].halted = false;
    complete(LIBUSB_TRANSFER_NO_DEVICE);
    complete(LIBUSB_TRANSFER_ERROR);
    complete(LIBUSB_TRANSFER_OVERFLOW);
    EXPECT_EQ(cxt_.usb_error.load(), 3);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("USB write failed@Screen#1, error:2\n"), std::string::npos);
    EXPECT_NE(out.find("USB write failed@Screen#1, error:4\n"), std::string::npos);
    EXPECT_NE(out.find("USB write failed@Screen#1, error:6\n"), std::string::npos);
    EXPECT_NE(out.find("USB write cut short@Screen#1: 0 of 129 bytes\n"), std::string::npos);
}

// The bytes a device may have in flight follow how long its transfers take
// to complete: down while they wait long (a slow link would have the queue
// time out), halved at a time-out, back up to the device's share, never
// below two of the smallest streams.
TEST_F(Completions, TheBudgetFollowsTheLink) {
    const uint64_t share = 8u << 20;
    complete(LIBUSB_TRANSFER_COMPLETED, 129, std::chrono::milliseconds(400));
    EXPECT_EQ(device_output[DEV].budget, share / 4 * 3);
    complete(LIBUSB_TRANSFER_COMPLETED, 129, std::chrono::milliseconds(200));
    EXPECT_EQ(device_output[DEV].budget, share / 4 * 3);  // between the marks: kept
    testing::internal::CaptureStdout();
    complete(LIBUSB_TRANSFER_TIMED_OUT, 0, std::chrono::milliseconds(500));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(device_output[DEV].budget, share / 4 * 3 / 2);
    for (int i = 0; i < 40; ++i) complete(LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(device_output[DEV].budget, share);
    for (int i = 0; i < 40; ++i)
        complete(LIBUSB_TRANSFER_COMPLETED, 129, std::chrono::milliseconds(450));
    EXPECT_EQ(device_output[DEV].budget, 2 * MIN_STREAM_PART);
}

}  // namespace
