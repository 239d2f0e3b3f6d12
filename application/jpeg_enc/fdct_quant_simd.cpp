// Vector forward DCT and quantiser, and the block loop that feeds the entropy
// coder, compiled for every SIMD target and chosen at run time.
//
// Each 128-bit block of a vector holds one row (or, between the passes, one
// column) of one data unit as eight 16-bit lanes. Wider targets put the same
// row of two (AVX2) or four (AVX-512) neighbouring data units side by side,
// which is exactly how a row of a sample plane lies in memory.
//
// The arithmetic is that of fdct_quant_scalar.cpp, lane for lane:
// - M(v, K) = floor(v * K / 256) becomes MulHigh(v, K * 256) with K * 256
//   taken modulo 65536 into the signed range, plus v when that wrapped
//   (floor((v * K * 256 - v * 65536) / 65536) + v).
// - The quantiser's shift is applied as a second multiply-high by the
//   table's scale 2^(15 - shift) of twice the product.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "jpeg_enc/fdct_quant_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "jpeg_enc.h"
#include "jpeg_enc/entropy-inl.h"
#include "jpeg_enc/reference.h"
#include "jpeg_enc/simd.h"

HWY_BEFORE_NAMESPACE();
namespace jpeg_enc_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// CPUs without any supported vector extension run the scalar reference.
void FdctQuantizeUnit(const INT16 *HWY_RESTRICT divisors, SWORD *HWY_RESTRICT data) {
    fdct_and_quantization_reference(divisors, data);
}

void QuantizeUnit(const INT16 *HWY_RESTRICT divisors, SWORD *HWY_RESTRICT data) {
    quantize_reference(data, divisors, data);
}

void MainEncoder(cinfo_t *HWY_RESTRICT cinfo) {
    BitSink sink = LoadSink(cinfo);
    SWORD dcy = 0, dccb = 0, dccr = 0;
    for (int ypos = 0; ypos < cinfo->Yimage; ypos += 8) {
        for (int xpos = 0; xpos < cinfo->Ximage; xpos += 8) {
            load_data_units_from_buffer(cinfo, static_cast<WORD>(xpos), static_cast<WORD>(ypos));
            fdct_and_quantization_reference(cinfo->divisor_Y, cinfo->DU_DCTY);
            fdct_and_quantization_reference(cinfo->divisor_Cb, cinfo->DU_DCTCb);
            fdct_and_quantization_reference(cinfo->divisor_Cb, cinfo->DU_DCTCr);
            EncodeUnit(sink, cinfo->DU_DCTY, NonzeroMask(cinfo->DU_DCTY), &dcy, &Y_HT);
            EncodeUnit(sink, cinfo->DU_DCTCb, NonzeroMask(cinfo->DU_DCTCb), &dccb, &Cb_HT);
            EncodeUnit(sink, cinfo->DU_DCTCr, NonzeroMask(cinfo->DU_DCTCr), &dccr, &Cb_HT);
        }
    }
    StoreSink(sink, cinfo);
}

#else  // HWY_TARGET != HWY_SCALAR

// Data units per vector.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
constexpr size_t kWideUnits = 4;
#elif HWY_TARGET == HWY_AVX2
constexpr size_t kWideUnits = 2;
#else
constexpr size_t kWideUnits = 1;
#endif

template <size_t kUnits>
using Tag = hn::FixedTag<int16_t, 8 * kUnits>;

template <class D, class V>
HWY_INLINE V MulFix98(D d, V v) {
    return hn::MulHigh(v, hn::Set(d, static_cast<int16_t>(98 * 256)));
}
template <class D, class V>
HWY_INLINE V MulFix139(D d, V v) {
    return hn::Add(hn::MulHigh(v, hn::Set(d, static_cast<int16_t>(139 * 256 - 65536))), v);
}
template <class D, class V>
HWY_INLINE V MulFix181(D d, V v) {
    return hn::Add(hn::MulHigh(v, hn::Set(d, static_cast<int16_t>(181 * 256 - 65536))), v);
}
template <class D, class V>
HWY_INLINE V MulFix334(D d, V v) {
    return hn::Add(hn::MulHigh(v, hn::Set(d, static_cast<int16_t>(334 * 256 - 65536))), v);
}

