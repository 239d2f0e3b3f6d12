// Colour conversion of 32 x 8 pixel blocks into planar YCbCr and the change
// test against the two snapshot stores, fused into one pass over the pixels. Vectorised for every
// SIMD target; the dispatch picks the best one the CPU runs.
//
// The result is exactly that of the fixed-point table conversion with 16
// fractional bits: Y = (19595 R + 38470 G + 7471 B + 32768) >> 16,
// Cb = (-11059 R - 21709 G + 32768 B + 8421375) >> 16 and
// Cr = (32768 R - 27439 G - 5329 B + 8421375) >> 16, for every colour.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int CONVERT_BLOCK_WIDTH = 32;
inline constexpr int CONVERT_BLOCK_HEIGHT = 8;
inline constexpr int CONVERT_BLOCK_PIXELS = CONVERT_BLOCK_WIDTH * CONVERT_BLOCK_HEIGHT;
// Y plane, then Cb, then Cr, each 32 samples per row, 8 rows.
inline constexpr int CONVERT_BLOCK_BYTES = 3 * CONVERT_BLOCK_PIXELS;

// The order of the bytes of a 4-byte pixel in memory; the fourth byte (X, or
// alpha) is ignored either way. A plane in DRM format XR24 or AR24 holds
// BGRX, one in XB24 or AB24 holds RGBX.
enum class channel_order_e : uint8_t {
    BGRX,  // blue, green, red, ignored
    RGBX,  // red, green, blue, ignored
};
// Offsets of blue and of red within a pixel (green is always at 1).
constexpr int blue_byte(channel_order_e order) {
    return order == channel_order_e::BGRX ? 0 : 2;
}
constexpr int red_byte(channel_order_e order) {
    return 2 - blue_byte(order);
}

// Converts the 32 x 8 pixels at `pixels` (4 bytes each in `order`; rows
// `stride` bytes apart) into the 768 bytes at `out`.
void convert_block_ycc(const uint8_t *pixels, ptrdiff_t stride, uint8_t *out,
                       channel_order_e order = channel_order_e::BGRX);

// The conversion and the change test of one block in one pass.
// `current` and `previous` are the block's 768-byte entries in the snapshot
// store current for this frame and in the other one; either may be null (no
// store: the block always counts as changed). The block is changed when its
// new content differs from `current`, which then takes the new content, or
// else when `previous` differs from `current`. Returns true when the block
// changed, and then `out` holds the new content; for an unchanged block
// `out` is left undefined (not writing it is most of what an unchanged block
// saves).
//
// `stores_equal` (may be null) caches the comparison of the two entries, so
// that a block unchanged for a while costs a read of one store only: nonzero
// means both entries are known to hold the same bytes. This function keeps it
// right; whoever else writes either entry (a pre-fill) sets it to 0.
// The pixels are in `order`.
bool convert_block_changed(const uint8_t *pixels, ptrdiff_t stride, uint8_t *current,
                           const uint8_t *previous, uint8_t *stores_equal, uint8_t *out,
                           channel_order_e order = channel_order_e::BGRX);

// convert_block_changed for `count` blocks side by side in one block row,
// one after another, stopping at the first that changed: block i's pixels
// start at pixels + 128 i, its entries at current + 768 i and
// previous + 768 i (both stores given), its cache byte at stores_equal[i]
// (stores_equal may be null). Returns the index of the changed block, whose
// content is then in `out`, or `count` when none of them changed. One call
// per row saves the per-block dispatch, and the memory of the blocks ahead is
// fetched while one is converted.
int convert_blocks_changed(const uint8_t *pixels, ptrdiff_t stride, int count, uint8_t *current,
                           const uint8_t *previous, uint8_t *stores_equal, uint8_t *out,
                           channel_order_e order = channel_order_e::BGRX);

// For tests and diagnostics: the Highway targets compiled in, and the one
// the dispatch selects now (follows hwy::SetSupportedTargetsForTest).
namespace block_convert_detail {
int64_t compiled_targets();
int64_t dispatched_target();
}  // namespace block_convert_detail
