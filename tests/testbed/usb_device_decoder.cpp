// The device-side stream decoder: quantisation blob, block header layout,
// validation of every format rule and decoding of known blocks to pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "reference_block_encoder.h"
#include "stream_decoder.h"

namespace tb = torvel::testbed;

namespace {

const tb::QuantBlob kBlob90 = tb::make_quant_blob(90);

std::vector<uint8_t> solid_block(uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb(tb::kBlockWidth * tb::kBlockHeight * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    return rgb;
}

std::vector<uint8_t> encode(const std::vector<uint8_t> &rgb) {
    std::string error;
    auto data = tb::reference_encode_block(rgb.data(), kBlob90, &error);
    EXPECT_FALSE(data.empty()) << error;
    return data;
}

// Entropy data of a block whose coefficients are all zero, written bit by bit
// from the typical Huffman codes: per MCU, Y: DC category 0 (00) and
// end-of-block (1010); Cb and Cr: DC category 0 (00) and end-of-block (00).
std::vector<uint8_t> all_zero_coefficient_block() {
    std::string bits;
    for (int mcu = 0; mcu < 4; ++mcu)
        bits +=
            "00"
            "1010"
            "00"
            "00"
            "00"
            "00";
    while (bits.size() % 8) bits += '1';
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bits.size(); i += 8) {
        out.push_back(static_cast<uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2)));
    }
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

// Block data that ends properly but is not meant to decode cleanly; for
// format checks only.
std::vector<uint8_t> filler_data(size_t n) {
    std::vector<uint8_t> d(n, 0x00);
    d[n - 2] = 0xFF;
    d[n - 1] = 0xD9;
    return d;
}

void put_word(std::vector<uint8_t> &out, uint32_t w) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(w >> (8 * b)));
}

void append(std::vector<uint8_t> &out, const std::vector<uint8_t> &more) {
    const size_t at = out.size();
    out.resize(at + more.size());
    std::copy(more.begin(), more.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

struct Decoded {
    tb::DecodeReport report;
    tb::FrameBuffer frame;
};

Decoded decode(const std::vector<uint8_t> &transfer, int width, int height,
               tb::TrailingByte trailing = tb::TrailingByte::kRequired) {
    tb::StreamDecoder decoder;
    std::string error;
    EXPECT_TRUE(decoder.set_quant_blob(1, kBlob90, &error)) << error;
    Decoded d;
    d.frame.reset(width, height);
    d.report = decoder.decode(transfer, trailing, d.frame);
    return d;
}

bool has_violation(const tb::DecodeReport &r, const std::string &needle) {
    for (const auto &v : r.violations) {
        if (v.find(needle) != std::string::npos) return true;
    }
    return false;
}

std::string joined(const tb::DecodeReport &r) {
    std::string s;
    for (const auto &v : r.violations) s += v + "\n";
    for (const auto &v : r.decode_messages) s += v + "\n";
    return s;
}

void expect_pixel_near(const tb::FrameBuffer &f, int x, int y, int r, int g, int b, int tol = 3) {
    const uint8_t *p = f.pixel(x, y);
    EXPECT_NEAR(p[0], r, tol) << "at " << x << "," << y;
    EXPECT_NEAR(p[1], g, tol) << "at " << x << "," << y;
    EXPECT_NEAR(p[2], b, tol) << "at " << x << "," << y;
}

}  // namespace

TEST(QuantBlob, Quality90MatchesTheDeviceTables) {
    const uint8_t luma_rows[2][8] = {{3, 2, 2, 3, 5, 8, 10, 12}, {14, 18, 19, 20, 22, 20, 21, 20}};
    const uint8_t chroma_row0[8] = {3, 4, 5, 9, 20, 20, 20, 20};
    const auto &b = kBlob90;
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xDB);
    EXPECT_EQ(b[2], 0x00);
    EXPECT_EQ(b[3], 0x43);
    EXPECT_EQ(b[4], 0x00);
    EXPECT_EQ(b[69], 0xFF);
    EXPECT_EQ(b[73], 0x01);
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(b[5 + c], luma_rows[0][c]);
        EXPECT_EQ(b[5 + 56 + c], luma_rows[1][c]);
        EXPECT_EQ(b[74 + c], chroma_row0[c]);
        EXPECT_EQ(b[74 + 56 + c], 20);
    }
    // Row 2 column 6 (natural order): 14.
    EXPECT_EQ(b[5 + 2 * 8 + 6], 14);
}