// One 8-point pass across the eight vectors, in place.
template <class D, class V>
HWY_INLINE void Fdct8(D d, V &v0, V &v1, V &v2, V &v3, V &v4, V &v5, V &v6, V &v7) {
    const V t0 = hn::Add(v0, v7), t7 = hn::Sub(v0, v7);
    const V t1 = hn::Add(v1, v6), t6 = hn::Sub(v1, v6);
    const V t2 = hn::Add(v2, v5), t5 = hn::Sub(v2, v5);
    const V t3 = hn::Add(v3, v4), t4 = hn::Sub(v3, v4);

    const V e10 = hn::Add(t0, t3), e13 = hn::Sub(t0, t3);
    const V e11 = hn::Add(t1, t2), e12 = hn::Sub(t1, t2);
    v0 = hn::Add(e10, e11);
    v4 = hn::Sub(e10, e11);
    const V z1 = MulFix181(d, hn::Add(e12, e13));
    v2 = hn::Add(e13, z1);
    v6 = hn::Sub(e13, z1);

    const V u10 = hn::Add(t4, t5), u11 = hn::Add(t5, t6), u12 = hn::Add(t6, t7);
    const V z5 = MulFix98(d, hn::Sub(u10, u12));
    const V z2 = hn::Add(MulFix139(d, u10), z5);
    const V z4 = hn::Add(MulFix334(d, u12), z5);
    const V z3 = MulFix181(d, u11);
    const V z11 = hn::Add(t7, z3), z13 = hn::Sub(t7, z3);
    v5 = hn::Add(z13, z2);
    v3 = hn::Sub(z13, z2);
    v1 = hn::Add(z11, z4);
    v7 = hn::Sub(z11, z4);
}

// Transposes the 8 x 8 matrix held in each 128-bit block of the eight vectors.
template <class D, class V>
HWY_INLINE void Transpose8(D d, V &v0, V &v1, V &v2, V &v3, V &v4, V &v5, V &v6, V &v7) {
    const hn::RepartitionToWide<D> d32;
    const hn::RepartitionToWide<decltype(d32)> d64;
    const V a0 = hn::InterleaveLower(d, v0, v1), a1 = hn::InterleaveUpper(d, v0, v1);
    const V a2 = hn::InterleaveLower(d, v2, v3), a3 = hn::InterleaveUpper(d, v2, v3);
    const V a4 = hn::InterleaveLower(d, v4, v5), a5 = hn::InterleaveUpper(d, v4, v5);
    const V a6 = hn::InterleaveLower(d, v6, v7), a7 = hn::InterleaveUpper(d, v6, v7);

    const auto b0 = hn::InterleaveLower(d32, hn::BitCast(d32, a0), hn::BitCast(d32, a2));
    const auto b1 = hn::InterleaveUpper(d32, hn::BitCast(d32, a0), hn::BitCast(d32, a2));
    const auto b2 = hn::InterleaveLower(d32, hn::BitCast(d32, a1), hn::BitCast(d32, a3));
    const auto b3 = hn::InterleaveUpper(d32, hn::BitCast(d32, a1), hn::BitCast(d32, a3));
    const auto b4 = hn::InterleaveLower(d32, hn::BitCast(d32, a4), hn::BitCast(d32, a6));
    const auto b5 = hn::InterleaveUpper(d32, hn::BitCast(d32, a4), hn::BitCast(d32, a6));
    const auto b6 = hn::InterleaveLower(d32, hn::BitCast(d32, a5), hn::BitCast(d32, a7));
    const auto b7 = hn::InterleaveUpper(d32, hn::BitCast(d32, a5), hn::BitCast(d32, a7));

    v0 = hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, b0), hn::BitCast(d64, b4)));
    v1 = hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, b0), hn::BitCast(d64, b4)));
    v2 = hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, b1), hn::BitCast(d64, b5)));
    v3 = hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, b1), hn::BitCast(d64, b5)));
    v4 = hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, b2), hn::BitCast(d64, b6)));
    v5 = hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, b2), hn::BitCast(d64, b6)));
    v6 = hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, b3), hn::BitCast(d64, b7)));
    v7 = hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, b3), hn::BitCast(d64, b7)));
}

