// The frame stream sent on the bulk endpoint: block records (a 32-bit
// BlockHeader_t in front of each changed block's entropy-coded data), the end
// bit on the last record and fill words up to a multiple of 128 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// Block geometry of the stream.
inline constexpr int BLOCK_WIDTH = 32;
inline constexpr int BLOCK_HEIGHT = 8;
inline constexpr int BLOCK_PIXELS = BLOCK_WIDTH * BLOCK_HEIGHT;  // blksize
inline constexpr int BLOCK_BYTES = 3 * BLOCK_PIXELS;             // blocks_size: Y, Cb, Cr planes

// A record is built in a block buffer of BLOCK_BYTES, so the data of one
// block is at most 764 bytes and a record at most 768.
inline constexpr size_t MAX_BLOCK_DATA = BLOCK_BYTES - 4;
inline constexpr size_t MAX_RECORD = BLOCK_BYTES;
// block_index has 16 bits.
inline constexpr long MAX_GRID_BLOCKS = 65536;

inline constexpr uint32_t FILL_WORD = 0xFFFFD9FFu;  // bytes FF D9 FF FF
inline constexpr size_t STREAM_ALIGN = 128;
// The transfer carries one byte beyond the stream.
inline constexpr size_t TRANSFER_EXTRA = 1;

// The 32-bit block header, least significant byte first on the wire.
struct BlockHeader_t {
    uint32_t quality : 2;       // always 1: the device's quantisation table index
    uint32_t len : 8;           // data length in 32-bit words, minus one
    uint32_t block_index : 16;  // row * loop_x + column, modulo 65536
    uint32_t reserved0 : 1;     // always 0
    uint32_t end : 1;           // 1 on the last record of the frame
    uint32_t id : 4;            // always 13
};
static_assert(sizeof(BlockHeader_t) == 4);

inline constexpr uint32_t BLOCK_HEADER_ID = 13;
inline constexpr uint32_t BLOCK_HEADER_QUALITY = 1;

// The header word of a record whose data is `data_bytes` long (already a
// multiple of 4, 4..1024) for block `block_index`.
uint32_t block_header_word(size_t data_bytes, uint32_t block_index, bool end);
// Writes the header word little-endian at p.
void store_block_header(uint8_t *p, uint32_t word);
uint32_t load_block_header(const uint8_t *p);
// Sets the end bit of the header at p.
void mark_last_record(uint8_t *p);

// Fill words that follow `stream_len` bytes of records: 1..32.
size_t fill_word_count(size_t stream_len);
// Appends the fill words at stream + stream_len; returns the new length.
// The caller provides room for STREAM_ALIGN more bytes.
size_t append_fill_words(uint8_t *stream, size_t stream_len);

// Worst-case sizes for a grid of `blocks` blocks: every block changed, every
// record at its largest.
size_t max_records_bytes(size_t blocks);
// Records, fill words and the transfer's extra byte.
size_t max_stream_bytes(size_t blocks);

// One band's records as a worker left them.
struct band_records_t {
    uint8_t *start;  // first record (start of the worker's area)
    size_t length;   // bytes of records (0: the band had no changed block)
    uint8_t *last;   // header of the band's last record
};

// Joins the bands' records, in band order, at `stream` (which may be the
// first band's own area: records only ever move towards the front), sets the
// end bit on the frame's last record and appends the fill words. Returns the
// stream length, 0 when no band has a record (then nothing is written).
size_t assemble_stream(uint8_t *stream, const band_records_t *bands, int band_count);

// One stream of a frame sent as several: `length` bytes at `offset` of the
// joined buffer, records with the end bit on the last, then fill words.
// `owner` is the sender's (the transfer stage keeps the stream's slot there);
// assembly leaves it alone.
struct stream_part_t {
    size_t offset;
    size_t length;
    void *owner;
};

// A frame too large to be in flight at once goes out as several streams,
// each valid by itself. assemble_streams joins the records as
// assemble_stream does, but closes a stream (end bit, fill words) before a
// record that would take it past `part_limit` bytes, and goes on with the
// next one right behind it; a record is never split. At most `max_parts`
// streams (the last takes what is left). Returns the bytes written (0: no
// record) and the streams in `parts`, their count in `*part_count`.
// Fill words make the output run ahead of the records by up to
// STREAM_ALIGN bytes a stream: the first band's records must start at least
// part_slack(max_parts) bytes into `stream`.
size_t assemble_streams(uint8_t *stream, const band_records_t *bands, int band_count,
                        size_t part_limit, stream_part_t *parts, size_t max_parts,
                        size_t *part_count);
size_t part_slack(size_t max_parts);

// Calls fn(block_index) for the record headers of the stream of `length`
// bytes at `stream` (up to its fill words).
template <class Fn>
void for_each_record(const uint8_t *stream, size_t length, Fn &&fn) {
    for (size_t p = 0; p + 4 <= length;) {
        const uint32_t word = load_block_header(stream + p);
        if (word == FILL_WORD) break;
        fn((word >> 10) & 0xFFFFu);
        p += 4 + 4 * (static_cast<size_t>((word >> 2) & 0xFFu) + 1);
    }
}
