// Vector colour conversion of 32 x 8 blocks, compiled for every SIMD target.
//
// A pixel is one 32-bit lane B | G << 8 | R << 16 | X << 24. Masking and a
// byte shuffle give the 16-bit pairs (B - G, R - G); one widening pairwise
// multiply-add per component then forms the exact 32-bit fixed-point sums,
// since the coefficients of each component add up to 65536 (Y) or 0 (Cb,
// Cr):
//   Y  = 65536 G + 7471 (B - G) + 19595 (R - G) + 32768
//   Cb = 8421375 - (-32768 (B - G) + 11059 (R - G))
//   Cr = 8421375 - (5329 (B - G) - 32768 (R - G))
// (32768 does not fit a signed 16-bit factor, hence the chroma as a constant
// minus a sum.) Every sum lies in 0 .. 2^24 - 1, so the sample is byte 2 of
// its lane; byte shuffles gather those bytes of four vectors into one vector
// of samples in pixel order.
//
// An RGBX pixel is the lane R | G << 8 | B << 16 | X << 24: the same steps
// give the pairs (R - G, B - G), so only the two factors of each pair change
// places. Each order is its own instance of the code, with its factors as
// constants.

#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "block_convert.cpp"
#include "block_convert.h"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace block_convert_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The samples of one pixel by the same sums, for blocks of a single colour.
struct Pixel {
    uint8_t y, cb, cr;
};
HWY_INLINE Pixel ConvertPixel(int32_t b, int32_t g, int32_t r) {
    return Pixel{static_cast<uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16),
                 static_cast<uint8_t>((-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16),
                 static_cast<uint8_t>((32768 * r - 27439 * g - 5329 * b + 8421375) >> 16)};
}

#if HWY_TARGET == HWY_SCALAR

// CPUs without any supported vector extension: the same sums, pixel by pixel.
template <channel_order_e kOrder>
void ConvertRowsIn(const uint8_t *HWY_RESTRICT pixels, ptrdiff_t stride, uint8_t *HWY_RESTRICT out,
                   const uint8_t *HWY_RESTRICT current, bool *differs) {
    constexpr int kBlue = blue_byte(kOrder), kRed = red_byte(kOrder);
    bool diff = false;
    for (int row = 0; row < CONVERT_BLOCK_HEIGHT; ++row) {
        const uint8_t *p = pixels + row * stride;
        for (int col = 0; col < CONVERT_BLOCK_WIDTH; ++col, p += 4) {
            const Pixel px = ConvertPixel(p[kBlue], p[1], p[kRed]);
            const int at = row * CONVERT_BLOCK_WIDTH + col;
            out[at] = px.y;
            out[at + CONVERT_BLOCK_PIXELS] = px.cb;
            out[at + 2 * CONVERT_BLOCK_PIXELS] = px.cr;
        }
    }
    if (current != nullptr) diff = std::memcmp(out, current, CONVERT_BLOCK_BYTES) != 0;
    *differs = diff;
}

#else  // HWY_TARGET != HWY_SCALAR

// At most one block row of one plane (32 samples) per vector: 256-bit vectors
// on AVX2 and AVX-512, 128-bit ones on SSE4 and NEON.
using D8 = hn::CappedTag<uint8_t, CONVERT_BLOCK_WIDTH>;
using D32 = hn::Repartition<uint32_t, D8>;
using DI32 = hn::Repartition<int32_t, D8>;
using DI16 = hn::Repartition<int16_t, D8>;
constexpr size_t kLanes8 = hn::MaxLanes(D8());
// 128-bit blocks per vector, and vectors of samples per block row.
constexpr size_t kParts = kLanes8 / 16;
constexpr size_t kGroupsPerRow = CONVERT_BLOCK_WIDTH / kLanes8;
static_assert((kParts == 1 || kParts == 2) && kGroupsPerRow * kLanes8 == CONVERT_BLOCK_WIDTH);