// Rows in, scaled coefficients out (row r of the result in vector r).
template <class D, class V>
HWY_INLINE void Fdct2D(D d, V &v0, V &v1, V &v2, V &v3, V &v4, V &v5, V &v6, V &v7) {
    // Vector c then holds column c of every row, so one pass transforms all
    // rows at once; the second transpose brings the rows back for the
    // column pass.
    Transpose8(d, v0, v1, v2, v3, v4, v5, v6, v7);
    Fdct8(d, v0, v1, v2, v3, v4, v5, v6, v7);
    Transpose8(d, v0, v1, v2, v3, v4, v5, v6, v7);
    Fdct8(d, v0, v1, v2, v3, v4, v5, v6, v7);
}

// Quantises row r (vector v) with the divisor tables; the same eight divisors
// serve every data unit of the vector.
template <class D, class V>
HWY_INLINE V QuantizeRow(D d, V v, const INT16 *HWY_RESTRICT divisors, size_t r) {
    const hn::RebindToUnsigned<D> du;
    const auto *table = reinterpret_cast<const uint16_t *>(divisors);
    const auto recip = hn::LoadDup128(du, table + 8 * r);
    const auto corr = hn::LoadDup128(du, table + 64 + 8 * r);
    const auto scale = hn::LoadDup128(du, table + 128 + 8 * r);
    const auto a = hn::Add(hn::BitCast(du, hn::Abs(v)), corr);
    const auto p = hn::MulHigh(a, recip);
    const auto q = hn::BitCast(d, hn::MulHigh(hn::Add(p, p), scale));
    const V sign = hn::ShiftRight<15>(v);
    return hn::Sub(hn::Xor(q, sign), sign);
}

template <class D, class V>
HWY_INLINE void QuantizeAll(D d, V &v0, V &v1, V &v2, V &v3, V &v4, V &v5, V &v6, V &v7,
                            const INT16 *HWY_RESTRICT divisors) {
    v0 = QuantizeRow(d, v0, divisors, 0);
    v1 = QuantizeRow(d, v1, divisors, 1);
    v2 = QuantizeRow(d, v2, divisors, 2);
    v3 = QuantizeRow(d, v3, divisors, 3);
    v4 = QuantizeRow(d, v4, divisors, 4);
    v5 = QuantizeRow(d, v5, divisors, 5);
    v6 = QuantizeRow(d, v6, divisors, 6);
    v7 = QuantizeRow(d, v7, divisors, 7);
}

// Stores block j of v (one row of data unit j) at dst + 64 * j.
template <size_t kUnits, class V>
HWY_INLINE void StoreBlocks(V v, INT16 *HWY_RESTRICT dst) {
    if constexpr (kUnits == 1) {
        hn::StoreU(v, Tag<1>(), dst);
    } else {
        const Tag<kUnits / 2> dh;
        StoreBlocks<kUnits / 2>(hn::LowerHalf(dh, v), dst);
        StoreBlocks<kUnits / 2>(hn::UpperHalf(dh, v), dst + 64 * (kUnits / 2));
    }
}

// Stores row r of each data unit of v to units (64 apart); the non-zero lanes
// of unit j become byte r of masks[j].
template <size_t kUnits, class V>
HWY_INLINE void StoreRow(V v, size_t r, INT16 *HWY_RESTRICT units, uint64_t *HWY_RESTRICT masks) {
    const Tag<kUnits> d;
    StoreBlocks<kUnits>(v, units + 8 * r);
    uint8_t bits[8] = {};
    hn::StoreMaskBits(d, hn::Ne(v, hn::Zero(d)), bits);
    for (size_t j = 0; j < kUnits; ++j) masks[j] |= uint64_t{bits[j]} << (8 * r);
}

