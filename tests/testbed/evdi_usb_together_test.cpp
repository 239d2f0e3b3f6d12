// libusb and libevdi in one process: umockdev's preload emulates the USB bus
// while the EVDI interposer, ahead of it in lookup order, emulates the EVDI
// module. Neither may disturb the other.
#include <gtest/gtest.h>
#include <libusb.h>
#include <poll.h>
#include <umockdev.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device_ids.h"
#include "evdi_compat.h"
#include "evdi_emu.h"

namespace {

void quiet(void *, const char *, ...) {}

std::vector<uint8_t> descriptors() {
    const uint16_t vid = VENDOR_ID, pid = PRODUCT_ID[0];
    return {// device
            0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, static_cast<uint8_t>(vid & 0xff),
            static_cast<uint8_t>(vid >> 8), static_cast<uint8_t>(pid & 0xff),
            static_cast<uint8_t>(pid >> 8), 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
            // configuration, interface, bulk OUT endpoint 0x01
            0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00, 0x01,
            0xff, 0x00, 0x00, 0x00, 0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00};
}

TEST(EvdiWithUsb, BothEmulationsServeOneProcess) {
    UMockdevTestbed *tb = umockdev_testbed_new();
    ASSERT_NE(tb, nullptr);
    gchar *sys =
        umockdev_testbed_add_device(tb, "usb", "usb1", nullptr, "busnum", "1", "devnum", "2",
                                    "speed", "480", "bConfigurationValue", "1", nullptr, "DEVNAME",
                                    "/dev/bus/usb/001/002", "DEVTYPE", "usb_device", nullptr);
    ASSERT_NE(sys, nullptr);
    std::vector<uint8_t> d = descriptors();
    umockdev_testbed_set_attribute_binary(tb, sys, "descriptors", d.data(),
                                          static_cast<gint>(d.size()));

    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    int found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == VENDOR_ID &&
            desc.idProduct == PRODUCT_ID[0])
            ++found;
    }
    libusb_free_device_list(list, 1);
    EXPECT_EQ(found, 1);

    evdi_set_logging({quiet, nullptr});
    evdi_handle h = evdi_open_attached_to_fixed(nullptr, 0);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> edid(128, 0);
    const uint8_t header[] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
    std::memcpy(edid.data(), header, sizeof(header));
    edid[12] = 0x42;
    evdi_connect2(h, edid.data(), 128, ~0u, ~0u);

    evdiemu::Control &emu = evdiemu::local();
    evdiemu::CardState s[evdiemu::kMaxOutputs];
    int cards = emu.cards(s, evdiemu::kMaxOutputs);
    int card = -1;
    for (int i = 0; i < cards; ++i) {
        uint8_t got[128];
        if (s[i].connected && emu.edid(i, got, 128) == 128 && got[12] == 0x42) card = i;
    }
    ASSERT_GE(card, 0);
    ASSERT_EQ(emu.modeset(card, 64, 64, 60), 0);
    int modes = 0;
    evdi_event_context ectx{};
    ectx.mode_changed_handler = [](evdi_mode, void *u) { ++*static_cast<int *>(u); };
    ectx.user_data = &modes;
    for (int i = 0; i < 3; ++i) {
        pollfd p{evdi_get_event_ready(h), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        evdi_handle_events(h, &ectx);
    }
    EXPECT_EQ(modes, 1);
    std::vector<uint32_t> px(64 * 64, 0);
    evdi_register_buffer(h, {0, px.data(), 64, 64, 256, nullptr, 0});
    std::vector<uint32_t> red(4, 0x00ff0000);
    ASSERT_TRUE(evdi_request_update(h, 0));
    evdi_rect rects[16];
    int nr = 0;
    evdi_grab_pixels(h, rects, &nr);
    ASSERT_EQ(emu.paint(card, 2, 2, 2, 2, red.data(), 2), 0);
    ASSERT_TRUE(evdi_request_update(h, 0));
    evdi_grab_pixels(h, rects, &nr);
    EXPECT_EQ(nr, 1);
    EXPECT_EQ(px[2 * 64 + 3], 0x00ff0000u);
    evdi_unregister_buffer(h, 0);
    evdi_close(h);

    // USB still works after the EVDI traffic.
    n = libusb_get_device_list(ctx, &list);
    EXPECT_GE(n, 1);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    g_free(sys);
    g_object_unref(tb);
}

}  // namespace
