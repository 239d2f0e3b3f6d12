// Scalar forward DCT and quantiser, bit for bit the arithmetic the vector
// code in fdct_quant_simd.cpp implements.
#include "jpeg_enc/reference.h"

namespace {

inline DCTELEM wrap(int v) {
    return static_cast<DCTELEM>(static_cast<UINT16>(v));
}

// floor(v * K / 256), K in 8-bit fixed point.
inline DCTELEM mul(DCTELEM v, int k) {
    return wrap((static_cast<int>(v) * k) >> 8);
}

constexpr int FIX_0_382683433 = 98;
constexpr int FIX_0_541196100 = 139;
constexpr int FIX_0_707106781 = 181;
constexpr int FIX_1_306562965 = 334;

// One 8-point pass over p[0], p[stride], ..., p[7 * stride].
void fdct_pass(DCTELEM *p, int stride) {
    DCTELEM d[8];
    for (int i = 0; i < 8; ++i) d[i] = p[i * stride];
    const DCTELEM t0 = wrap(d[0] + d[7]), t7 = wrap(d[0] - d[7]);
    const DCTELEM t1 = wrap(d[1] + d[6]), t6 = wrap(d[1] - d[6]);
    const DCTELEM t2 = wrap(d[2] + d[5]), t5 = wrap(d[2] - d[5]);
    const DCTELEM t3 = wrap(d[3] + d[4]), t4 = wrap(d[3] - d[4]);

    const DCTELEM e10 = wrap(t0 + t3), e13 = wrap(t0 - t3);
    const DCTELEM e11 = wrap(t1 + t2), e12 = wrap(t1 - t2);
    p[0 * stride] = wrap(e10 + e11);
    p[4 * stride] = wrap(e10 - e11);
    const DCTELEM z1 = mul(wrap(e12 + e13), FIX_0_707106781);
    p[2 * stride] = wrap(e13 + z1);
    p[6 * stride] = wrap(e13 - z1);

    const DCTELEM u10 = wrap(t4 + t5), u11 = wrap(t5 + t6), u12 = wrap(t6 + t7);
    const DCTELEM z5 = mul(wrap(u10 - u12), FIX_0_382683433);
    const DCTELEM z2 = wrap(mul(u10, FIX_0_541196100) + z5);
    const DCTELEM z4 = wrap(mul(u12, FIX_1_306562965) + z5);
    const DCTELEM z3 = mul(u11, FIX_0_707106781);
    const DCTELEM z11 = wrap(t7 + z3), z13 = wrap(t7 - z3);
    p[5 * stride] = wrap(z13 + z2);
    p[3 * stride] = wrap(z13 - z2);
    p[1 * stride] = wrap(z11 + z4);
    p[7 * stride] = wrap(z11 - z4);
}

}  // namespace

void fdct_ifast_reference(DCTELEM *data) {
    for (int row = 0; row < 8; ++row) fdct_pass(data + 8 * row, 1);
    for (int col = 0; col < 8; ++col) fdct_pass(data + col, 8);
}

void quantize_reference(DCTELEM *coef_block, const DCTELEM *divisors, const DCTELEM *workspace) {
    for (int i = 0; i < 64; ++i) {
        const int x = workspace[i];
        const auto recip = static_cast<UDCTELEM>(divisors[i]);
        const auto corr = static_cast<UDCTELEM>(divisors[64 + i]);
        const int shift = divisors[192 + i];
        auto a = static_cast<UDCTELEM>(x < 0 ? -x : x);
        a = static_cast<UDCTELEM>(a + corr);
        auto p = static_cast<UDCTELEM>((static_cast<UDCTELEM2>(a) * recip) >> 16);
        if (shift >= 0) {
            p = static_cast<UDCTELEM>(p >> shift);
        } else {
            p = static_cast<UDCTELEM>(p << -shift);
        }
        coef_block[i] = x < 0 ? wrap(-static_cast<int>(p)) : static_cast<DCTELEM>(p);
    }
}

void fdct_and_quantization_reference(const INT16 *divisors, SWORD *outdata) {
    fdct_ifast_reference(outdata);
    quantize_reference(outdata, divisors, outdata);
}