// Row r of kUnits data units as level-shifted 16-bit samples.
template <size_t kUnits>
HWY_INLINE hn::Vec<Tag<kUnits> > LoadSampleRow(const BYTE *HWY_RESTRICT samples, size_t stride,
                                               size_t r) {
    const Tag<kUnits> d;
    const hn::RebindToUnsigned<decltype(d)> du;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const auto wide = hn::PromoteTo(du, hn::LoadU(d8, samples + r * stride));
    return hn::Sub(hn::BitCast(d, wide), hn::Set(d, 128));
}

// Loads, transforms and quantises kUnits horizontally adjacent data units of
// one sample plane starting at `samples` (rows `stride` bytes apart) into
// units[0..kUnits) (natural order, 64 apart) with their non-zero masks.
template <size_t kUnits>
HWY_INLINE void TransformPlaneUnits(const BYTE *HWY_RESTRICT samples, size_t stride,
                                    const INT16 *HWY_RESTRICT divisors, INT16 *HWY_RESTRICT units,
                                    uint64_t *HWY_RESTRICT masks) {
    const Tag<kUnits> d;
    auto v0 = LoadSampleRow<kUnits>(samples, stride, 0);
    auto v1 = LoadSampleRow<kUnits>(samples, stride, 1);
    auto v2 = LoadSampleRow<kUnits>(samples, stride, 2);
    auto v3 = LoadSampleRow<kUnits>(samples, stride, 3);
    auto v4 = LoadSampleRow<kUnits>(samples, stride, 4);
    auto v5 = LoadSampleRow<kUnits>(samples, stride, 5);
    auto v6 = LoadSampleRow<kUnits>(samples, stride, 6);
    auto v7 = LoadSampleRow<kUnits>(samples, stride, 7);
    Fdct2D(d, v0, v1, v2, v3, v4, v5, v6, v7);
    QuantizeAll(d, v0, v1, v2, v3, v4, v5, v6, v7, divisors);
    for (size_t j = 0; j < kUnits; ++j) masks[j] = 0;
    StoreRow<kUnits>(v0, 0, units, masks);
    StoreRow<kUnits>(v1, 1, units, masks);
    StoreRow<kUnits>(v2, 2, units, masks);
    StoreRow<kUnits>(v3, 3, units, masks);
    StoreRow<kUnits>(v4, 4, units, masks);
    StoreRow<kUnits>(v5, 5, units, masks);
    StoreRow<kUnits>(v6, 6, units, masks);
    StoreRow<kUnits>(v7, 7, units, masks);
}

void FdctQuantizeUnit(const INT16 *HWY_RESTRICT divisors, SWORD *HWY_RESTRICT data) {
    const Tag<1> d;
    auto v0 = hn::LoadU(d, data + 0), v1 = hn::LoadU(d, data + 8);
    auto v2 = hn::LoadU(d, data + 16), v3 = hn::LoadU(d, data + 24);
    auto v4 = hn::LoadU(d, data + 32), v5 = hn::LoadU(d, data + 40);
    auto v6 = hn::LoadU(d, data + 48), v7 = hn::LoadU(d, data + 56);
    Fdct2D(d, v0, v1, v2, v3, v4, v5, v6, v7);
    QuantizeAll(d, v0, v1, v2, v3, v4, v5, v6, v7, divisors);
    hn::StoreU(v0, d, data + 0);
    hn::StoreU(v1, d, data + 8);
    hn::StoreU(v2, d, data + 16);
    hn::StoreU(v3, d, data + 24);
    hn::StoreU(v4, d, data + 32);
    hn::StoreU(v5, d, data + 40);
    hn::StoreU(v6, d, data + 48);
    hn::StoreU(v7, d, data + 56);
}

void QuantizeUnit(const INT16 *HWY_RESTRICT divisors, SWORD *HWY_RESTRICT data) {
    const Tag<1> d;
    for (size_t r = 0; r < 8; ++r) {
        hn::StoreU(QuantizeRow(d, hn::LoadU(d, data + 8 * r), divisors, r), d, data + 8 * r);
    }
}