// Four pixels (16 bytes) per 128-bit block. Vector k of a group holds, in
// its block j, the pixels 16 j + 4 k .. 16 j + 4 k + 3 of the group's
// 16 x kParts pixels, so that gathering the samples of vectors 0..3 block by
// block (Gather) lists them in pixel order.
HWY_INLINE hn::Vec<D32> LoadQuad(const uint8_t *HWY_RESTRICT group, size_t k) {
    const D32 d32;
    if constexpr (kParts == 1) {
        return hn::LoadU(d32, reinterpret_cast<const uint32_t *>(group + 16 * k));
    } else {
        const hn::Half<D32> dh;
        const auto *lo = reinterpret_cast<const uint32_t *>(group + 16 * k);
        const auto *hi = reinterpret_cast<const uint32_t *>(group + 64 + 16 * k);
        return hn::Combine(d32, hn::LoadU(dh, hi), hn::LoadU(dh, lo));
    }
}

// Pairwise 16-bit coefficients of (B - G, R - G): the factor of the blue
// difference multiplies the half of each 32-bit lane that holds blue in
// kOrder (the low one for BGRX), the factor of the red one the other half.
template <channel_order_e kOrder>
HWY_INLINE hn::Vec<DI16> Pair(int16_t blue, int16_t red) {
    const bool blue_low = blue_byte(kOrder) == 0;
    const auto low = static_cast<uint16_t>(blue_low ? blue : red);
    const auto high = static_cast<uint16_t>(blue_low ? red : blue);
    const uint32_t word = static_cast<uint32_t>(high) << 16 | low;
    return hn::BitCast(DI16(), hn::Set(D32(), word));
}

// Per 32-bit lane, the sum of the two 16-bit products of a and k.
HWY_INLINE hn::Vec<DI32> Madd(hn::Vec<DI16> a, hn::Vec<DI16> k) {
    const DI32 d;
    auto odd = hn::Zero(d);
    const auto even = hn::ReorderWidenMulAccumulate(d, a, k, hn::Zero(d), odd);
    return hn::RearrangeToOddPlusEven(even, odd);
}

struct Samples {
    hn::Vec<D8> y, cb, cr;
};

// Byte 2 of every 32-bit lane of the four vectors (the sample: every sum is
// below 2^24): one byte shuffle per vector puts vector k's samples at bytes
// 4k .. 4k + 3 of each 128-bit block and zeroes the rest, so that with the
// order LoadQuad prepared the bytes of the four vectors combine into the
// samples in pixel order. Byte shuffles within 128-bit blocks are cheap on
// every target; this takes fewer of them than two narrowing steps with
// shifts.
HWY_INLINE hn::Vec<D8> Gather(hn::Vec<DI32> a, hn::Vec<DI32> b, hn::Vec<DI32> c, hn::Vec<DI32> d) {
    const D8 d8;
    alignas(16) static constexpr uint8_t kTake[4][16] = {
        {2, 6, 10, 14, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128},
        {128, 128, 128, 128, 2, 6, 10, 14, 128, 128, 128, 128, 128, 128, 128, 128},
        {128, 128, 128, 128, 128, 128, 128, 128, 2, 6, 10, 14, 128, 128, 128, 128},
        {128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 2, 6, 10, 14},
    };
    const auto take = [&](hn::Vec<DI32> v, int k) {
        return hn::TableLookupBytesOr0(hn::BitCast(d8, v), hn::LoadDup128(d8, kTake[k]));
    };
    return hn::Or(hn::Or(take(a, 0), take(b, 1)), hn::Or(take(c, 2), take(d, 3)));
}

// Converts the kLanes8 pixels of one group (see LoadQuad).
template <channel_order_e kOrder>
HWY_INLINE Samples ConvertGroup(const uint8_t *HWY_RESTRICT group) {
    const D8 d8;
    const D32 d32;
    const DI32 di32;
    const DI16 di16;
    alignas(16) static constexpr uint8_t kGreenTwice[16] = {1, 128, 1, 128, 5,  128, 5,  128,
                                                            9, 128, 9, 128, 13, 128, 13, 128};
    const auto green_twice = hn::LoadDup128(d8, kGreenTwice);
    const auto low_bytes = hn::Set(d32, 0x00FF00FFu);
    const auto high_half = hn::Set(d32, 0xFFFF0000u);
    const auto k_y = Pair<kOrder>(7471, 19595);
    const auto k_cb = Pair<kOrder>(-32768, 11059);
    const auto k_cr = Pair<kOrder>(5329, -32768);
    const auto half = hn::Set(di32, 32768);
    const auto centre = hn::Set(di32, 8421375);

    hn::Vec<DI32> y[4], cb[4], cr[4];
    for (size_t k = 0; k < 4; ++k) {
        const auto px = LoadQuad(group, k);
        // G in both 16-bit halves; the high one is 65536 G of the Y sum.
        const auto green =
            hn::BitCast(d32, hn::TableLookupBytesOr0(hn::BitCast(d8, px), green_twice));
        // (B - G, R - G) in 16 bits each, in the halves Pair expects.
        const auto diff =
            hn::Sub(hn::BitCast(di16, hn::And(px, low_bytes)), hn::BitCast(di16, green));
        const auto g_high = hn::BitCast(di32, hn::And(green, high_half));
        y[k] = hn::Add(hn::Add(Madd(diff, k_y), g_high), half);
        cb[k] = hn::Sub(centre, Madd(diff, k_cb));
        cr[k] = hn::Sub(centre, Madd(diff, k_cr));
    }
    return Samples{Gather(y[0], y[1], y[2], y[3]), Gather(cb[0], cb[1], cb[2], cb[3]),
                   Gather(cr[0], cr[1], cr[2], cr[3])};
}

