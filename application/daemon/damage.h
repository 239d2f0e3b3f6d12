// Damage: which blocks of a device's frame can differ from what each snapshot
// store holds, so that a frame converts and compares only those blocks.
//
// A block that no grabbed rectangle has touched since a store last took the
// frame's content still holds, in the frame, what that store holds: EVDI
// copies only the damaged rectangles into the grab. A block outside the
// damage of both stores therefore produces no record, and the change test
// can skip it without the stream changing by a byte.
//
// Every change of the frame the workers read must reach the damage: the
// grabbed rectangles (also of frames dropped for want of a transfer slot),
// blocks whose stores were made to forget their content (blocks owed to
// the device, pre-fills), a new mode, a new turn or mirror. The render
// thread changes and reads it (under the screen's lock, or its frame lock
// while it codes); the screen's event thread changes it only at a mode
// change, holding both. Grabs on the event thread leave their rectangles to
// the render thread, which marks them before it takes the next frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// True when the environment asks for the capture of old
// (TORVEL_FULL_SCAN set to anything but 0): every block of every frame
// converted and compared, and the cursor left to EVDI to draw. The
// benchmarks' baseline.
bool full_scan_requested();

// One bit per block of a grid.
class block_mask_t {
  public:
    // `blocks` bits, all clear. False (and empty) without memory.
    bool resize(size_t blocks);
    size_t size() const { return blocks_; }

    void set(uint32_t block);
    // Blocks first .. end - 1.
    void set_range(uint32_t first, uint32_t end);
    void set_all();
    void clear_all();
    bool test(uint32_t block) const;
    size_t count() const;
    // This mask becomes a | b (all three of one size).
    void assign_union(const block_mask_t &a, const block_mask_t &b);

    // Calls fn(first, end) for each run of set blocks within first .. end - 1,
    // in order.
    template <class Fn>
    void for_each_run(uint32_t first, uint32_t end, Fn &&fn) const;

  private:
    std::unique_ptr<uint64_t[]> words_;
    size_t blocks_ = 0;
    size_t word_count_ = 0;
};

// How the frame the workers read is made from the screen.
enum class frame_turn_e : uint8_t {
    NONE,      // as captured
    TURN_180,  // turned by 180 degrees
    MIRROR,    // mirrored left to right
};

// The damage of one device's frame against its two snapshot stores, and of
// the screen's turned frame against the screen.
class frame_damage_t {
  public:
    // Off (the default): every frame converts and compares every block, for
    // callers that do not report what changed (the tools, and the daemon
    // with TORVEL_FULL_SCAN set). On: the screen's grabs report it.
    bool limit_scan = false;

    // A new grid for a width x height frame: every block damaged. False
    // without memory (then every frame scans every block).
    bool resize(int width, int height, int loop_x, int loop_y);
    void release();

    // Every block, in both stores and the turned frame (a pre-fill, a
    // refresh).
    void mark_all();
    // A rectangle of the screen, x1 .. x2 - 1 by y1 .. y2 - 1 in pixels
    // (clipped to the frame), placed as the frame is turned.
    void mark_rect(int x1, int y1, int x2, int y2);
    // One block of the frame the workers read (its stores forgot it).
    void mark_block(uint32_t block);
    // The frame is now made with `turn`: a new turn moves every pixel.
    void set_turn(frame_turn_e turn);
    frame_turn_e turn() const { return turn_; }

    // For a frame whose current store is `current` (0 or 1): the blocks to
    // convert and compare, or null when every block must be. Valid until
    // the next change of the damage.
    const block_mask_t *scan_for(int current);
    // The frame with current store `current` went through the change test
    // for every block of scan_for's set: that store now holds the frame.
    void scanned(int current);

    // Blocks of the turned frame that lag behind the screen (to be turned
    // again), or null when the whole frame must be. The caller brings them up
    // to date and calls turned_done().
    const block_mask_t *turned_stale() const;
    void turned_done();

  private:
    bool sized() const { return loop_x_ > 0; }
    void mark_blocks(int col0, int row0, int col_end, int row_end);

    block_mask_t store_[2];
    block_mask_t scan_;
    block_mask_t turned_;
    int width_ = 0, height_ = 0, loop_x_ = 0, loop_y_ = 0;
    frame_turn_e turn_ = frame_turn_e::NONE;
};

template <class Fn>
void block_mask_t::for_each_run(uint32_t first, uint32_t end, Fn &&fn) const {
    if (end > blocks_) end = static_cast<uint32_t>(blocks_);
    uint32_t at = first;
    while (at < end) {
        // The next set bit from `at` on.
        size_t w = at / 64;
        uint64_t bits = words_[w] & (~uint64_t{0} << (at % 64));
        while (bits == 0) {
            if (++w >= word_count_ || w * 64 >= end) return;
            bits = words_[w];
        }
        const uint32_t start = static_cast<uint32_t>(w * 64 + __builtin_ctzll(bits));
        if (start >= end) return;
        // The next clear bit after it.
        uint64_t clear = ~words_[w] & (~uint64_t{0} << (start % 64));
        while (clear == 0) {
            if (++w >= word_count_) break;
            clear = ~words_[w];
        }
        uint32_t stop = w < word_count_ ? static_cast<uint32_t>(w * 64 + __builtin_ctzll(clear))
                                        : static_cast<uint32_t>(blocks_);
        if (stop > end) stop = end;
        fn(start, stop);
        at = stop;
    }
}