TEST(QuantBlob, QualityScalingRuleAtTheEnds) {
    const auto q50 = tb::make_quant_blob(50);
    EXPECT_EQ(q50[5], 16);
    EXPECT_EQ(q50[5 + 63], 99);
    EXPECT_EQ(q50[74 + 4], 99);
    const auto q100 = tb::make_quant_blob(100);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(q100[5 + i], 1);
        EXPECT_EQ(q100[74 + i], 1);
    }
    const auto q0 = tb::make_quant_blob(0);
    EXPECT_EQ(q0[5], 32);
    EXPECT_EQ(q0[5 + 6 * 8 + 5], 242);  // largest base entry, 121, doubled
    EXPECT_EQ(q0[74 + 63], 198);
}

TEST(QuantBlob, CheckRejectsMalformedBlobs) {
    std::string why;
    EXPECT_TRUE(tb::check_quant_blob(kBlob90, &why)) << why;
    std::vector<uint8_t> shortened(kBlob90.begin(), kBlob90.end() - 1);
    EXPECT_FALSE(tb::check_quant_blob(shortened, &why));
    EXPECT_NE(why.find("137 bytes"), std::string::npos) << why;
    auto bad = kBlob90;
    bad[73] = 0x00;  // chrominance half names table 0
    EXPECT_FALSE(tb::check_quant_blob(bad, &why));
    bad = kBlob90;
    bad[5 + 10] = 0;
    EXPECT_FALSE(tb::check_quant_blob(bad, &why));
    tb::StreamDecoder decoder;
    EXPECT_FALSE(decoder.set_quant_blob(1, shortened, &why));
    EXPECT_FALSE(decoder.set_quant_blob(4, kBlob90, &why));
    EXPECT_FALSE(decoder.has_quant_blob(1));
}

TEST(BlockHeader, ByteLayout) {
    tb::BlockHeader h;
    h.len = 24;
    h.block_index = 5;
    uint32_t w = tb::pack_block_header(h);
    EXPECT_EQ(w, 0xD0001461u);  // bytes 61 14 00 D0
    h.end = 1;
    EXPECT_EQ(tb::pack_block_header(h), 0xD8001461u);
    h = {};
    h.len = 9;
    EXPECT_EQ(tb::pack_block_header(h), 0xD0000025u);  // 25 00 00 D0
    h.len = 24;
    h.block_index = 61;
    h.end = 1;
    EXPECT_EQ(tb::pack_block_header(h), 0xD800F461u);  // 61 F4 00 D8
    const auto u = tb::unpack_block_header(0xD800F461u);
    EXPECT_EQ(u.quality, 1u);
    EXPECT_EQ(u.len, 24u);
    EXPECT_EQ(u.block_index, 61u);
    EXPECT_EQ(u.end, 1u);
    EXPECT_EQ(u.reserved0, 0u);
    EXPECT_EQ(u.id, 13u);
    EXPECT_EQ(u.data_bytes(), 100u);
    // A fill word read as a header: id 15, end 1, reserved0 1.
    const auto f = tb::unpack_block_header(tb::kFillWord);
    EXPECT_EQ(f.id, 15u);
    EXPECT_EQ(f.end, 1u);
    EXPECT_EQ(f.reserved0, 1u);
}