// Converts one block row into `out`.
template <channel_order_e kOrder>
HWY_INLINE void StoreRow(const uint8_t *HWY_RESTRICT src, size_t row, uint8_t *HWY_RESTRICT out) {
    const D8 d8;
    for (size_t g = 0; g < kGroupsPerRow; ++g) {
        const Samples s = ConvertGroup<kOrder>(src + g * kParts * 64);
        const size_t at = row * CONVERT_BLOCK_WIDTH + g * kLanes8;
        hn::StoreU(s.y, d8, out + at);
        hn::StoreU(s.cb, d8, out + CONVERT_BLOCK_PIXELS + at);
        hn::StoreU(s.cr, d8, out + 2 * CONVERT_BLOCK_PIXELS + at);
    }
}

// When every pixel of the block has the colour of its first one (the
// ignored byte aside), sets *first to that pixel and returns true. Most
// blocks of a desktop are flat, and most others differ within the first row
// or two, so the test costs little either way.
HWY_INLINE bool Uniform(const uint8_t *HWY_RESTRICT pixels, ptrdiff_t stride, uint32_t *first) {
    const D32 d32;
    constexpr size_t kLanes32 = hn::MaxLanes(D32());
    uint32_t p0;
    std::memcpy(&p0, pixels, 4);
    const auto colour = hn::Set(d32, p0);
    const auto mask = hn::Set(d32, 0x00FFFFFFu);
    for (int row = 0; row < CONVERT_BLOCK_HEIGHT; ++row) {
        const auto *src = reinterpret_cast<const uint32_t *>(pixels + row * stride);
        auto diff = hn::Zero(d32);
        for (size_t i = 0; i < CONVERT_BLOCK_WIDTH; i += kLanes32)
            diff = hn::Or(diff, hn::Xor(hn::LoadU(d32, src + i), colour));
        if (!hn::AllTrue(d32, hn::Eq(hn::And(diff, mask), hn::Zero(d32)))) return false;
    }
    *first = p0;
    return true;
}

// A block of one colour: the three samples, compared with `current` and
// written to `out` only when they differ from it.
template <channel_order_e kOrder>
HWY_INLINE bool UniformChanged(uint32_t colour, uint8_t *HWY_RESTRICT out,
                               const uint8_t *HWY_RESTRICT current) {
    const D8 d8;
    const auto channel = [colour](int byte) {
        return static_cast<int32_t>(colour >> 8 * byte & 0xFF);
    };
    const Pixel px =
        ConvertPixel(channel(blue_byte(kOrder)), channel(1), channel(red_byte(kOrder)));
    const auto y = hn::Set(d8, px.y), cb = hn::Set(d8, px.cb), cr = hn::Set(d8, px.cr);
    auto diff = hn::Zero(d8);
    for (size_t at = 0; at < CONVERT_BLOCK_PIXELS; at += kLanes8) {
        diff = hn::Or(diff, hn::Xor(y, hn::LoadU(d8, current + at)));
        diff = hn::Or(diff, hn::Xor(cb, hn::LoadU(d8, current + CONVERT_BLOCK_PIXELS + at)));
        diff = hn::Or(diff, hn::Xor(cr, hn::LoadU(d8, current + 2 * CONVERT_BLOCK_PIXELS + at)));
    }
    if (hn::AllTrue(d8, hn::Eq(diff, hn::Zero(d8)))) return false;
    std::memset(out, px.y, CONVERT_BLOCK_PIXELS);
    std::memset(out + CONVERT_BLOCK_PIXELS, px.cb, CONVERT_BLOCK_PIXELS);
    std::memset(out + 2 * CONVERT_BLOCK_PIXELS, px.cr, CONVERT_BLOCK_PIXELS);
    return true;
}