// Codes the kUnits MCUs whose top-left sample is at plane offset `offset`.
template <size_t kUnits>
HWY_INLINE void EncodeMcus(const cinfo_t *HWY_RESTRICT cinfo, size_t offset, BitSink &sink,
                           SWORD &dcy, SWORD &dccb, SWORD &dccr) {
    HWY_ALIGN INT16 units[3][kUnits][64];
    uint64_t masks[3][kUnits];
    const auto stride = static_cast<size_t>(cinfo->Ximage);
    const auto *y = reinterpret_cast<const BYTE *>(cinfo->Y_buffer) + offset;
    const auto *cb = reinterpret_cast<const BYTE *>(cinfo->Cb_buffer) + offset;
    const auto *cr = reinterpret_cast<const BYTE *>(cinfo->Cr_buffer) + offset;
    TransformPlaneUnits<kUnits>(y, stride, cinfo->divisor_Y, units[0][0], masks[0]);
    TransformPlaneUnits<kUnits>(cb, stride, cinfo->divisor_Cb, units[1][0], masks[1]);
    TransformPlaneUnits<kUnits>(cr, stride, cinfo->divisor_Cb, units[2][0], masks[2]);
    for (size_t j = 0; j < kUnits; ++j) {
        EncodeUnit(sink, units[0][j], masks[0][j], &dcy, &Y_HT);
        EncodeUnit(sink, units[1][j], masks[1][j], &dccb, &Cb_HT);
        EncodeUnit(sink, units[2][j], masks[2][j], &dccr, &Cb_HT);
    }
}

void MainEncoder(cinfo_t *HWY_RESTRICT cinfo) {
    BitSink sink = LoadSink(cinfo);
    SWORD dcy = 0, dccb = 0, dccr = 0;
    const auto width = static_cast<size_t>(cinfo->Ximage);
    const auto height = static_cast<size_t>(cinfo->Yimage);
    for (size_t ypos = 0; ypos < height; ypos += 8) {
        size_t xpos = 0;
        if constexpr (kWideUnits > 1) {
            for (; xpos + 8 * kWideUnits <= width; xpos += 8 * kWideUnits) {
                EncodeMcus<kWideUnits>(cinfo, ypos * width + xpos, sink, dcy, dccb, dccr);
            }
        }
        for (; xpos < width; xpos += 8) {
            EncodeMcus<1>(cinfo, ypos * width + xpos, sink, dcy, dccb, dccr);
        }
    }
    StoreSink(sink, cinfo);
}

#endif  // HWY_TARGET

int64_t Target() {
    return HWY_TARGET;
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace jpeg_enc_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace jpeg_enc_detail {

HWY_EXPORT(FdctQuantizeUnit);
HWY_EXPORT(MainEncoder);
HWY_EXPORT(Target);
HWY_EXPORT(QuantizeUnit);

int64_t compiled_targets() {
    return HWY_TARGETS;
}
int64_t dispatched_target() {
    return HWY_DYNAMIC_DISPATCH(Target)();
}
void quantize_unit(const INT16 *divisors, SWORD *data) {
    HWY_DYNAMIC_DISPATCH(QuantizeUnit)(divisors, data);
}

namespace {
void fdct_quantize_dispatch(const INT16 *divisors, SWORD *outdata) {
    HWY_DYNAMIC_DISPATCH(FdctQuantizeUnit)(divisors, outdata);
}
void main_encoder_dispatch(cinfo_t *cinfo) {
    HWY_DYNAMIC_DISPATCH(MainEncoder)(cinfo);
}
}  // namespace

}  // namespace jpeg_enc_detail

void fdct_and_quantization(const INT16 *divisors, SWORD *outdata) {
    jpeg_enc_detail::fdct_quantize_dispatch(divisors, outdata);
}

void main_encoder(cinfo_t *cinfo) {
    jpeg_enc_detail::main_encoder_dispatch(cinfo);
}

#endif  // HWY_ONCE