TEST(StreamLayout, PaddingAndFillWordCounts) {
    // One block of 98 data bytes: len 24, record 104 bytes, 6 fill words.
    std::vector<tb::StreamRecord> one = {{0, filler_data(98)}};
    auto s = tb::build_stream(one, true);
    EXPECT_EQ(s.size(), 129u);
    EXPECT_EQ(s[0], 0x61);
    EXPECT_EQ(s[3], 0xD8);
    auto d = decode(s, 64, 8);
    EXPECT_TRUE(d.report.violations.empty()) << joined(d.report);
    EXPECT_EQ(d.report.fill_words, 6u);
    EXPECT_TRUE(d.report.complete);

    // Records of 124 bytes get one fill word, of 128 bytes 32.
    std::vector<tb::StreamRecord> r124 = {{0, filler_data(120)}};
    d = decode(tb::build_stream(r124, true), 64, 8);
    EXPECT_TRUE(d.report.violations.empty()) << joined(d.report);
    EXPECT_EQ(d.report.fill_words, 1u);
    std::vector<tb::StreamRecord> r128 = {{0, filler_data(124)}};
    s = tb::build_stream(r128, true);
    EXPECT_EQ(s.size(), 257u);
    d = decode(s, 64, 8);
    EXPECT_TRUE(d.report.violations.empty()) << joined(d.report);
    EXPECT_EQ(d.report.fill_words, 32u);
}

TEST(StreamLayout, TwoBlocksOnA1920WideScreen) {
    std::vector<tb::StreamRecord> recs = {{0, filler_data(40)}, {61, filler_data(98)}};
    auto s = tb::build_stream(recs, true);
    ASSERT_EQ(s.size(), 257u);
    EXPECT_EQ((std::vector<uint8_t>(s.begin(), s.begin() + 4)),
              (std::vector<uint8_t>{0x25, 0x00, 0x00, 0xD0}));
    EXPECT_EQ((std::vector<uint8_t>(s.begin() + 44, s.begin() + 48)),
              (std::vector<uint8_t>{0x61, 0xF4, 0x00, 0xD8}));
    auto d = decode(s, 1920, 1080);
    EXPECT_TRUE(d.report.violations.empty()) << joined(d.report);
    EXPECT_EQ(d.report.records, 2u);
    EXPECT_EQ(d.report.fill_words, 27u);
}

TEST(StreamLayout, LastBlockOfTheGridAndTheOneBeyond) {
    std::vector<tb::StreamRecord> last = {{8099, all_zero_coefficient_block()}};
    auto d = decode(tb::build_stream(last, true), 1920, 1080);
    EXPECT_TRUE(d.report.clean()) << joined(d.report);
    expect_pixel_near(d.frame, 1919, 1079, 128, 128, 128, 1);
    std::vector<tb::StreamRecord> beyond = {{8100, all_zero_coefficient_block()}};
    d = decode(tb::build_stream(beyond, true), 1920, 1080);
    EXPECT_TRUE(has_violation(d.report, "block 8100 is beyond the 60 x 135 grid"))
        << joined(d.report);
    EXPECT_EQ(d.report.blocks_drawn, 0u);
}

TEST(StreamDecode, KnownBlocksLandOnTheirGridPlaces) {
    // 100 x 20: 4 columns (the last one 4 pixels wide), 3 rows (last 4 lines).
    const std::vector<uint8_t> red = solid_block(255, 0, 0), green = solid_block(0, 255, 0),
                               blue = solid_block(0, 0, 255), white = solid_block(255, 255, 255);
    std::vector<tb::StreamRecord> recs = {{0, encode(red)},
                                          {3, encode(green)},
                                          {5, all_zero_coefficient_block()},
                                          {10, encode(blue)},
                                          {11, encode(white)}};
    auto d = decode(tb::build_stream(recs, true), 100, 20);
    ASSERT_TRUE(d.report.clean()) << joined(d.report);
    EXPECT_EQ(d.report.blocks_drawn, 5u);
    expect_pixel_near(d.frame, 0, 0, 255, 0, 0);
    expect_pixel_near(d.frame, 31, 7, 255, 0, 0);
    expect_pixel_near(d.frame, 32, 0, 0, 0, 0, 0);  // block 1 not sent: stays black
    expect_pixel_near(d.frame, 96, 0, 0, 255, 0);   // right-most, clipped to 4 pixels
    expect_pixel_near(d.frame, 99, 7, 0, 255, 0);
    expect_pixel_near(d.frame, 32, 8, 128, 128, 128, 1);
    expect_pixel_near(d.frame, 64, 16, 0, 0, 255);  // bottom row, clipped to 4 lines
    expect_pixel_near(d.frame, 99, 19, 255, 255, 255);
}

