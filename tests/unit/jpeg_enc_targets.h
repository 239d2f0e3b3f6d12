// Runs a check once per vector target compiled into the encoder that this CPU
// can execute.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hwy/targets.h"
#include "jpeg_enc/simd.h"

inline std::vector<int64_t> encoder_targets() {
    hwy::SetSupportedTargetsForTest(0);
    std::vector<int64_t> out;
    int64_t bits = jpeg_enc_detail::compiled_targets() & hwy::SupportedTargets();
    for (; bits != 0; bits &= bits - 1) out.push_back(bits & -bits);
    return out;
}

template <class Fn>
void for_each_target(Fn &&fn) {
    const auto targets = encoder_targets();
    ASSERT_FALSE(targets.empty());
    for (int64_t t : targets) {
        hwy::SetSupportedTargetsForTest(t);
        SCOPED_TRACE(hwy::TargetName(t));
        ASSERT_EQ(jpeg_enc_detail::dispatched_target(), t);
        fn();
    }
    hwy::SetSupportedTargetsForTest(0);
}
