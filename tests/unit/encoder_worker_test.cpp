// Band encoder: colour conversion, the change test with its pre-fill
// patterns, edge blocks, oversize blocks and the band worker's results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "encoder_worker.h"
#include "stream.h"
#include "stream_decoder.h"

namespace {

// Planes (Y, Cb, Cr) that code to more than a record holds at quality 90.
constexpr char OVERSIZE_BLOCK_HEX[] =
    "ff09ff00fffffaff00ff00ff00ff00000000ff0000ffffff0000ffff0000ffff00ffff0000d5fa00ffff4a0000ffff"
    "00"
    "0000ffffffff03ff00ff0000ffff00000000ffff00ffff0023e8ff00ff00ff00ffffffffffffffff00ffffff00ffff"
    "ff"
    "ffffffff00ff000000ffffff00ff0000ffffff0000ff00020000ff00ffffffff00ff2a00ff00ffffff00ffffffff00"
    "00"
    "ffff00ff00ff00ff00ffffff00ffff0000ffffff000a0300000000000010ff000000ffff0078ffffffff0004ff0000"
    "00"
    "ffffffffff00ff00ffff0000ffffff00ff0000ff00ffff00000000ff0000ffffd7ff5e00ff0000ffffff00ffffffc3"
    "ff"
    "0000ff00ffff000000f500ff0000ffffffe2ff00ff000000fff900ffffff7b05000000ce0000ffff0000e3ff00ff00"
    "ff"
    "ff003795ffffffff00ff00fd0000ff0000ff0000ff00ff00f8ff00000000ff00ff00ffff000000ffffff00ff00ff00"
    "00"
    "ff0039ffffa7ffffffffffffc9ff00ff00ffff69ffffff00ff74fcff00ff00002000bdd1000000ffff000000ff0000"
    "37"
    "ff00ffff0000ff00ff2600ffff00ffff00ff00a85c00000000000000000000fffff086000000ff0000ff00ffffff00"
    "00"
    "a2ff000000ffffffff0000ff00000000ffff00ff00ff0000fff2ffffffffffb8ffff00ff00ffffdfff0000ff00ffff"
    "00"
    "f100ff0000ff0000ff00ffff0e00ffffffa9f00000ffff00ff0000d7ff00212fffffff0000000000ff004a31de0017"
    "ff"
    "ff00000000ffff009700000000ffffff00ff00001fdc00000074ffff00ffff0000d2f6000000ff138b002c0033ff00"
    "ff"
    "00ffff00e6000000ff006500ffffff00ff00ff00ff00ff00009700003dff00ffe6000000ffff00ffffffff00ff0000"
    "0b"
    "0000ffff00ff000000ff0000ffcb000000570000ff00ff0000878a0000ff73ff00000000ff000000ff00ff3400ffeb"
    "ff"
    "ffffff00ff00ffff00ffb406ffff00ff85ffff007200000000ecffff000000ff00ffffff1200ff000000ffff00ff00"
    "ff"
    "00ff0000ffffffffffffffffffffff00ff000000000000e700ffffffffff94ff000000ffff00ff0000000000ff00ff"
    "ff";

std::vector<uint8_t> from_hex(const char *hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

class EncoderWorkerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { create_rgb2ycc_table(); }
    void SetUp() override {
        Initialize(&cinfo_, 90);
        cinfo_.Ximage = BLOCK_WIDTH;
        cinfo_.Yimage = BLOCK_HEIGHT;
    }
    cinfo_t cinfo_{};
};

struct Ycc {
    int y, cb, cr;
};

Ycc convert_colour(uint8_t r, uint8_t g, uint8_t b, channel_order_e order) {
    const bool rgbx = order == channel_order_e::RGBX;
    uint8_t px[BLOCK_PIXELS * 4];
    for (int i = 0; i < BLOCK_PIXELS; ++i) {
        px[4 * i] = rgbx ? r : b;
        px[4 * i + 1] = g;
        px[4 * i + 2] = rgbx ? b : r;
        px[4 * i + 3] = 0x5C;
    }
    uint8_t out[BLOCK_BYTES];
    rgb2yuv(BLOCK_WIDTH * 4, px, out, order);
    for (int i = 1; i < BLOCK_PIXELS; ++i) {
        EXPECT_EQ(out[i], out[0]);
        EXPECT_EQ(out[256 + i], out[256]);
        EXPECT_EQ(out[512 + i], out[512]);
    }
    return {out[0], out[256], out[512]};
}

TEST_F(EncoderWorkerTest, ConvertsTheReferenceColours) {
    auto check = [](Ycc got, Ycc want) {
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cb, want.cb);
        EXPECT_EQ(got.cr, want.cr);
    };
    for (channel_order_e order : {channel_order_e::BGRX, channel_order_e::RGBX}) {
        SCOPED_TRACE(order == channel_order_e::BGRX ? "BGRX" : "RGBX");
        check(convert_colour(255, 255, 255, order), {255, 128, 128});
        check(convert_colour(0, 0, 0, order), {0, 128, 128});
        check(convert_colour(255, 0, 0, order), {76, 85, 255});
        check(convert_colour(0, 255, 0, order), {150, 44, 21});
        check(convert_colour(0, 0, 255, order), {29, 255, 107});
        check(convert_colour(128, 128, 128, order), {128, 128, 128});
    }
}

