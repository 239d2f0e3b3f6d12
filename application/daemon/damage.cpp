#include "damage.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "stream.h"

bool full_scan_requested() {
    const char *value = std::getenv("TORVEL_FULL_SCAN");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

bool block_mask_t::resize(size_t blocks) {
    const size_t words = (blocks + 63) / 64;
    if (words != word_count_) {
        words_.reset(new (std::nothrow) uint64_t[words]);
        if (!words_ && words != 0) {
            blocks_ = word_count_ = 0;
            return false;
        }
        word_count_ = words;
    }
    blocks_ = blocks;
    clear_all();
    return true;
}

void block_mask_t::set(uint32_t block) {
    if (block < blocks_) words_[block / 64] |= uint64_t{1} << (block % 64);
}

void block_mask_t::set_range(uint32_t first, uint32_t end) {
    end = static_cast<uint32_t>(std::min<size_t>(end, blocks_));
    if (first >= end) return;
    const size_t w0 = first / 64, w1 = (end - 1) / 64;
    const uint64_t head = ~uint64_t{0} << (first % 64);
    const uint64_t tail = ~uint64_t{0} >> (63 - (end - 1) % 64);
    if (w0 == w1) {
        words_[w0] |= head & tail;
        return;
    }
    words_[w0] |= head;
    for (size_t w = w0 + 1; w < w1; ++w) words_[w] = ~uint64_t{0};
    words_[w1] |= tail;
}

void block_mask_t::set_all() {
    clear_all();
    set_range(0, static_cast<uint32_t>(blocks_));
}

void block_mask_t::clear_all() {
    if (word_count_ != 0) std::memset(words_.get(), 0, word_count_ * sizeof(uint64_t));
}

bool block_mask_t::test(uint32_t block) const {
    return block < blocks_ && (words_[block / 64] >> (block % 64) & 1) != 0;
}

size_t block_mask_t::count() const {
    size_t n = 0;
    for (size_t w = 0; w < word_count_; ++w)
        n += static_cast<size_t>(__builtin_popcountll(words_[w]));
    return n;
}

void block_mask_t::assign_union(const block_mask_t &a, const block_mask_t &b) {
    for (size_t w = 0; w < word_count_; ++w) words_[w] = a.words_[w] | b.words_[w];
}

bool frame_damage_t::resize(int width, int height, int loop_x, int loop_y) {
    release();
    const size_t blocks = static_cast<size_t>(loop_x) * static_cast<size_t>(loop_y);
    if (loop_x <= 0 || loop_y <= 0 || !store_[0].resize(blocks) || !store_[1].resize(blocks) ||
        !scan_.resize(blocks) || !turned_.resize(blocks)) {
        release();
        return false;
    }
    width_ = width;
    height_ = height;
    loop_x_ = loop_x;
    loop_y_ = loop_y;
    mark_all();
    return true;
}

void frame_damage_t::release() {
    for (block_mask_t *m : {&store_[0], &store_[1], &scan_, &turned_}) m->resize(0);
    width_ = height_ = loop_x_ = loop_y_ = 0;
}

void frame_damage_t::mark_all() {
    if (!sized()) return;
    store_[0].set_all();
    store_[1].set_all();
    turned_.set_all();
}

void frame_damage_t::mark_blocks(int col0, int row0, int col_end, int row_end) {
    for (int row = row0; row < row_end; ++row) {
        const auto first = static_cast<uint32_t>(row * loop_x_ + col0);
        const auto end = static_cast<uint32_t>(row * loop_x_ + col_end);
        store_[0].set_range(first, end);
        store_[1].set_range(first, end);
        turned_.set_range(first, end);
    }
}

void frame_damage_t::mark_rect(int x1, int y1, int x2, int y2) {
    if (!sized()) return;
    x1 = std::clamp(x1, 0, width_);
    x2 = std::clamp(x2, x1, width_);
    y1 = std::clamp(y1, 0, height_);
    y2 = std::clamp(y2, y1, height_);
    if (x1 == x2 || y1 == y2) return;
    // Pixel x of a turned or mirrored frame shows pixel width-1-x of the
    // screen, and a turned frame's row y shows row height-1-y.
    if (turn_ != frame_turn_e::NONE) {
        const int mx1 = width_ - x2, mx2 = width_ - x1;
        x1 = mx1;
        x2 = mx2;
    }
    if (turn_ == frame_turn_e::TURN_180) {
        const int my1 = height_ - y2, my2 = height_ - y1;
        y1 = my1;
        y2 = my2;
    }
    mark_blocks(x1 / BLOCK_WIDTH, y1 / BLOCK_HEIGHT, (x2 + BLOCK_WIDTH - 1) / BLOCK_WIDTH,
                (y2 + BLOCK_HEIGHT - 1) / BLOCK_HEIGHT);
}

void frame_damage_t::mark_block(uint32_t block) {
    if (!sized()) return;
    store_[0].set(block);
    store_[1].set(block);
}

void frame_damage_t::set_turn(frame_turn_e turn) {
    if (turn == turn_) return;
    turn_ = turn;
    mark_all();
}

const block_mask_t *frame_damage_t::scan_for(int current) {
    if (!limit_scan || !sized()) return nullptr;
    scan_.assign_union(store_[current & 1], store_[1 - (current & 1)]);
    return &scan_;
}

void frame_damage_t::scanned(int current) {
    if (sized()) store_[current & 1].clear_all();
}

const block_mask_t *frame_damage_t::turned_stale() const {
    return limit_scan && sized() ? &turned_ : nullptr;
}

void frame_damage_t::turned_done() {
    if (sized()) turned_.clear_all();
}
