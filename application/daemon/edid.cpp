#include "edid.h"

#include <cstring>

#include "usb_scrn.h"

namespace {

// Makes the base block count `extensions` blocks after it, with its
// checksum (the last byte, which makes the block's bytes add up to 0 modulo
// 256) moved by as much, so that a valid block stays valid.
void count_extensions(uint8_t (&edid)[EDID_MAX_BYTES], uint8_t extensions) {
    const uint8_t old = edid[EDID_EXTENSIONS_BYTE];
    edid[EDID_EXTENSIONS_BYTE] = extensions;
    edid[EDID_BANK - 1] = static_cast<uint8_t>(edid[EDID_BANK - 1] + old - extensions);
}

}  // namespace

uint16_t fetch_edid(libusb_device_handle *handle, uint8_t (&edid)[EDID_MAX_BYTES],
                    const std::atomic<bool> &stop) {
    memset(edid, 0, sizeof edid);
    if (stop.load()) return EDID_BANK;
    // The device is asked for its EDID size as ever, but the length handed
    // on follows the blocks held: the EVDI module takes an EDID only when
    // its length is 128 bytes for the base block and 128 for each extension
    // that block counts (evdi_painter_connect), and would leave the screen
    // without one for any other length the device reported.
    uint16_t reported = sizeof edid;
    get_EDID_size(handle, &reported);
    get_EDID_data(handle, edid, 1);
    if (edid[EDID_EXTENSIONS_BYTE] == 0) return EDID_BANK;
    // Room for one extension: a base block that counts more is handed on
    // with its first one, and one whose extension cannot be read, alone.
    const bool extension = !stop.load() && get_EDID_data(handle, edid + EDID_BANK, 2);
    if (edid[EDID_EXTENSIONS_BYTE] != (extension ? 1 : 0))
        count_extensions(edid, extension ? 1 : 0);
    return extension ? EDID_MAX_BYTES : EDID_BANK;
}