TEST_F(EncoderWorkerTest, EveryColourIsWithinOneOfTheExactConversion) {
    // 2^24 colours, 256 per block, each block one red value and a run of
    // green and blue.
    uint8_t px[BLOCK_PIXELS * 4];
    uint8_t out[BLOCK_BYTES];
    int worst = 0;
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                px[4 * b] = static_cast<uint8_t>(b);
                px[4 * b + 1] = static_cast<uint8_t>(g);
                px[4 * b + 2] = static_cast<uint8_t>(r);
            }
            rgb2yuv(BLOCK_WIDTH * 4, px, out);
            for (int b = 0; b < 256; b += 1) {
                const double y = 0.299 * r + 0.587 * g + 0.114 * b;
                const double cb = -0.16874 * r - 0.33126 * g + 0.5 * b + 128;
                const double cr = 0.5 * r - 0.41869 * g - 0.08131 * b + 128;
                worst = std::max({worst, static_cast<int>(std::lround(std::fabs(out[b] - y))),
                                  static_cast<int>(std::lround(std::fabs(out[256 + b] - cb))),
                                  static_cast<int>(std::lround(std::fabs(out[512 + b] - cr)))});
            }
        }
    }
    EXPECT_LE(worst, 1);
}

// Snapshot stores of `blocks` blocks, pre-filled as a mode change leaves them.
struct Stores {
    explicit Stores(int blocks)
        : s0(static_cast<size_t>(blocks) * BLOCK_BYTES, 0xAA),
          s1(static_cast<size_t>(blocks) * BLOCK_BYTES, 0xAB) {}
    // One encoded frame: the current store alternates 0, 1, 0, ...
    bool frame(const std::vector<uint8_t> &content, int index) {
        uint8_t *cur = current == 0 ? s0.data() : s1.data();
        uint8_t *prev = current == 0 ? s1.data() : s0.data();
        current ^= 1;
        return check_dirty(cur, prev, content.data(), index);
    }
    std::vector<uint8_t> s0, s1;
    int current = 0;
};

TEST(CheckDirty, MissingStoresMeanChanged) {
    std::vector<uint8_t> next(BLOCK_BYTES, 1), store(BLOCK_BYTES, 1);
    EXPECT_TRUE(check_dirty(nullptr, store.data(), next.data(), 0));
    EXPECT_TRUE(check_dirty(store.data(), nullptr, next.data(), 0));
}

TEST(CheckDirty, AChangeIsSentTwiceThenNoMore) {
    Stores st(3);
    const std::vector<uint8_t> a(BLOCK_BYTES, 10), b(BLOCK_BYTES, 20);
    // After a mode change: sent in the first two frames, then settled.
    EXPECT_TRUE(st.frame(a, 1));
    EXPECT_TRUE(st.frame(a, 1));
    EXPECT_FALSE(st.frame(a, 1));
    EXPECT_FALSE(st.frame(a, 1));
    // One change: sent when seen and in the next frame.
    EXPECT_TRUE(st.frame(b, 1));
    EXPECT_TRUE(st.frame(b, 1));
    EXPECT_FALSE(st.frame(b, 1));
    // A change that is undone at once still travels three times.
    EXPECT_TRUE(st.frame(a, 1));
    EXPECT_TRUE(st.frame(b, 1));
    EXPECT_TRUE(st.frame(b, 1));
    EXPECT_FALSE(st.frame(b, 1));
    // Only block 1's entries were touched.
    for (size_t i = 0; i < BLOCK_BYTES; ++i) {
        ASSERT_EQ(st.s0[i], 0xAA);
        ASSERT_EQ(st.s1[2 * BLOCK_BYTES + i], 0xAB);
    }
}