// Converts the block into `out`; with `current`, tells whether the result
// differs from it, and then only a differing block is written to `out`: an
// unchanged block, the common case, costs the conversion and the reads of
// `current` but no stores; a changed one is converted again from its first
// row once a row differs.
template <channel_order_e kOrder>
void ConvertRowsIn(const uint8_t *HWY_RESTRICT pixels, ptrdiff_t stride, uint8_t *HWY_RESTRICT out,
                   const uint8_t *HWY_RESTRICT current, bool *differs) {
    const D8 d8;
    if (current == nullptr) {
        for (size_t row = 0; row < CONVERT_BLOCK_HEIGHT; ++row)
            StoreRow<kOrder>(pixels + static_cast<ptrdiff_t>(row) * stride, row, out);
        *differs = false;
        return;
    }
    uint32_t colour;
    if (Uniform(pixels, stride, &colour)) {
        *differs = UniformChanged<kOrder>(colour, out, current);
        return;
    }
    for (size_t row = 0; row < CONVERT_BLOCK_HEIGHT; ++row) {
        const uint8_t *src = pixels + static_cast<ptrdiff_t>(row) * stride;
        auto diff = hn::Zero(d8);
        for (size_t g = 0; g < kGroupsPerRow; ++g) {
            const Samples s = ConvertGroup<kOrder>(src + g * kParts * 64);
            const size_t at = row * CONVERT_BLOCK_WIDTH + g * kLanes8;
            diff = hn::Or(diff, hn::Xor(s.y, hn::LoadU(d8, current + at)));
            diff = hn::Or(diff, hn::Xor(s.cb, hn::LoadU(d8, current + CONVERT_BLOCK_PIXELS + at)));
            diff =
                hn::Or(diff, hn::Xor(s.cr, hn::LoadU(d8, current + 2 * CONVERT_BLOCK_PIXELS + at)));
        }
        if (hn::AllTrue(d8, hn::Eq(diff, hn::Zero(d8)))) continue;
        // The first differing row: the block is converted again, this time
        // into `out`. The rows converted twice cost little beside the coding
        // of the block that follows.
        for (size_t r = 0; r < CONVERT_BLOCK_HEIGHT; ++r)
            StoreRow<kOrder>(pixels + static_cast<ptrdiff_t>(r) * stride, r, out);
        *differs = true;
        return;
    }
    *differs = false;
}

#endif  // HWY_TARGET

void ConvertRows(const uint8_t *HWY_RESTRICT pixels, ptrdiff_t stride, uint8_t *HWY_RESTRICT out,
                 const uint8_t *HWY_RESTRICT current, bool *differs, channel_order_e order) {
    if (order == channel_order_e::RGBX)
        ConvertRowsIn<channel_order_e::RGBX>(pixels, stride, out, current, differs);
    else
        ConvertRowsIn<channel_order_e::BGRX>(pixels, stride, out, current, differs);
}

// The change test of one block (see convert_block_changed), both stores
// given.
template <channel_order_e kOrder>
HWY_INLINE bool BlockChanged(const uint8_t *HWY_RESTRICT pixels, ptrdiff_t stride,
                             uint8_t *HWY_RESTRICT current, const uint8_t *HWY_RESTRICT previous,
                             uint8_t *HWY_RESTRICT equal, uint8_t *HWY_RESTRICT out) {
    bool differs = false;
    ConvertRowsIn<kOrder>(pixels, stride, out, current, &differs);
    if (differs) {
        std::memcpy(current, out, CONVERT_BLOCK_BYTES);
        if (equal != nullptr) *equal = 0;
        return true;
    }
    if (equal != nullptr && *equal != 0) return false;
    const bool same = std::memcmp(previous, current, CONVERT_BLOCK_BYTES) == 0;
    if (equal != nullptr) *equal = same ? 1 : 0;
    // Sent again: the conversion left `out` alone, but `current` holds
    // exactly the new content.
    if (!same) std::memcpy(out, current, CONVERT_BLOCK_BYTES);
    return !same;
}

