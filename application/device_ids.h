// The USB ids that make a device one of the daemon's. Shared with the
// emulated device of the testbed, so both always agree.
#pragma once

#include <cstdint>

inline constexpr int32_t VENDOR_ID = 0x1209;
inline constexpr int32_t PID_NUM = 6;
// PRODUCT_ID[4] is the rotating model (it gets a rotation follower).
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {0x7d01, 0x7d02, 0x7d03, 0x7d04, 0x7d05, 0x7d06};