TEST(CheckDirty, PreFillPatternsAndTheOneException) {
    const std::vector<uint8_t> aa(BLOCK_BYTES, 0xAA), ab(BLOCK_BYTES, 0xAB);
    Stores first(1);
    EXPECT_TRUE(first.frame(aa, 0));  // equal to store 0, but store 1 differs
    EXPECT_TRUE(first.frame(aa, 0));
    EXPECT_FALSE(first.frame(aa, 0));
    Stores second(1);
    EXPECT_TRUE(second.frame(ab, 0));
    // Content 0xAB in both frames already matches both stores in the second.
    EXPECT_FALSE(second.frame(ab, 0));
}

TEST_F(EncoderWorkerTest, EdgeBlocksRepeatTheLastColumnAndRowWithoutReadingOutside) {
    // 40 x 11 pixels: the second block column has 8 visible pixels, the
    // second block row 3 visible rows. The frame is exactly its pixels, so an
    // address sanitizer build catches any read beyond it.
    const int w = 40, h = 11;
    std::mt19937 rng(3);
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
    for (auto &p : pixels) p = static_cast<uint8_t>(rng());
    const frame_view_t frame{pixels.data(), w, h, w * 4};

    // The same frame padded by repetition to whole blocks.
    const int pw = 64, ph = 16;
    std::vector<uint8_t> padded(static_cast<size_t>(pw) * ph * 4);
    for (int y = 0; y < ph; ++y)
        for (int x = 0; x < pw; ++x)
            std::memcpy(
                &padded[(static_cast<size_t>(y) * pw + x) * 4],
                &pixels[(static_cast<size_t>(std::min(y, h - 1)) * w + std::min(x, w - 1)) * 4], 4);
    for (int row = 0; row < 2; ++row) {
        for (int col = 0; col < 2; ++col) {
            uint8_t got[BLOCK_BYTES], want[BLOCK_BYTES];
            convert_block(frame, col, row, got);
            rgb2yuv(pw * 4, &padded[(static_cast<size_t>(row) * 8 * pw + col * 32) * 4], want);
            EXPECT_EQ(std::memcmp(got, want, BLOCK_BYTES), 0) << col << "," << row;
        }
    }
}

TEST_F(EncoderWorkerTest, BlockDataIsTheEncoderOutputRaisedToWholeWords) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 50; ++trial) {
        uint8_t planes[BLOCK_BYTES];
        const int spread = trial * 5;
        for (auto &p : planes)
            p = static_cast<uint8_t>(128 + static_cast<int>(rng() % (spread + 1)) - spread / 2);
        uint8_t want[kEncodeBlockMaxBytes];
        cinfo_t c = cinfo_;
        c.Y_buffer = reinterpret_cast<SBYTE *>(planes);
        c.Cb_buffer = c.Y_buffer + BLOCK_PIXELS;
        c.Cr_buffer = c.Y_buffer + 2 * BLOCK_PIXELS;
        c.jpeg_stream = {want, 0};
        const size_t n = static_cast<size_t>(encode(&c));
        ASSERT_LE(n, MAX_BLOCK_DATA);

        uint8_t got[MAX_BLOCK_DATA + 8];
        std::memset(got, 0xEE, sizeof got);
        cinfo_t mine = cinfo_;
        const size_t len = encode_block_data(&mine, planes, got);
        EXPECT_EQ(len, (n + 3) / 4 * 4);
        EXPECT_EQ(std::memcmp(got, want, n), 0);
        for (size_t i = n; i < len; ++i) EXPECT_EQ(got[i], 0);
        EXPECT_EQ(got[len], 0xEE);  // nothing beyond the padded data
    }
}

// A one-record stream around `data`, decoded as the device does.
torvel::testbed::DecodeReport decode_one_block(const uint8_t *data, size_t len,
                                               torvel::testbed::FrameBuffer &frame) {
    std::vector<uint8_t> stream(4 + len + STREAM_ALIGN + 1);
    store_block_header(stream.data(), block_header_word(len, 0, true));
    std::memcpy(stream.data() + 4, data, len);
    const size_t total = append_fill_words(stream.data(), 4 + len);
    stream.resize(total);
    torvel::testbed::StreamDecoder decoder;
    decoder.set_quant_blob(1, torvel::testbed::make_quant_blob(90), nullptr);
    frame.reset(32, 8);
    return decoder.decode(stream, torvel::testbed::TrailingByte::kOptional, frame);
}

