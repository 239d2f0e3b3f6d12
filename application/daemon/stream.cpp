#include "stream.h"

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
    int last_band = -1;
    for (int i = 0; i < band_count; ++i) {
        if (bands[i].length != 0) last_band = i;
    }
    if (last_band < 0) return 0;
    mark_last_record(bands[last_band].last);
    size_t length = 0;
    for (int i = 0; i <= last_band; ++i) {
        if (bands[i].length == 0) continue;
        if (bands[i].start != stream + length)
            std::memmove(stream + length, bands[i].start, bands[i].length);
        length += bands[i].length;
    }
    return append_fill_words(stream, length);
}
