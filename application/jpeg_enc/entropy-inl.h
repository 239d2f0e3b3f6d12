// Entropy coder core, compiled once per SIMD target (included by the vector
// encoder for each target and by entropy.cpp for the baseline).
//
// The output is the bit sequence of the Huffman codes and additional bits,
// most significant first, with a 0x00 stuffed after every 0xFF byte. Where
// the bytes are cut into words does not change them, so inside a block they
// leave eight at a time, while the record between calls holds fewer than 32
// pending bits in its 32-bit `wordnew`, as its writers define.

// Per-target include guard.
#if defined(JPEG_ENC_ENTROPY_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef JPEG_ENC_ENTROPY_INL_H_
#undef JPEG_ENC_ENTROPY_INL_H_
#else
#define JPEG_ENC_ENTROPY_INL_H_
#endif

#include <bit>
#include <cstdint>
#include <cstring>

#include "hwy/highway.h"
#include "jpeg_enc.h"
#include "jpeg_enc/zigzag_lut.h"

HWY_BEFORE_NAMESPACE();
namespace jpeg_enc_detail {
namespace HWY_NAMESPACE {

// Pending bits live right-aligned in a 64-bit accumulator and leave it eight
// bytes at a time; `free` counts its unused bits. Only the record keeps the
// 32-bit form (fewer than 32 pending bits in `wordnew`): StoreSink writes out
// whole 32-bit words until that holds, so the bytes are the same either way.
struct BitSink {
    uint64_t acc;  // the low 64 - free bits are pending; higher bits are stale
    int free;
    BYTE *out;
};

HWY_INLINE BitSink LoadSink(const cinfo_t *cinfo) {
    return BitSink{cinfo->wordnew, 64 - cinfo->wordpos,
                   cinfo->jpeg_stream.pbitstream + cinfo->jpeg_stream.pos};
}

HWY_INLINE void EmitByte(BitSink &s, unsigned b) {
    *s.out++ = static_cast<BYTE>(b);
    if (b == 0xFF) *s.out++ = 0;
}

// Any byte of w equal to 0xFF <=> a zero byte in ~w.
template <typename T>
HWY_INLINE bool HasFFByte(T w) {
    constexpr T kOnes = static_cast<T>(~T{0}) / 0xFF;  // 0x01 in every byte
    return ((~w - kOnes) & w & (kOnes << 7)) != 0;
}

HWY_INLINE void Emit32(BitSink &s, uint32_t w) {
    if (HWY_LIKELY(!HasFFByte(w))) {
        uint32_t be = w;
        if constexpr (std::endian::native == std::endian::little) be = __builtin_bswap32(w);
        std::memcpy(s.out, &be, 4);
        s.out += 4;
        return;
    }
    for (int shift = 24; shift >= 0; shift -= 8) EmitByte(s, (w >> shift) & 0xFF);
}

HWY_INLINE void Emit64(BitSink &s, uint64_t w) {
    if (HWY_LIKELY(!HasFFByte(w))) {
        uint64_t be = w;
        if constexpr (std::endian::native == std::endian::little) be = __builtin_bswap64(w);
        std::memcpy(s.out, &be, 8);
        s.out += 8;
        return;
    }
    for (int shift = 56; shift >= 0; shift -= 8) EmitByte(s, (w >> shift) & 0xFF);
}

// Writes out whole 32-bit words until fewer than 32 bits are pending.
HWY_INLINE void Normalize(BitSink &s) {
    while (s.free <= 32) {
        s.free += 32;
        Emit32(s, static_cast<uint32_t>(s.acc >> (64 - s.free)));
    }
}

HWY_INLINE void StoreSink(BitSink s, cinfo_t *cinfo) {
    Normalize(s);
    const int pending = 64 - s.free;
    cinfo->wordnew = static_cast<DWORD>(s.acc & ((uint64_t{1} << pending) - 1));
    cinfo->wordpos = pending;
    cinfo->jpeg_stream.pos = static_cast<DWORD>(s.out - cinfo->jpeg_stream.pbitstream);
}

// Appends the n (0 to 32) low bits of `bits`; higher bits must be zero.
HWY_INLINE void Put(BitSink &s, uint64_t bits, int n) {
    s.free -= n;
    if (HWY_LIKELY(s.free >= 0)) {
        s.acc = (s.acc << n) | bits;
        return;
    }
    // The accumulator fills up: its first `n + free` free bits take the top
    // of the new bits, the rest stays pending.
    const int fits = n + s.free;
    Emit64(s, (s.acc << fits) | (bits >> -s.free));
    s.acc = bits;
    s.free += 64;
}

HWY_INLINE void PutCode(BitSink &s, bitstring bs) {
    Put(s, bs >> 16, static_cast<int>(bs & 0xFF));
}

// Left-aligns what is pending and writes its whole bytes, the unused low bits
// of the last byte being 0.
HWY_INLINE void Flush(BitSink &s) {
    Normalize(s);
    const int pending = 64 - s.free;
    if (pending > 0) {
        const uint32_t w = static_cast<uint32_t>(s.acc << (32 - pending));
        const int bytes = (pending + 7) / 8;
        for (int i = 0; i < bytes; ++i) EmitByte(s, (w >> (24 - 8 * i)) & 0xFF);
    }
    s.acc = 0;
    s.free = 64;
}

HWY_INLINE unsigned Category(int v) {
    return kCategoryLut[static_cast<size_t>(v + 2048) & (kCategoryLut.size() - 1)];
}

// Row-major non-zero mask of a data unit (bit i: coefficient i is non-zero).
HWY_INLINE uint64_t NonzeroMask(const INT16 *HWY_RESTRICT du) {
    uint64_t mask = 0;
#if HWY_TARGET == HWY_SCALAR
    for (int i = 0; i < 64; ++i) mask |= uint64_t{du[i] != 0} << i;
#else
    const hwy::HWY_NAMESPACE::FixedTag<int16_t, 8> d;
    for (int r = 0; r < 8; ++r) {
        const auto m = hwy::HWY_NAMESPACE::Ne(hwy::HWY_NAMESPACE::LoadU(d, du + 8 * r),
                                              hwy::HWY_NAMESPACE::Zero(d));
        uint8_t bits[8] = {};
        hwy::HWY_NAMESPACE::StoreMaskBits(d, m, bits);
        mask |= uint64_t{bits[0]} << (8 * r);
    }
#endif
    return mask;
}

// Codes one quantised data unit (natural order) whose non-zero coefficients
// are the set bits of `nonzero` (row-major).
HWY_INLINE void EncodeUnit(BitSink &s, const INT16 *HWY_RESTRICT du, uint64_t nonzero,
                           SWORD *HWY_RESTRICT dc, const HuffmanTable_t *HWY_RESTRICT ht) {
    {
        const int diff = du[0] - *dc;
        *dc = du[0];
        const unsigned cat = Category(diff);
        // A negative value is sent as value - 1 in `cat` bits.
        const uint32_t extra =
            static_cast<uint32_t>(diff + (diff >> 31)) & ((uint32_t{1} << cat) - 1);
        const bitstring code = ht->DC[cat];
        Put(s, (uint64_t{code >> 16} << cat) | extra, static_cast<int>((code & 0xFF) + cat));
    }

    uint64_t zz = 0;
    for (int r = 0; r < 8; ++r) zz |= kZigzagMaskLut[r][(nonzero >> (8 * r)) & 0xFF];
    zz &= ~uint64_t{1};

    const bitstring *HWY_RESTRICT ac = ht->AC;
    unsigned last = 0;
    while (zz != 0) {
        const unsigned k = static_cast<unsigned>(__builtin_ctzll(zz));
        zz &= zz - 1;
        unsigned run = k - last - 1;
        last = k;
        if (HWY_UNLIKELY(run >= 16)) {
            const bitstring zrl = ac[0xF0];
            do {
                PutCode(s, zrl);
                run -= 16;
            } while (run >= 16);
        }
        const int v = du[kNaturalOrder[k]];
        const unsigned cat = Category(v);
        const uint32_t extra = static_cast<uint32_t>(v + (v >> 31)) & ((uint32_t{1} << cat) - 1);
        const bitstring code = ac[(run << 4) + cat];
        Put(s, (uint64_t{code >> 16} << cat) | extra, static_cast<int>((code & 0xFF) + cat));
    }
    if (last != 63) PutCode(s, ac[0x00]);  // end of block
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace jpeg_enc_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
