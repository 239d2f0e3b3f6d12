#include "stream.h"

#include <cstdint>
#include <cstring>

uint32_t block_header_word(size_t data_bytes, uint32_t block_index, bool end) {
    const uint32_t len = static_cast<uint32_t>(data_bytes / 4 - 1) & 0xFFu;
    return BLOCK_HEADER_QUALITY | (len << 2) | ((block_index & 0xFFFFu) << 10) |
           (static_cast<uint32_t>(end) << 27) | (BLOCK_HEADER_ID << 28);
}

void store_block_header(uint8_t *p, uint32_t word) {
    p[0] = static_cast<uint8_t>(word);
    p[1] = static_cast<uint8_t>(word >> 8);
    p[2] = static_cast<uint8_t>(word >> 16);
    p[3] = static_cast<uint8_t>(word >> 24);
}

uint32_t load_block_header(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void mark_last_record(uint8_t *p) {
    p[3] |= 0x08;
}

size_t fill_word_count(size_t stream_len) {
    return (STREAM_ALIGN - stream_len % STREAM_ALIGN) / 4;
}

size_t append_fill_words(uint8_t *stream, size_t stream_len) {
    static constexpr uint8_t word[4] = {0xFF, 0xD9, 0xFF, 0xFF};
    const size_t words = fill_word_count(stream_len);
    uint8_t *p = stream + stream_len;
    for (size_t i = 0; i < words; ++i, p += 4) std::memcpy(p, word, 4);
    return stream_len + 4 * words;
}

size_t max_records_bytes(size_t blocks) {
    return blocks * MAX_RECORD;
}

size_t max_stream_bytes(size_t blocks) {
    return max_records_bytes(blocks) + STREAM_ALIGN + TRANSFER_EXTRA;
}

size_t assemble_stream(uint8_t *stream, const band_records_t *bands, int band_count) {
    stream_part_t part;
    size_t count = 0;
    return assemble_streams(stream, bands, band_count, SIZE_MAX, &part, 1, &count);
}

size_t part_slack(size_t max_parts) {
    return max_parts * STREAM_ALIGN;
}

size_t assemble_streams(uint8_t *stream, const band_records_t *bands, int band_count,
                        size_t part_limit, stream_part_t *parts, size_t max_parts,
                        size_t *part_count) {
    size_t out = 0;         // where the next record goes
    size_t part_start = 0;  // the stream being filled
    size_t records = 0;     // bytes of records in it
    size_t last = 0;        // its last record's header
    size_t count = 0;
    auto close_part = [&] {
        mark_last_record(stream + last);
        out = append_fill_words(stream, out);
        parts[count].offset = part_start;
        parts[count].length = out - part_start;
        ++count;
        part_start = out;
        records = 0;
    };
    // Records move in runs: every record of a band up to a stream's end in
    // one memmove.
    for (int i = 0; i < band_count; ++i) {
        const uint8_t *run = bands[i].start;
        const uint8_t *p = run;
        const uint8_t *end = run + bands[i].length;
        while (p < end) {
            const size_t record =
                4 + 4 * (static_cast<size_t>((load_block_header(p) >> 2) & 0xFFu) + 1);
            if (records > 0 && records + record + STREAM_ALIGN > part_limit &&
                count + 1 < max_parts) {
                std::memmove(stream + out, run, static_cast<size_t>(p - run));
                out += static_cast<size_t>(p - run);
                close_part();
                run = p;
            }
            last = out + static_cast<size_t>(p - run);
            records += record;
            p += record;
        }
        if (p != run && stream + out != run)
            std::memmove(stream + out, run, static_cast<size_t>(p - run));
        out += static_cast<size_t>(p - run);
    }
    if (records > 0) close_part();
    *part_count = count;
    return count == 0 ? 0 : out;
}
