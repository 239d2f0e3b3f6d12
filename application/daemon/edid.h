// The EDID a device's virtual screen is created with: read from the device
// over the vendor protocol, one 128-byte bank at a time.
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstdint>

inline constexpr int EDID_BANK = 128;
// Byte of the base block that counts the extension blocks after it.
inline constexpr int EDID_EXTENSIONS_BYTE = 126;
// Room for the base block and one extension.
inline constexpr int EDID_MAX_BYTES = 2 * EDID_BANK;

// Reads the device's EDID into `edid` (zero where nothing came back) and
// returns the length to hand the virtual screen. A stop that comes
// meanwhile cuts the reading short (the device is usually gone then).
uint16_t fetch_edid(libusb_device_handle *handle, uint8_t (&edid)[EDID_MAX_BYTES],
                    const std::atomic<bool> &stop);
