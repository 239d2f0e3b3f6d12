#include "edid.h"

#include <cstring>

#include "usb_scrn.h"

uint16_t fetch_edid(libusb_device_handle *handle, uint8_t (&edid)[EDID_MAX_BYTES],
                    const std::atomic<bool> &stop) {
    memset(edid, 0, sizeof edid);
    // A failed size query leaves the full two banks, within the buffer.
    uint16_t edid_size = sizeof edid;
    if (stop.load()) return EDID_BANK;
    get_EDID_size(handle, &edid_size);
    get_EDID_data(handle, edid, 1);
    if (edid[EDID_EXTENSIONS_BYTE] == 0) return EDID_BANK;
    if (!stop.load()) get_EDID_data(handle, edid + EDID_BANK, 2);
    if (edid_size > sizeof edid) edid_size = sizeof edid;
    return edid_size;
}
