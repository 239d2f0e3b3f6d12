// Which vector code the encoder runs; for tests and diagnostics.
#pragma once

#include <cstdint>

#include "mm_type.h"

namespace jpeg_enc_detail {

// Bit set of the Highway targets compiled into the encoder.
int64_t compiled_targets();
// The target that the encoder's dispatch currently selects (follows
// hwy::SetSupportedTargetsForTest).
int64_t dispatched_target();
// The vector quantiser alone, in place on one data unit (natural order).
void quantize_unit(const INT16 *divisors, SWORD *data);

}  // namespace jpeg_enc_detail
