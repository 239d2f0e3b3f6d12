// Blocks owed to a device: blocks whose latest records went out in a
// transfer that did not arrive whole, or never left. The snapshot stores
// count them as sent, so without this the device would keep their old
// content until they change again.
//
// One bit per block of the largest grid a block header can address. The
// bulk completion (main thread) marks bits; the render thread takes them
// before the next frame and has the frame carry those blocks again. Bits
// are atomic words: marking and taking never wait for each other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "state.h"
#include "stream.h"

class owed_blocks_t {
  public:
    static constexpr size_t MAX_BLOCKS = MAX_GRID_BLOCKS;

    void mark(uint32_t block);
    // Marks the block of every record in the stream of `length` bytes.
    void mark_stream(const uint8_t *stream, size_t length);
    bool any() const { return any_.load(std::memory_order_acquire); }

    // Clears every owed block and calls fn(block) for those below `limit`
    // (blocks of an older, larger grid are dropped: a mode change sends
    // every block anyway). Returns how many were passed to fn.
    template <class Fn>
    size_t take(uint32_t limit, Fn &&fn) {
        if (!any_.exchange(false, std::memory_order_acq_rel)) return 0;
        size_t taken = 0;
        for (size_t w = 0; w < WORDS; ++w) {
            if (words_[w].load(std::memory_order_relaxed) == 0) continue;
            uint64_t bits = words_[w].exchange(0, std::memory_order_acq_rel);
            while (bits != 0) {
                const uint32_t block = static_cast<uint32_t>(w * 64 + __builtin_ctzll(bits));
                bits &= bits - 1;
                if (block < limit) {
                    fn(block);
                    ++taken;
                }
            }
        }
        return taken;
    }

  private:
    static constexpr size_t WORDS = MAX_BLOCKS / 64;
    std::atomic<uint64_t> words_[WORDS] = {};
    std::atomic<bool> any_{false};
};

// By device slot.
extern owed_blocks_t owed_blocks[MAX_DEVICES];
