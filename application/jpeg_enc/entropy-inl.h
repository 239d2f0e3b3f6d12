// Entropy coder core, compiled once per SIMD target (included by the vector
// encoder for each target and by entropy.cpp for the baseline).
//
// The output is the bit sequence of the Huffman codes and additional bits,
// most significant first, with a 0x00 stuffed after every 0xFF byte. Bytes
// leave the accumulator in groups of four, so between calls the pending bits
// (fewer than 32) fit the record's 32-bit `wordnew`.

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

struct BitSink {
    uint64_t acc;  // the low `nbits` bits are pending; higher bits are stale
    unsigned nbits;
    BYTE *out;
};

HWY_INLINE BitSink LoadSink(const cinfo_t *cinfo) {
    return BitSink{cinfo->wordnew, static_cast<unsigned>(cinfo->wordpos),
                   cinfo->jpeg_stream.pbitstream + cinfo->jpeg_stream.pos};
}

HWY_INLINE void StoreSink(const BitSink &s, cinfo_t *cinfo) {
    cinfo->wordnew = static_cast<DWORD>(s.acc & ((uint64_t{1} << s.nbits) - 1));
    cinfo->wordpos = static_cast<int>(s.nbits);
    cinfo->jpeg_stream.pos = static_cast<DWORD>(s.out - cinfo->jpeg_stream.pbitstream);
}

HWY_INLINE void EmitByte(BitSink &s, unsigned b) {
    *s.out++ = static_cast<BYTE>(b);
    if (b == 0xFF) *s.out++ = 0;
}

HWY_INLINE void Emit32(BitSink &s, uint32_t w) {
    // Any byte equal to 0xFF <=> a zero byte in ~w.
    const uint32_t inv = ~w;
    if (HWY_LIKELY(((inv - 0x01010101U) & w & 0x80808080U) == 0)) {
        uint32_t be = w;
        if constexpr (std::endian::native == std::endian::little) be = __builtin_bswap32(w);
        std::memcpy(s.out, &be, 4);
        s.out += 4;
        return;
    }
    EmitByte(s, w >> 24);
    EmitByte(s, (w >> 16) & 0xFF);
    EmitByte(s, (w >> 8) & 0xFF);
    EmitByte(s, w & 0xFF);
}

// Appends the n (at most 32) low bits of `bits`; higher bits must be zero.
HWY_INLINE void Put(BitSink &s, uint64_t bits, unsigned n) {
    s.acc = (s.acc << n) | bits;
    s.nbits += n;
    if (s.nbits >= 32) {
        s.nbits -= 32;
        Emit32(s, static_cast<uint32_t>(s.acc >> s.nbits));
    }
}

HWY_INLINE void PutCode(BitSink &s, bitstring bs) {
    Put(s, bs >> 16, bs & 0xFF);
}

// Left-aligns what is pending and writes its whole bytes, the unused low bits
// of the last byte being 0.
HWY_INLINE void Flush(BitSink &s) {
    if (s.nbits > 0) {
        const uint32_t w = static_cast<uint32_t>(s.acc << (32 - s.nbits));
        const unsigned bytes = (s.nbits + 7) / 8;
        for (unsigned i = 0; i < bytes; ++i) EmitByte(s, (w >> (24 - 8 * i)) & 0xFF);
    }
    s.acc = 0;
    s.nbits = 0;
}

// Number of significant bits of a non-zero magnitude.
HWY_INLINE unsigned Category(uint32_t magnitude) {
    return 32U - static_cast<unsigned>(__builtin_clz(magnitude));
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
        const uint32_t magnitude = static_cast<uint32_t>(diff < 0 ? -diff : diff);
        const unsigned cat = magnitude == 0 ? 0 : Category(magnitude);
        // A negative value is sent as value - 1 in `cat` bits.
        const uint32_t extra =
            static_cast<uint32_t>(diff + (diff >> 31)) & ((uint32_t{1} << cat) - 1);
        const bitstring code = ht->DC[cat];
        Put(s, (uint64_t{code >> 16} << cat) | extra, (code & 0xFF) + cat);
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
        const unsigned cat = Category(static_cast<uint32_t>(v < 0 ? -v : v));
        const uint32_t extra = static_cast<uint32_t>(v + (v >> 31)) & ((uint32_t{1} << cat) - 1);
        const bitstring code = ac[(run << 4) + cat];
        Put(s, (uint64_t{code >> 16} << cat) | extra, (code & 0xFF) + cat);
    }
    if (last != 63) PutCode(s, ac[0x00]);  // end of block
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace jpeg_enc_detail
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
