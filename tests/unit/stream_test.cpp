// Frame stream: block header layout, fill words, and the joining of band
// records into one stream, checked against the device's own parser.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "stream.h"
#include "stream_decoder.h"

namespace {

std::vector<uint8_t> header_bytes(uint32_t word) {
    std::vector<uint8_t> b(4);
    store_block_header(b.data(), word);
    return b;
}

TEST(BlockHeader, MatchesTheWireLayout) {
    // quality 1, len 24, block 5: 61 14 00 D0, with the end bit 61 14 00 D8.
    EXPECT_EQ(header_bytes(block_header_word(100, 5, false)),
              (std::vector<uint8_t>{0x61, 0x14, 0x00, 0xD0}));
    EXPECT_EQ(header_bytes(block_header_word(100, 5, true)),
              (std::vector<uint8_t>{0x61, 0x14, 0x00, 0xD8}));
    // Block 61 (row 1, column 1 of a 1920-wide screen), 100 bytes, last.
    EXPECT_EQ(header_bytes(block_header_word(100, 61, true)),
              (std::vector<uint8_t>{0x61, 0xF4, 0x00, 0xD8}));
    EXPECT_EQ(header_bytes(block_header_word(40, 0, false)),
              (std::vector<uint8_t>{0x25, 0x00, 0x00, 0xD0}));
}

TEST(BlockHeader, FieldsRoundTripThroughTheDeviceParser) {
    for (uint32_t index : {0u, 1u, 8099u, 0xFFFFu, 0x10000u + 7}) {
        for (size_t bytes : {4u, 100u, 764u, 1024u}) {
            const uint32_t word = block_header_word(bytes, index, index == 8099);
            const auto h = torvel::testbed::unpack_block_header(word);
            EXPECT_EQ(h.quality, 1u);
            EXPECT_EQ(h.id, 13u);
            EXPECT_EQ(h.reserved0, 0u);
            EXPECT_EQ(h.data_bytes(), bytes);
            EXPECT_EQ(h.block_index, index & 0xFFFF);
            EXPECT_EQ(h.end, index == 8099 ? 1u : 0u);
            uint8_t b[4];
            store_block_header(b, word);
            EXPECT_EQ(load_block_header(b), word);
            mark_last_record(b);
            EXPECT_EQ(torvel::testbed::unpack_block_header(load_block_header(b)).end, 1u);
        }
    }
}

TEST(FillWords, BringEveryStreamToAMultipleOf128WithOneTo32Words) {
    for (size_t len = 4; len <= 1024; len += 4) {
        const size_t words = fill_word_count(len);
        EXPECT_GE(words, 1u) << len;
        EXPECT_LE(words, 32u) << len;
        EXPECT_EQ((len + 4 * words) % 128, 0u) << len;
        EXPECT_LT(4 * words, 129u);
    }
    EXPECT_EQ(fill_word_count(124), 1u);
    EXPECT_EQ(fill_word_count(128), 32u);
    EXPECT_EQ(fill_word_count(104), 6u);

    std::vector<uint8_t> buf(256, 0x11);
    EXPECT_EQ(append_fill_words(buf.data(), 128), 256u);
    for (size_t i = 128; i < 256; i += 4) {
        EXPECT_EQ(buf[i], 0xFF);
        EXPECT_EQ(buf[i + 1], 0xD9);
        EXPECT_EQ(buf[i + 2], 0xFF);
        EXPECT_EQ(buf[i + 3], 0xFF);
    }
    EXPECT_EQ(buf[127], 0x11);
}

TEST(FillWords, WorstCaseSizesHoldEveryRecordAndTheExtraByte) {
    EXPECT_EQ(max_records_bytes(8100), 8100u * 768);
    EXPECT_EQ(max_stream_bytes(8100), 8100u * 768 + 128 + 1);
    // Records at their largest, ending on a multiple of 128, get 32 words.
    EXPECT_EQ(max_records_bytes(1) + 4 * fill_word_count(max_records_bytes(1)) + 1,
              max_stream_bytes(1));
}

// A record of `data` bytes for block `index` written at p: filler, then
// FF D9 as coded block data ends.
size_t put_record(uint8_t *p, uint32_t index, size_t data, uint8_t fill) {
    store_block_header(p, block_header_word(data, index, false));
    std::memset(p + 4, fill, data);
    p[4 + data - 2] = 0xFF;
    p[4 + data - 1] = 0xD9;
    return data + 4;
}

TEST(AssembleStream, TwoBlocksOnA1920WideScreen) {
    // Block 0 with 40 data bytes and block 61 with 98 (raised to 100) in
    // different bands.
    std::vector<uint8_t> buf(4096, 0);
    uint8_t *band0 = buf.data();
    uint8_t *band1 = buf.data() + 1024;
    band_records_t bands[4] = {};
    bands[0] = {band0, put_record(band0, 0, 40, 0x5A), band0};
    bands[1] = {band1, put_record(band1, 61, 100, 0x6B), band1};
    bands[2] = {buf.data() + 2048, 0, buf.data() + 2048};
    bands[3] = {buf.data() + 3072, 0, buf.data() + 3072};
    const size_t len = assemble_stream(buf.data(), bands, 4);
    ASSERT_EQ(len, 256u);
    const std::vector<uint8_t> head0{0x25, 0x00, 0x00, 0xD0};
    const std::vector<uint8_t> head1{0x61, 0xF4, 0x00, 0xD8};
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 4), head0);
    EXPECT_EQ(buf[4], 0x5A);
    EXPECT_EQ(buf[41], 0x5A);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 44, buf.begin() + 48), head1);
    EXPECT_EQ(buf[48], 0x6B);
    EXPECT_EQ(buf[145], 0x6B);
    // 27 fill words.
    for (size_t i = 148; i < 256; i += 4) EXPECT_EQ(load_block_header(&buf[i]), FILL_WORD) << i;
}

