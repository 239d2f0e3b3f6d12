// Plain scalar transform and quantiser: the definition of the coefficients the
// vector code must reproduce, kept separate so tests can judge it.
#pragma once

#include "jpeg_enc.h"

// Scaled fast integer DCT (Arai, Agui, Nakajima) of one data unit in place:
// rows first, then columns, 16-bit wrapping sums, products floor(v * K / 256).
void fdct_ifast_reference(DCTELEM *data);

// coef[i] = sign(x) * (((|x| + correction) * reciprocal) >> 16 >> shift) with
// x = workspace[i]; a negative shift shifts left.
void quantize_reference(DCTELEM *coef_block, const DCTELEM *divisors, const DCTELEM *workspace);

// fdct_ifast_reference, then quantize_reference in place.
void fdct_and_quantization_reference(const INT16 *divisors, SWORD *outdata);
