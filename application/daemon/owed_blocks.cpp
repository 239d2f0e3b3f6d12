#include "owed_blocks.h"

owed_blocks_t owed_blocks[MAX_DEVICES];

void owed_blocks_t::mark(uint32_t block) {
    if (block >= MAX_BLOCKS) return;
    words_[block / 64].fetch_or(uint64_t{1} << (block % 64), std::memory_order_acq_rel);
    // After the bit: a taker that sees `any_` finds the bit.
    any_.store(true, std::memory_order_release);
}

void owed_blocks_t::mark_stream(const uint8_t *stream, size_t length) {
    for_each_record(stream, length, [this](uint32_t block) { mark(block); });
}