TEST(AssembleStream, EndBitGoesOnTheLastRecordOfTheLastBandWithRecords) {
    std::vector<uint8_t> buf(8192, 0);
    band_records_t bands[4];
    for (int i = 0; i < 4; ++i) bands[i] = {buf.data() + 2048 * i, 0, buf.data() + 2048 * i};
    // Band 0: blocks 1 and 2; band 2: block 900, 901; bands 1 and 3 empty.
    uint8_t *p = bands[0].start;
    p += put_record(p, 1, 8, 1);
    bands[0].last = p;
    p += put_record(p, 2, 12, 2);
    bands[0].length = static_cast<size_t>(p - bands[0].start);
    p = bands[2].start;
    p += put_record(p, 900, 16, 3);
    bands[2].last = p;
    p += put_record(p, 901, 764, 4);
    bands[2].length = static_cast<size_t>(p - bands[2].start);

    const size_t len = assemble_stream(buf.data(), bands, 4);
    ASSERT_GT(len, 0u);
    ASSERT_EQ(len % 128, 0u);

    // The device's parser accepts it: records in order, one end bit, fill.
    torvel::testbed::StreamDecoder decoder;
    const auto blob = torvel::testbed::make_quant_blob(90);
    ASSERT_TRUE(decoder.set_quant_blob(1, blob, nullptr));
    std::vector<uint8_t> transfer(buf.begin(), buf.begin() + static_cast<long>(len));
    torvel::testbed::FrameBuffer frame(1920, 1080);
    const auto report = decoder.decode(transfer, torvel::testbed::TrailingByte::kOptional, frame);
    EXPECT_EQ(report.records, 4u);
    EXPECT_TRUE(report.complete);
    // Only format matters here (the data bytes are no JPEG): no violation.
    EXPECT_TRUE(report.violations.empty()) << report.violations.front();

    // Exactly one end bit, on block 901.
    size_t at = 0;
    int ends = 0;
    uint32_t last_index = 0;
    while (at < len) {
        const auto h = torvel::testbed::unpack_block_header(load_block_header(&buf[at]));
        if (h.id != 13) break;
        ends += static_cast<int>(h.end);
        last_index = h.block_index;
        at += 4 + h.data_bytes();
    }
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(last_index, 901u);
}