TEST(StreamDecode, TexturedBlockSurvivesTheRoundTrip) {
    // Pseudo-random texture exercises most AC codes of both Huffman tables.
    std::vector<uint8_t> rgb(tb::kBlockWidth * tb::kBlockHeight * 3);
    uint32_t seed = 12345;
    for (auto &v : rgb) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<uint8_t>(seed >> 16);
    }
    std::vector<tb::StreamRecord> recs = {{0, encode(rgb)}};
    auto d = decode(tb::build_stream(recs, false), 32, 8, tb::TrailingByte::kOptional);
    ASSERT_TRUE(d.report.clean()) << joined(d.report);
    tb::FrameBuffer original(32, 8);
    std::copy(rgb.begin(), rgb.end(), original.rgb().begin());
    EXPECT_GT(tb::psnr(original, d.frame), 20.0);
}

TEST(StreamDecode, CorruptEntropyDataIsADecodeErrorNotAFormatError) {
    auto data = encode(solid_block(10, 200, 30));
    // Drop bits from the middle: the segment still ends with FF D9.
    data.erase(data.begin() + 1, data.begin() + 3);
    std::vector<tb::StreamRecord> recs = {{0, data}};
    auto d = decode(tb::build_stream(recs, true), 32, 8);
    EXPECT_TRUE(d.report.violations.empty()) << joined(d.report);
    EXPECT_EQ(d.report.decode_errors, 1u);
    ASSERT_EQ(d.report.decode_messages.size(), 1u);
    EXPECT_EQ(d.report.decode_messages[0].rfind("block 0:", 0), 0u);
}

TEST(StreamDecode, OneBadBlockAmongGoodOnesIsTheOnlyOneReported) {
    auto bad = encode(solid_block(10, 200, 30));
    bad.erase(bad.begin() + 1, bad.begin() + 3);
    std::vector<tb::StreamRecord> recs = {
        {0, encode(solid_block(200, 0, 0))}, {1, bad}, {2, encode(solid_block(0, 0, 200))}};
    auto d = decode(tb::build_stream(recs, true), 96, 8);
    EXPECT_TRUE(d.report.violations.empty()) << joined(d.report);
    EXPECT_EQ(d.report.decode_errors, 1u);
    ASSERT_EQ(d.report.decode_messages.size(), 1u);
    EXPECT_EQ(d.report.decode_messages[0].rfind("block 1:", 0), 0u) << d.report.decode_messages[0];
    expect_pixel_near(d.frame, 0, 0, 200, 0, 0);
    expect_pixel_near(d.frame, 95, 7, 0, 0, 200);
}

TEST(StreamDecode, WholeScreenOfBlocks) {
    // 1920 x 1080: 8100 blocks, each with its own colour.
    std::vector<tb::StreamRecord> recs;
    for (uint32_t i = 0; i < 8100; ++i) {
        recs.push_back({i, encode(solid_block(static_cast<uint8_t>(i % 256),
                                              static_cast<uint8_t>(i / 256 * 8), 77))});
    }
    auto d = decode(tb::build_stream(recs, true), 1920, 1080);
    ASSERT_TRUE(d.report.clean()) << joined(d.report);
    EXPECT_EQ(d.report.blocks_drawn, 8100u);
    for (uint32_t i : {0u, 1u, 7u, 8u, 255u, 256u, 257u, 4000u, 8099u}) {
        const int x = static_cast<int>(i % 60) * 32 + 5, y = static_cast<int>(i / 60) * 8 + 3;
        expect_pixel_near(d.frame, x, y, static_cast<int>(i % 256), static_cast<int>(i / 256 * 8),
                          77, 4);
    }
}