TEST_F(EncoderWorkerTest, OversizeBlockIsRecodedSofterUntilItFits) {
    const std::vector<uint8_t> planes = from_hex(OVERSIZE_BLOCK_HEX);
    ASSERT_EQ(planes.size(), static_cast<size_t>(BLOCK_BYTES));
    {
        uint8_t full[kEncodeBlockMaxBytes];
        cinfo_t c = cinfo_;
        c.Y_buffer = reinterpret_cast<SBYTE *>(const_cast<uint8_t *>(planes.data()));
        c.Cb_buffer = c.Y_buffer + BLOCK_PIXELS;
        c.Cr_buffer = c.Y_buffer + 2 * BLOCK_PIXELS;
        c.jpeg_stream = {full, 0};
        ASSERT_GT(static_cast<size_t>(encode(&c)), MAX_BLOCK_DATA) << "fixture no longer oversize";
    }
    std::vector<uint8_t> out(MAX_BLOCK_DATA + 16, 0xEE);
    cinfo_t mine = cinfo_;
    const size_t len = encode_block_data(&mine, planes.data(), out.data());
    ASSERT_LE(len, MAX_BLOCK_DATA);
    EXPECT_EQ(len % 4, 0u);
    EXPECT_EQ(out[MAX_BLOCK_DATA], 0xEE);

    // The device decodes it as a valid block.
    torvel::testbed::FrameBuffer frame;
    const auto report = decode_one_block(out.data(), len, frame);
    EXPECT_TRUE(report.clean()) << (report.violations.empty() ? report.decode_messages.front()
                                                              : report.violations.front());
    EXPECT_EQ(report.blocks_drawn, 1u);
}

// A band job over `frame` for rows [first_row, end_row) of a grid loop_x wide.
struct BandFixture {
    BandFixture(thread_context_t &cxt, const frame_view_t &frame, int first_row, int end_row)
        : area(static_cast<size_t>(end_row - first_row) * cxt.loop_x * MAX_RECORD + 64, 0xCD) {
        job = jpegenc_param_t{&cxt,
                              0,
                              0,
                              first_row * cxt.loop_x,
                              end_row * cxt.loop_x,
                              cxt.dirty_block[cxt.current_dirty].get(),
                              cxt.dirty_block[1 - cxt.current_dirty].get(),
                              12345,
                              reinterpret_cast<BlockHeader_t *>(area.data()),
                              frame,
                              area.data() + area.size() - 64};
    }
    std::vector<uint8_t> area;
    jpegenc_param_t job;
};

class BandTest : public EncoderWorkerTest {
  protected:
    void SetUp() override {
        EncoderWorkerTest::SetUp();
        cxt_ = std::make_unique<thread_context_t>();
        cxt_->cinfo = cinfo_;
        cxt_->loop_x = 3;
        cxt_->loop_y = 4;
        const size_t bytes = 12 * BLOCK_BYTES;
        cxt_->dirty_block[0] = std::make_unique<uint8_t[]>(bytes);
        cxt_->dirty_block[1] = std::make_unique<uint8_t[]>(bytes);
        std::memset(cxt_->dirty_block[0].get(), 0xAA, bytes);
        std::memset(cxt_->dirty_block[1].get(), 0xAB, bytes);
        pixels_.assign(96 * 32 * 4, 0);
        std::mt19937 rng(11);
        for (auto &p : pixels_) p = static_cast<uint8_t>(rng());
        buffersRegistered[0].store(true);
    }
    void TearDown() override { buffersRegistered[0].store(false); }
    frame_view_t frame() const { return {pixels_.data(), 96, 32, 96 * 4}; }
    std::unique_ptr<thread_context_t> cxt_;
    std::vector<uint8_t> pixels_;
};

TEST_F(BandTest, WritesOneRecordPerChangedBlockOfItsBandOnly) {
    BandFixture f(*cxt_, frame(), 1, 3);
    encode_band(&f.job);
    size_t at = 0;
    uint32_t expect = 3;
    const uint8_t *last = nullptr;
    while (at < f.job.streamlen) {
        const auto h = torvel::testbed::unpack_block_header(load_block_header(&f.area[at]));
        EXPECT_EQ(h.id, 13u);
        EXPECT_EQ(h.quality, 1u);
        EXPECT_EQ(h.end, 0u);
        EXPECT_EQ(h.block_index, expect++);
        last = &f.area[at];
        at += 4 + h.data_bytes();
    }
    EXPECT_EQ(at, f.job.streamlen);
    EXPECT_EQ(expect, 9u);  // blocks 3..8
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(f.job.current_header), last);
    EXPECT_EQ(f.area[f.job.streamlen], 0xCD);
}

