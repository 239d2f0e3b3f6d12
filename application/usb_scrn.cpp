#include "usb_scrn.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t REQ_IN = 0xC1;   // device to host, vendor, interface
constexpr uint8_t REQ_OUT = 0x41;  // host to device, vendor, interface

constexpr uint8_t REQ_GET_STATUS = 0x40;
constexpr uint8_t REQ_GET_EDID = 0x41;
constexpr uint8_t REQ_GET_ORIENT = 0x49;
constexpr uint8_t REQ_GET_DEVICE_ID = 0x50;
constexpr uint8_t REQ_GET_PRODUCT_TYPE = 0x51;
constexpr uint8_t REQ_GET_FEATURE = 0x52;
constexpr uint8_t REQ_GET_MIRROR = 0x53;
constexpr uint8_t REQ_SET_RESOLUTION = 0x81;
constexpr uint8_t REQ_GET_RESOLUTION = 0x82;
constexpr uint8_t REQ_SET_QUANT_TABLE = 0x83;
constexpr uint8_t REQ_SET_DEVICE_ID = 0x8F;

constexpr useconds_t STATUS_POLL_US = 100000;

int control(libusb_device_handle *handle, uint8_t type, uint8_t request, uint16_t value,
            unsigned char *data, uint16_t length) {
    if (handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return libusb_control_transfer(handle, type, request, value, 0, data, length,
                                   USB_SCRN_TIMEOUT_MS);
}

// An in request whose reply replaces the low-order bytes of *value, least
// significant first; bytes that did not come back keep their old content.
// The reply lands in a buffer of its own first: libusb copies what came
// back also for a request that then fails (a time-out in the data stage),
// and a failed request leaves *value as it was.
template <typename T>
int read_le(libusb_device_handle *handle, uint8_t request, uint16_t wvalue, T *value,
            uint16_t length) {
    unsigned char buf[8];
    uint64_t v = static_cast<uint64_t>(*value);
    for (unsigned i = 0; i < sizeof buf; ++i) buf[i] = static_cast<unsigned char>(v >> (8 * i));
    const int r = control(handle, REQ_IN, request, wvalue, buf, length);
    if (r > 0) {
        uint64_t got = 0;
        for (unsigned i = 0; i < sizeof buf; ++i) got |= static_cast<uint64_t>(buf[i]) << (8 * i);
        // Keep the bits beyond the request's length (GetDeviceId's high half).
        const uint64_t mask = length >= 8 ? ~0ull : ((1ull << (8 * length)) - 1);
        *value = static_cast<T>((v & ~mask) | (got & mask));
    }
    return r;
}

bool report(bool ok, const char *name) {
    if (!ok) printf("[USBFUNC] %s() Fail!\n", name);
    return ok;
}

enum class wait_result { ready, failed, still_busy };

// Polls until the status reads ready; `verbose` selects WaitReady's lines.
wait_result wait_status(libusb_device_handle *handle, bool verbose) {
    uint16_t status = 1;
    for (int polls = 0; status != 0; ++polls) {
        if (polls == WAIT_READY_MAX_POLLS) {
            if (verbose) puts("usbdev: Still not ready, giving up");
            return wait_result::still_busy;
        }
        if (!GetStatus(handle, &status)) {
            if (verbose) puts("usbdev: Fails on GetStatus()");
            return wait_result::failed;
        }
        if (status != 0) {
            if (verbose) puts("usbdev: Not ready yet");
            usleep(STATUS_POLL_US);
        }
    }
    return wait_result::ready;
}

}  // namespace

bool GetStatus(libusb_device_handle *handle, uint16_t *status) {
    const int r = read_le(handle, REQ_GET_STATUS, 0, status, 2);
    *status &= 0xFF;  // only the first reply byte carries the status
    return r > 0;
}

bool get_EDID_size(libusb_device_handle *handle, uint16_t *size) {
    return read_le(handle, REQ_GET_EDID, 0, size, 2) > 0;
}

bool get_EDID_data(libusb_device_handle *handle, uint8_t *buf, uint16_t bank) {
    // As in read_le: a failed read leaves the caller's bytes alone.
    unsigned char block[128];
    const int r = control(handle, REQ_IN, REQ_GET_EDID, bank, block, sizeof block);
    if (r > 0) std::memcpy(buf, block, static_cast<size_t>(r));
    return r > 0;
}

bool GetMonitorOrient(libusb_device_handle *handle, uint8_t *orient) {
    return report(read_le(handle, REQ_GET_ORIENT, 0, orient, 1) > 0, "GetMonitorOrient");
}

bool GetDeviceId(libusb_device_handle *handle, uint64_t *id) {
    return report(read_le(handle, REQ_GET_DEVICE_ID, 0, id, 4) > 0, "GetDeviceId");
}

bool GetProductType(libusb_device_handle *handle, uint8_t *type) {
    return report(read_le(handle, REQ_GET_PRODUCT_TYPE, 0, type, 1) > 0, "GetProductType");
}

bool GetMonitorFeature(libusb_device_handle *handle, uint8_t *feature) {
    return report(read_le(handle, REQ_GET_FEATURE, 0, feature, 1) > 0, "GetMonitorFeature");
}

bool GetMonitorMirror(libusb_device_handle *handle, uint8_t *state) {
    return report(read_le(handle, REQ_GET_MIRROR, 0, state, 1) > 0, "GetMonitorMirror");
}

