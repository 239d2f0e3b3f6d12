// Every control reply the daemon parses, through the real request wrappers:
// libusb_control_transfer is replaced by a device that answers from the fuzz
// input, with libusb's own rules for what reaches the caller's buffer
// (libusb/sync.c, libusb_control_transfer: an in request copies the bytes
// that came back, also when it then fails). The input is a series of
// operations, each a byte naming the request (status, EDID, feature,
// orientation, mirror, identity, product type, resolution, ready wait,
// resolution set), followed by the replies the device gives it.
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "edid.h"
#include "fuzz_check.h"
#include "usb_scrn.h"

namespace {

// The device's answers, consumed one control transfer after another.
struct Replies {
    const unsigned char *data = nullptr;
    size_t size = 0, at = 0;
    int next() { return at < size ? data[at++] : -1; }
} replies;

// What one control transfer did, for the checks.
struct Transfer {
    uint8_t type, request;
    uint16_t value, length;
    int result;
    std::vector<uint8_t> bytes;  // what came back (in requests)
};
std::vector<Transfer> transfers;
int sleeps = 0;

// Handle the wrappers pass through to the fake; never dereferenced.
libusb_device_handle *const kHandle = reinterpret_cast<libusb_device_handle *>(16);

}  // namespace

// One reply byte per transfer: its top two bits choose completed (0, 1),
// failed after the data stage (2: a time-out, some bytes may have come
// back) or stalled without data (3); the low six its data length, 63
// meaning all of wLength. The data follows; missing bytes read as zero.
extern "C" int libusb_control_transfer(libusb_device_handle *handle, uint8_t type, uint8_t request,
                                       uint16_t value, uint16_t index, unsigned char *data,
                                       uint16_t length, unsigned int timeout) {
    FUZZ_CHECK(handle == kHandle);
    FUZZ_CHECK(index == 0 && timeout == USB_SCRN_TIMEOUT_MS);
    FUZZ_CHECK(type == 0xC1 || type == 0x41);
    FUZZ_CHECK(length == 0 || data != nullptr);
    Transfer t{type, request, value, length, 0, {}};
    const bool in = (type & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
    if (!in) {
        // libusb copies the whole payload before it submits anything.
        std::vector<uint8_t> payload(data, data + length);
        (void)payload;
    }
    const int b = replies.next();
    if (b < 0) {
        t.result = LIBUSB_ERROR_TIMEOUT;
    } else {
        const int kind = b >> 6;
        size_t n = (b & 0x3F) == 0x3F ? length : std::min<size_t>(b & 0x3F, length);
        if (kind == 3) n = 0;
        if (in) {
            for (size_t i = 0; i < n; ++i) {
                const int c = replies.next();
                t.bytes.push_back(static_cast<uint8_t>(c < 0 ? 0 : c));
            }
            if (n > 0) std::memcpy(data, t.bytes.data(), n);
        }
        t.result = kind == 2   ? LIBUSB_ERROR_TIMEOUT
                   : kind == 3 ? LIBUSB_ERROR_PIPE
                               : static_cast<int>(n);
    }
    transfers.push_back(t);
    return t.result;
}

// The status waits poll every 100 ms; the fuzzer does not wait.
extern "C" int usleep(useconds_t) {
    ++sleeps;
    return 0;
}

namespace {

// The bytes of the only transfer of a one-request operation, as they
// replace the low-order bytes of `before` when the request succeeded.
uint64_t expected_value(uint64_t before, unsigned width_bytes) {
    FUZZ_CHECK(transfers.size() == 1);
    const Transfer &t = transfers[0];
    if (t.result <= 0) return before;
    uint64_t v = before;
    for (size_t i = 0; i < t.bytes.size() && i < width_bytes; ++i)
        v = (v & ~(0xFFull << (8 * i))) | static_cast<uint64_t>(t.bytes[i]) << (8 * i);
    return v;
}

// A one-byte query (feature, orientation, mirror, product type): true and
// the device's byte when it answered, else false and the old value.
template <typename Fn>
void one_byte(Fn request) {
    uint8_t v = 0xA5;
    const bool ok = request(&v);
    FUZZ_CHECK(ok == (transfers.size() == 1 && transfers[0].result > 0));
    FUZZ_CHECK(v == expected_value(0xA5, 1));
}

int status_reads() {
    return static_cast<int>(std::count_if(transfers.begin(), transfers.end(),
                                          [](const Transfer &t) { return t.request == 0x40; }));
}

void edid() {
    uint8_t buf[EDID_MAX_BYTES];
    std::memset(buf, 0x77, sizeof buf);
    const std::atomic<bool> stop{false};
    const uint16_t len = fetch_edid(kHandle, buf, stop);
    // The screen gets at most the two banks it has room for, and a length
    // the EVDI module takes for these bytes: evdi_painter_connect refuses an
    // EDID whose length is not 128 for the base block and 128 for each
    // extension it counts.
    FUZZ_CHECK(len <= EDID_MAX_BYTES);
    FUZZ_CHECK(len == EDID_BANK * (1 + buf[EDID_EXTENSIONS_BYTE]));
    // Bank 1 holds what the device sent for it and zeros after that.
    const Transfer *bank1 = nullptr;
    for (const Transfer &t : transfers)
        if (t.request == 0x41 && t.value == 1) bank1 = &t;
    FUZZ_CHECK(bank1 != nullptr);
    const size_t got = bank1->result > 0 ? bank1->bytes.size() : 0;
    for (size_t i = 0; i < EDID_EXTENSIONS_BYTE; ++i)
        FUZZ_CHECK(buf[i] == (i < got ? bank1->bytes[i] : 0));
    // A changed extension count keeps the block's checksum.
    unsigned sent = 0, handed = 0;
    for (size_t i = 0; i < EDID_BANK; ++i) {
        sent += i < got ? bank1->bytes[i] : 0;
        handed += buf[i];
    }
    FUZZ_CHECK(sent % 256 == handed % 256);
}

void run(int op) {
    transfers.clear();
    sleeps = 0;
    switch (op) {
        case 0: {
            uint16_t status = 0x1234;
            const bool ok = GetStatus(kHandle, &status);
            FUZZ_CHECK(ok == (transfers[0].result > 0));
            FUZZ_CHECK(status == (expected_value(0x1234, 2) & 0xFF));
            break;
        }
        case 1: {
            uint16_t size = 0x1234;
            const bool ok = get_EDID_size(kHandle, &size);
            FUZZ_CHECK(ok == (transfers[0].result > 0));
            FUZZ_CHECK(size == expected_value(0x1234, 2));
            break;
        }
        case 2:
            edid();
            break;
        case 3:
            one_byte([](uint8_t *v) { return GetMonitorFeature(kHandle, v); });
            break;
        case 4:
            one_byte([](uint8_t *v) { return GetMonitorOrient(kHandle, v); });
            break;
        case 5:
            one_byte([](uint8_t *v) { return GetMonitorMirror(kHandle, v); });
            break;
        case 6:
            one_byte([](uint8_t *v) { return GetProductType(kHandle, v); });
            break;
        case 7: {
            // The identity takes the low 32 bits; the rest stays.
            uint64_t id = 0x1122334455667788ull;
            const bool ok = GetDeviceId(kHandle, &id);
            FUZZ_CHECK(ok == (transfers[0].result > 0));
            FUZZ_CHECK(id == expected_value(0x1122334455667788ull, 4));
            break;
        }
        case 8: {
            // Only a whole four-byte answer is a resolution.
            uint16_t w = 0x1111, h = 0x2222;
            const bool ok = GetResolution(kHandle, &w, &h);
            const Transfer &t = transfers[0];
            FUZZ_CHECK(ok == (t.result == 4));
            if (ok) {
                FUZZ_CHECK(w == (t.bytes[0] | t.bytes[1] << 8) &&
                           h == (t.bytes[2] | t.bytes[3] << 8));
            } else {
                FUZZ_CHECK(w == 0x1111 && h == 0x2222);
            }
            break;
        }
        case 9: {
            // Ready only on a status read of 0, and never more polls than
            // the bound.
            const bool ok = WaitReady(kHandle);
            FUZZ_CHECK(status_reads() <= WAIT_READY_MAX_POLLS);
            const Transfer &last = transfers.back();
            FUZZ_CHECK(ok == (last.result > 0 && last.bytes[0] == 0));
            break;
        }
        case 10: {
            // Two bounded waits around the one request.
            SetResolution(kHandle, 1920, 1080);
            FUZZ_CHECK(status_reads() <= 2 * WAIT_READY_MAX_POLLS);
            FUZZ_CHECK(std::count_if(transfers.begin(), transfers.end(),
                                     [](const Transfer &t) { return t.request == 0x81; }) <= 1);
            break;
        }
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    replies = Replies{data, size, 0};
    while (replies.at < replies.size) run(replies.next() % 11);
    return 0;
}