// A frame in R, G, B, X order codes to exactly the records of the same
// picture in B, G, R, X order, over three frames (every block, sent again,
// then two changed), with flat blocks and with edge blocks that are gathered, not read
// in place.
TEST_F(BandTest, RgbxFrameCodesAsItsBgrxTwin) {
    const int w = 88, h = 29, stride = 96 * 4;  // last column and row partial
    // Block column 1 of one colour.
    for (int y = 0; y < h; ++y)
        for (int x = 32; x < 64; ++x)
            std::memcpy(&pixels_[y * stride + 4 * x], "\x20\x90\xE0\x00", 4);
    std::vector<uint8_t> twin = pixels_;
    for (size_t i = 0; i < twin.size(); i += 4) std::swap(twin[i], twin[i + 2]);

    auto other = std::make_unique<thread_context_t>();
    other->cinfo = cinfo_;
    other->loop_x = 3;
    other->loop_y = 4;
    for (int k = 0; k < 2; ++k) {
        other->dirty_block[k] = std::make_unique<uint8_t[]>(12 * BLOCK_BYTES);
        std::memcpy(other->dirty_block[k].get(), cxt_->dirty_block[k].get(), 12 * BLOCK_BYTES);
    }
    for (int frame_no = 0; frame_no < 3; ++frame_no) {
        SCOPED_TRACE(frame_no);
        BandFixture rgbx(*cxt_, frame_view_t{pixels_.data(), w, h, stride, channel_order_e::RGBX},
                         0, 4);
        BandFixture bgrx(*other, frame_view_t{twin.data(), w, h, stride}, 0, 4);
        encode_band(&rgbx.job);
        encode_band(&bgrx.job);
        ASSERT_GT(bgrx.job.streamlen, 0u);
        ASSERT_EQ(rgbx.job.streamlen, bgrx.job.streamlen);
        EXPECT_EQ(std::memcmp(rgbx.area.data(), bgrx.area.data(), bgrx.job.streamlen), 0);
        cxt_->current_dirty ^= 1;
        other->current_dirty ^= 1;
        // Red of one pixel of the last, partial block, then blue of one
        // pixel in the flat column.
        for (auto *frame : {&pixels_, &twin}) {
            const bool rgbx_frame = frame == &pixels_;
            (*frame)[(h - 1) * stride + 4 * 80 + (rgbx_frame ? 0 : 2)] ^= 0x40;
            (*frame)[9 * stride + 4 * 40 + (rgbx_frame ? 2 : 0)] ^= 0x40;
        }
    }
    // The scalar conversion of an edge block agrees as well.
    uint8_t a[BLOCK_BYTES], b[BLOCK_BYTES];
    convert_block(frame_view_t{pixels_.data(), w, h, stride, channel_order_e::RGBX}, 2, 3, a);
    convert_block(frame_view_t{twin.data(), w, h, stride}, 2, 3, b);
    EXPECT_EQ(std::memcmp(a, b, BLOCK_BYTES), 0);
}

TEST_F(BandTest, UnchangedBandReportsNothing) {
    for (int frame_no = 0; frame_no < 2; ++frame_no) {
        BandFixture f(*cxt_, frame(), 0, 4);
        encode_band(&f.job);
        EXPECT_GT(f.job.streamlen, 0u);
        cxt_->current_dirty ^= 1;
    }
    BandFixture f(*cxt_, frame(), 0, 4);
    BlockHeader_t *start = f.job.current_header;
    encode_band(&f.job);
    EXPECT_EQ(f.job.streamlen, 0u);
    EXPECT_EQ(f.job.current_header, start);
}

TEST_F(BandTest, StopsAtOnceWhenTheScreenIsNoLongerRegistered) {
    buffersRegistered[0].store(false);
    BandFixture f(*cxt_, frame(), 0, 4);
    BlockHeader_t *start = f.job.current_header;
    encode_band(&f.job);
    EXPECT_EQ(f.job.streamlen, 0u);
    EXPECT_EQ(f.job.current_header, start);
    EXPECT_EQ(f.area[0], 0xCD);
}

}  // namespace