// Each rule of the format, broken once.
class StreamViolations : public ::testing::Test {
  protected:
    std::vector<uint8_t> good() {
        std::vector<tb::StreamRecord> recs = {{1, all_zero_coefficient_block()},
                                              {2, all_zero_coefficient_block()}};
        return tb::build_stream(recs, true);
    }
    static constexpr size_t kSecondHeader = 4 + 12;  // 9 data bytes raised to 12

    void expect_only(const std::vector<uint8_t> &s, const std::string &needle,
                     tb::TrailingByte trailing = tb::TrailingByte::kRequired) {
        auto d = decode(s, 128, 16, trailing);
        EXPECT_TRUE(has_violation(d.report, needle)) << joined(d.report);
        EXPECT_EQ(d.report.violations.size(), 1u) << joined(d.report);
        EXPECT_FALSE(d.report.clean());
    }
    void set_header(std::vector<uint8_t> &s, size_t at, const tb::BlockHeader &h) {
        const uint32_t w = tb::pack_block_header(h);
        for (int b = 0; b < 4; ++b) s[at + b] = static_cast<uint8_t>(w >> (8 * b));
    }
    tb::BlockHeader header_at(const std::vector<uint8_t> &s, size_t at) {
        return tb::unpack_block_header(s[at] | s[at + 1] << 8 | s[at + 2] << 16 |
                                       static_cast<uint32_t>(s[at + 3]) << 24);
    }
};

TEST_F(StreamViolations, GoodStreamIsClean) {
    auto d = decode(good(), 128, 16);
    EXPECT_TRUE(d.report.clean()) << joined(d.report);
    EXPECT_TRUE(d.report.complete);
    EXPECT_EQ(d.report.records, 2u);
}

TEST_F(StreamViolations, HeaderIdWrongStopsParsing) {
    auto s = good();
    auto h = header_at(s, kSecondHeader);
    h.id = 12;
    set_header(s, kSecondHeader, h);
    auto d = decode(s, 128, 16);
    EXPECT_TRUE(has_violation(d.report, "offset 16: header id 12, expected 13"))
        << joined(d.report);
    EXPECT_EQ(d.report.records, 1u);
    EXPECT_FALSE(d.report.complete);
}

TEST_F(StreamViolations, QualityReservedAndOrder) {
    auto s = good();
    auto h = header_at(s, kSecondHeader);
    h.quality = 2;
    set_header(s, kSecondHeader, h);
    auto d = decode(s, 128, 16);
    EXPECT_TRUE(has_violation(d.report, "quality 2 in block 2, expected 1")) << joined(d.report);
    EXPECT_TRUE(has_violation(d.report, "no quantisation table at index 2")) << joined(d.report);

    s = good();
    h = header_at(s, 0);
    h.reserved0 = 1;
    set_header(s, 0, h);
    expect_only(s, "reserved bit set in block 1");

    s = good();
    h = header_at(s, kSecondHeader);
    h.block_index = 1;
    set_header(s, kSecondHeader, h);
    expect_only(s, "block 1 follows block 1 (indices must increase)");
}

TEST_F(StreamViolations, LengthBeyondTheTransfer) {
    auto s = good();
    auto h = header_at(s, kSecondHeader);
    h.len = 200;
    set_header(s, kSecondHeader, h);
    auto d = decode(s, 128, 16);
    EXPECT_TRUE(has_violation(d.report, "block 2 needs 804 data bytes")) << joined(d.report);
    EXPECT_FALSE(d.report.complete);
}

TEST_F(StreamViolations, EndBitMissingOrEarly) {
    auto s = good();
    auto h = header_at(s, kSecondHeader);
    h.end = 0;
    set_header(s, kSecondHeader, h);
    expect_only(s, "end bit missing on the last record (block 2)");

    s = good();
    h = header_at(s, 0);
    h.end = 1;
    set_header(s, 0, h);
    expect_only(s, "offset 0: end bit on block 1, which is not the last record");
}

