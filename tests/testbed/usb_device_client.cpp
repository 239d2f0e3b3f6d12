// A libusb client in its own process, started by the emulator test under
// LD_PRELOAD=libumockdev-preload.so.0 and UMOCKDEV_DIR: it waits for a
// display device to arrive, talks to it and sends one frame.
//
// Prints "ready" once its hot-plug callbacks are in place; exits 0 when all
// went well, otherwise with a one-line reason on standard error.
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "device_ids.h"
#include "reference_block_encoder.h"
#include "usb_device_emulator.h"

namespace tb = torvel::testbed;

namespace {

libusb_device *g_arrived = nullptr;

int on_arrival(libusb_context *, libusb_device *dev, libusb_hotplug_event, void *) {
    if (!g_arrived) g_arrived = libusb_ref_device(dev);
    return 0;
}

int fail(const char *what, int code) {
    std::fprintf(stderr, "client: %s: %s\n", what, libusb_error_name(code));
    return 1;
}

}  // namespace

int main() {
    if (libusb_init(nullptr) != 0) return fail("libusb_init", LIBUSB_ERROR_OTHER);
    for (int i = 0; i < PID_NUM; ++i) {
        libusb_hotplug_register_callback(nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                         LIBUSB_HOTPLUG_NO_FLAGS, VENDOR_ID, PRODUCT_ID[i],
                                         LIBUSB_HOTPLUG_MATCH_ANY, on_arrival, nullptr, nullptr);
    }
    std::puts("ready");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!g_arrived && std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout(nullptr, &tv);
    }
    if (!g_arrived) return fail("no device arrived", LIBUSB_ERROR_TIMEOUT);
    libusb_device_handle *h = nullptr;
    int r = libusb_open(g_arrived, &h);
    if (r != 0) return fail("libusb_open", r);

    uint8_t id[4] = {};
    r = libusb_control_transfer(h, 0xC1, tb::request::kGetDeviceId, 0, 0, id, 4, 500);
    if (r != 4) return fail("GetDeviceId", r);
    if (id[0] != 0xFF || id[3] != 0xFF) return fail("GetDeviceId: has an id", LIBUSB_ERROR_OTHER);
    uint8_t new_id[4] = {0xFE, 0xCA, 0, 0};
    r = libusb_control_transfer(h, 0x41, tb::request::kSetDeviceId, 0, 0, new_id, 4, 500);
    if (r != 4) return fail("SetDeviceId", r);
    uint8_t resolution[4] = {64, 0, 8, 0};
    r = libusb_control_transfer(h, 0x41, tb::request::kSetResolution, 0, 0, resolution, 4, 500);
    if (r != 4) return fail("SetResolution", r);
    auto blob = tb::make_quant_blob(90);
    r = libusb_control_transfer(h, 0x41, tb::request::kSetQuantTable, 1, 0, blob.data(),
                                static_cast<uint16_t>(blob.size()), 500);
    if (r != static_cast<int>(blob.size())) return fail("SetQuantTable", r);

    std::vector<uint8_t> red(tb::kBlockWidth * tb::kBlockHeight * 3);
    for (size_t i = 0; i < red.size(); i += 3) red[i] = 255;
    std::string error;
    std::vector<tb::StreamRecord> recs = {
        {1, tb::reference_encode_block(red.data(), blob, &error)}};
    auto stream = tb::build_stream(recs, true);
    int done = 0;
    r = libusb_bulk_transfer(h, tb::kBulkEndpoint, stream.data(), static_cast<int>(stream.size()),
                             &done, 500);
    if (r != 0 || done != static_cast<int>(stream.size())) return fail("bulk transfer", r);

    libusb_close(h);
    libusb_unref_device(g_arrived);
    libusb_exit(nullptr);
    std::puts("done");
    return 0;
}