bool WaitReady(libusb_device_handle *handle) {
    return wait_status(handle, true) == wait_result::ready;
}

bool SetResolution(libusb_device_handle *handle, uint16_t width, uint16_t height) {
    if (handle == nullptr) return false;
    unsigned char payload[4] = {
        static_cast<unsigned char>(width & 0xFF), static_cast<unsigned char>(width >> 8),
        static_cast<unsigned char>(height & 0xFF), static_cast<unsigned char>(height >> 8)};
    if (!WaitReady(handle)) return false;
    const int r = control(handle, REQ_OUT, REQ_SET_RESOLUTION, 0, payload, sizeof payload);
    printf("SetResolution %d x %d, len: %d\n", width, height, r);
    switch (wait_status(handle, false)) {
        case wait_result::failed:
            return false;
        case wait_result::still_busy:
            // The device took the request; being slow to settle does not
            // undo that.
            puts("usbdev: Still busy after SetResolution, no longer waiting");
            break;
        case wait_result::ready:
            break;
    }
    return r > 0;
}

bool GetResolution(libusb_device_handle *handle, uint16_t *width, uint16_t *height) {
    unsigned char buf[4] = {};
    if (control(handle, REQ_IN, REQ_GET_RESOLUTION, 0, buf, sizeof buf) != 4) return false;
    *width = static_cast<uint16_t>(buf[0] | (buf[1] << 8));
    *height = static_cast<uint16_t>(buf[2] | (buf[3] << 8));
    return true;
}

bool SetQuantTable(libusb_device_handle *handle, const uint8_t *table, uint64_t len,
                   uint16_t index) {
    // libusb takes a non-const buffer for both directions; an out request
    // only reads it.
    return control(handle, REQ_OUT, REQ_SET_QUANT_TABLE, index, const_cast<uint8_t *>(table),
                   static_cast<uint16_t>(len & 0xFFFF)) > 0;
}

bool SetDeviceId(libusb_device_handle *handle, uint64_t id) {
    unsigned char payload[4];
    for (int i = 0; i < 4; ++i) payload[i] = static_cast<unsigned char>(id >> (8 * i));
    return report(control(handle, REQ_OUT, REQ_SET_DEVICE_ID, 0, payload, sizeof payload) > 0,
                  "SetDeviceId");
}

int usb_init(libusb_hotplug_callback_fn attach_callback,
             libusb_hotplug_callback_fn detach_callback) {
    const int rc = libusb_init(nullptr);
    if (rc < 0) {
        printf("failed to initialise libusb: %s\n", libusb_error_name(rc));
        return 1;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        puts("Hotplug capabilites are not supported on this platform");
        libusb_exit(nullptr);
        return 1;
    }
    const int class_id = LIBUSB_HOTPLUG_MATCH_ANY;
    const struct {
        libusb_hotplug_event event;
        libusb_hotplug_callback_fn fn;
        const char *failure;
    } kinds[2] = {
        {LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, attach_callback, "Error registering callback 0"},
        {LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, detach_callback, "Error registering callback 1"},
    };
    for (const auto &kind : kinds) {
        for (int i = 0; i < PID_NUM; ++i) {
            const int r = libusb_hotplug_register_callback(
                nullptr, kind.event, LIBUSB_HOTPLUG_NO_FLAGS, VENDOR_ID, PRODUCT_ID[i], class_id,
                kind.fn, nullptr, nullptr);
            if (r != LIBUSB_SUCCESS) {
                puts(kind.failure);
                libusb_exit(nullptr);
                return 1;
            }
        }
    }
    return 0;
}

int find_device(libusb_device **devs, libusb_device **monitors, int *pid) {
    int n = 0;
    for (int d = 0; devs[d] != nullptr; ++d) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(devs[d], &desc) < 0) {
            printf("failed to get device descriptor");
            return -1;
        }
        if (desc.idVendor != VENDOR_ID) continue;
        for (int x = 0; x < PID_NUM; ++x) {
            if (desc.idProduct != PRODUCT_ID[x]) continue;
            // A fifth matching device has no slot to go to.
            if (n < USB_SCRN_MAX_MONITORS) {
                pid[n] = desc.idProduct;
                monitors[n] = devs[d];
                ++n;
            }
            break;
        }
    }
    return n;
}

bool Write(libusb_device_handle *handle, uint8_t *data, uint64_t len, libusb_transfer_cb_fn xfr_cb,
           void *userdata, int *error) {
    int ignored = 0;
    int &r = error != nullptr ? *error : ignored;
    r = LIBUSB_ERROR_INVALID_PARAM;
    if (handle == nullptr || len >= static_cast<uint64_t>(INT_MAX)) return false;
    libusb_transfer *xfr = libusb_alloc_transfer(0);
    r = LIBUSB_ERROR_NO_MEM;
    if (xfr == nullptr) return false;
    // One byte beyond the stream goes out with it: the device expects
    // transfers of 1 + a multiple of 128 bytes.
    libusb_fill_bulk_transfer(xfr, handle, USB_SCRN_BULK_EP, data, static_cast<int>(len + 1),
                              xfr_cb, userdata, USB_SCRN_TIMEOUT_MS);
    r = libusb_submit_transfer(xfr);
    if (r < 0) {
        libusb_free_transfer(xfr);
        return false;
    }
    return true;
}