TEST_F(StreamViolations, FillWordsWrongAbsentOrTooMany) {
    auto s = good();
    s[40] = 0x00;
    expect_only(s, "offset 40: fill word FFFFD900, expected FFFFD9FF");

    // Records that end exactly at 128 bytes with no fill word after them.
    std::vector<uint8_t> t;
    put_word(t, 0xD8000000u | (30u << 2) | 1u);  // block 0, 124 data bytes, end
    auto data = filler_data(124);
    append(t, data);
    t.push_back(0);
    expect_only(t, "no fill word after the last record");

    // 33 fill words.
    std::vector<uint8_t> u;
    put_word(u, 0xD8000000u | (29u << 2) | 1u);
    data = filler_data(120);  // record of 124 bytes
    append(u, data);
    for (int i = 0; i < 33; ++i) put_word(u, tb::kFillWord);
    u.push_back(0);
    ASSERT_EQ(u.size(), 257u);
    expect_only(u, "33 fill words, at most 32");
}

TEST_F(StreamViolations, TransferLength) {
    auto s = good();
    s.pop_back();  // the stream without its trailing byte
    expect_only(s, "transfer length 128 is not one more than a multiple of 128");
    auto d = decode(s, 128, 16, tb::TrailingByte::kOptional);
    EXPECT_TRUE(d.report.clean()) << joined(d.report);
    s.push_back(0);
    s.push_back(0);
    expect_only(s, "length 130 is neither a multiple of 128 nor one more",
                tb::TrailingByte::kOptional);
}

TEST_F(StreamViolations, BlockDataWithoutEoi) {
    auto s = good();
    // The first record's data: 9 bytes then 3 fill; turn its FF D9 into FF 00.
    ASSERT_EQ(s[4 + 7], 0xFF);
    ASSERT_EQ(s[4 + 8], 0xD9);
    s[4 + 8] = 0x00;
    auto d = decode(s, 128, 16);
    EXPECT_TRUE(has_violation(d.report, "data of block 1 does not end with FF D9"))
        << joined(d.report);
}

TEST_F(StreamViolations, NoRecordAndNoTable) {
    std::vector<uint8_t> only_fill;
    for (int i = 0; i < 32; ++i) put_word(only_fill, tb::kFillWord);
    only_fill.push_back(0);
    expect_only(only_fill, "stream has no block record");

    tb::StreamDecoder bare;
    tb::FrameBuffer frame(128, 16);
    auto r = bare.decode(good(), tb::TrailingByte::kRequired, frame);
    EXPECT_TRUE(has_violation(r, "no quantisation table at index 1")) << joined(r);
    EXPECT_EQ(r.violations.size(), 1u);  // reported once per stream
    EXPECT_EQ(r.blocks_drawn, 0u);
}

TEST(FrameBuffer, PngRoundTripAndPsnr) {
    tb::FrameBuffer f(40, 9);
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 40; ++x) {
            uint8_t *p = f.pixel(x, y);
            p[0] = static_cast<uint8_t>(x * 6);
            p[1] = static_cast<uint8_t>(y * 20);
            p[2] = 77;
        }
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("torvel-fb-" + std::to_string(::getpid()) + ".png");
    std::string error;
    ASSERT_TRUE(tb::write_png(f, path, &error)) << error;
    tb::FrameBuffer back;
    ASSERT_TRUE(tb::read_png(path, back, &error)) << error;
    std::filesystem::remove(path);
    EXPECT_EQ(back.width(), 40);
    EXPECT_EQ(back.height(), 9);
    EXPECT_TRUE(std::isinf(tb::psnr(f, back)));
    back.pixel(3, 3)[0] ^= 0x10;
    EXPECT_GT(tb::psnr(f, back), 40.0);
    EXPECT_LT(tb::psnr(f, back), 100.0);
    EXPECT_EQ(tb::psnr(f, tb::FrameBuffer(2, 2)), -1.0);
    EXPECT_FALSE(tb::write_png(tb::FrameBuffer(), "/nonexistent/x.png", &error));
}