// Blocks ahead whose pixels and store entry are fetched while one is
// tested: an unchanged block is so little work that it would otherwise wait
// on memory.
constexpr int kFetchAhead = 3;

template <channel_order_e kOrder>
int ScanBlocksIn(const uint8_t *HWY_RESTRICT pixels, ptrdiff_t stride, int count,
                 uint8_t *HWY_RESTRICT current, const uint8_t *HWY_RESTRICT previous,
                 uint8_t *HWY_RESTRICT equal, uint8_t *HWY_RESTRICT out) {
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<size_t>(i);
        if (i + kFetchAhead < count) {
            const uint8_t *ahead = pixels + 4 * CONVERT_BLOCK_WIDTH * (at + kFetchAhead);
            for (int r = 0; r < CONVERT_BLOCK_HEIGHT; ++r) {
                __builtin_prefetch(ahead + r * stride);
                __builtin_prefetch(ahead + r * stride + 64);
            }
            const uint8_t *entry = current + CONVERT_BLOCK_BYTES * (at + kFetchAhead);
            for (int line = 0; line < CONVERT_BLOCK_BYTES; line += 64)
                __builtin_prefetch(entry + line);
        }
        if (BlockChanged<kOrder>(
                pixels + 4 * CONVERT_BLOCK_WIDTH * at, stride, current + CONVERT_BLOCK_BYTES * at,
                previous + CONVERT_BLOCK_BYTES * at, equal != nullptr ? equal + at : nullptr, out))
            return i;
    }
    return count;
}

int ScanBlocks(const uint8_t *HWY_RESTRICT pixels, ptrdiff_t stride, int count,
               uint8_t *HWY_RESTRICT current, const uint8_t *HWY_RESTRICT previous,
               uint8_t *HWY_RESTRICT equal, uint8_t *HWY_RESTRICT out, channel_order_e order) {
    if (order == channel_order_e::RGBX)
        return ScanBlocksIn<channel_order_e::RGBX>(pixels, stride, count, current, previous, equal,
                                                   out);
    return ScanBlocksIn<channel_order_e::BGRX>(pixels, stride, count, current, previous, equal,
                                               out);
}

int64_t Target() {
    return HWY_TARGET;
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace block_convert_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace block_convert_detail {

HWY_EXPORT(ConvertRows);
HWY_EXPORT(ScanBlocks);
HWY_EXPORT(Target);

int64_t compiled_targets() {
    return HWY_TARGETS;
}

int64_t dispatched_target() {
    return HWY_DYNAMIC_DISPATCH(Target)();
}

namespace {
bool convert_rows(const uint8_t *pixels, ptrdiff_t stride, uint8_t *out, const uint8_t *current,
                  channel_order_e order) {
    bool differs = false;
    HWY_DYNAMIC_DISPATCH(ConvertRows)(pixels, stride, out, current, &differs, order);
    return differs;
}
int scan_blocks(const uint8_t *pixels, ptrdiff_t stride, int count, uint8_t *current,
                const uint8_t *previous, uint8_t *stores_equal, uint8_t *out,
                channel_order_e order) {
    return HWY_DYNAMIC_DISPATCH(ScanBlocks)(pixels, stride, count, current, previous, stores_equal,
                                            out, order);
}
}  // namespace

}  // namespace block_convert_detail

void convert_block_ycc(const uint8_t *pixels, ptrdiff_t stride, uint8_t *out,
                       channel_order_e order) {
    block_convert_detail::convert_rows(pixels, stride, out, nullptr, order);
}

bool convert_block_changed(const uint8_t *pixels, ptrdiff_t stride, uint8_t *current,
                           const uint8_t *previous, uint8_t *stores_equal, uint8_t *out,
                           channel_order_e order) {
    if (current == nullptr || previous == nullptr) {
        block_convert_detail::convert_rows(pixels, stride, out, nullptr, order);
        return true;
    }
    return convert_blocks_changed(pixels, stride, 1, current, previous, stores_equal, out, order) ==
           0;
}

int convert_blocks_changed(const uint8_t *pixels, ptrdiff_t stride, int count, uint8_t *current,
                           const uint8_t *previous, uint8_t *stores_equal, uint8_t *out,
                           channel_order_e order) {
    return block_convert_detail::scan_blocks(pixels, stride, count, current, previous, stores_equal,
                                             out, order);
}

#endif  // HWY_ONCE