TEST(AssembleStream, OnlyTheFirstBandWithRecordsStillEnds) {
    std::vector<uint8_t> buf(4096, 0);
    band_records_t bands[4];
    for (int i = 0; i < 4; ++i) bands[i] = {buf.data() + 1024 * i, 0, buf.data() + 1024 * i};
    bands[0].length = put_record(bands[0].start, 3, 120, 9);
    // 124 bytes of records: one fill word.
    EXPECT_EQ(assemble_stream(buf.data(), bands, 4), 128u);
    EXPECT_EQ(torvel::testbed::unpack_block_header(load_block_header(buf.data())).end, 1u);
    EXPECT_EQ(load_block_header(&buf[124]), FILL_WORD);
}

// A frame cut into streams under a limit: each stream is valid by itself
// (records in order, end bit on its last, fill words), none is larger than
// the limit, and together they carry every record once, in order. Band 0 is
// all largest records placed at the documented slack, where the fill words
// of each closed stream push the output towards records not yet moved.
TEST(AssembleStreams, EveryStreamValidAndWithinTheLimitTogetherTheWholeFrame) {
    constexpr size_t kMaxParts = 16, kLimit = 4096;
    const size_t slack = part_slack(kMaxParts);
    std::vector<uint8_t> buf(slack + 4 * 16384, 0);
    band_records_t bands[4];
    std::vector<uint32_t> sent;
    uint32_t block = 0;
    for (int b = 0; b < 4; ++b) {
        uint8_t *start = buf.data() + slack + 16384 * b;
        uint8_t *p = start;
        const int records = b == 0 ? 20 : b == 2 ? 0 : 7;
        for (int r = 0; r < records; ++r, ++block) {
            const size_t data = b == 0 ? MAX_BLOCK_DATA : 40 + 12 * static_cast<size_t>(r);
            p += put_record(p, block, data, static_cast<uint8_t>(block));
            sent.push_back(block);
        }
        bands[b] = {start, static_cast<size_t>(p - start), start};
    }
    stream_part_t parts[kMaxParts];
    size_t count = 0;
    const size_t total = assemble_streams(buf.data(), bands, 4, kLimit, parts, kMaxParts, &count);
    ASSERT_GT(count, 3u);
    EXPECT_EQ(parts[count - 1].offset + parts[count - 1].length, total);

    torvel::testbed::StreamDecoder decoder;
    ASSERT_TRUE(decoder.set_quant_blob(1, torvel::testbed::make_quant_blob(90), nullptr));
    torvel::testbed::FrameBuffer frame(1920, 1080);
    std::vector<uint32_t> got;
    size_t expected_offset = 0;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(parts[i].offset, expected_offset);
        expected_offset += parts[i].length;
        EXPECT_LE(parts[i].length, kLimit);
        std::vector<uint8_t> one(
            buf.begin() + static_cast<long>(parts[i].offset),
            buf.begin() + static_cast<long>(parts[i].offset + parts[i].length));
        const auto report = decoder.decode(one, torvel::testbed::TrailingByte::kOptional, frame);
        EXPECT_TRUE(report.complete) << "stream " << i;
        EXPECT_TRUE(report.violations.empty())
            << "stream " << i << ": " << report.violations.front();
        for_each_record(one.data(), one.size(), [&](uint32_t b) { got.push_back(b); });
    }
    EXPECT_EQ(got, sent);
    // Each record's data survived the moves: its fill byte names its block.
    size_t checked = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *s = buf.data() + parts[i].offset;
        for (size_t p = 0; p + 4 <= parts[i].length;) {
            const uint32_t word = load_block_header(s + p);
            if (word == FILL_WORD) break;
            EXPECT_EQ(s[p + 4], static_cast<uint8_t>((word >> 10) & 0xFFFF)) << "record at " << p;
            p += 4 + 4 * (((word >> 2) & 0xFF) + 1);
            ++checked;
        }
    }
    EXPECT_EQ(checked, sent.size());
}

TEST(AssembleStream, NoRecordsNoStream) {
    std::vector<uint8_t> buf(512, 0x77);
    band_records_t bands[4];
    for (int i = 0; i < 4; ++i) bands[i] = {buf.data() + 128 * i, 0, buf.data() + 128 * i};
    EXPECT_EQ(assemble_stream(buf.data(), bands, 4), 0u);
    for (uint8_t b : buf) ASSERT_EQ(b, 0x77);
}

}  // namespace
