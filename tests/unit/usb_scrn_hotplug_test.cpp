// The daemon's start-up scan and hot-plug callbacks against emulated devices
// in this process: slots, references, the arrival flag and deferred
// departures.
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "hotplug.h"
#include "registry.h"
#include "state.h"
#include "usb_device_emulator.h"

namespace tb = torvel::testbed;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<tb::UsbTestbed> g_testbed;
tb::EmulatedDevice *g_dev[4] = {};

class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string error;
        g_testbed = tb::UsbTestbed::create(&error);
        ASSERT_TRUE(g_testbed) << error;
        const int models[4] = {1, 4, 0, 2};
        for (int i = 0; i < 4; ++i) {
            tb::DeviceConfig config;
            config.model = models[i];
            g_dev[i] = g_testbed->add_device(config, i < 2, &error);
            ASSERT_NE(g_dev[i], nullptr) << error;
        }
    }
    // The testbed stays until the process ends (see usb_scrn_test).
    void TearDown() override { (void)g_testbed.release(); }
};

const auto *const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

std::string output_of(const std::function<void()> &f) {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string pointer_text(const void *p) {
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

template <typename F>
bool pump_until(F done, std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        timeval tv = {0, 50000};
        libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
    }
    return true;
}

// One daemon start-up scan per test; the slot tables are reset around it.
class HotplugTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_tables();
        registry_reset();
        found_ = find_usb_devices();
        ASSERT_EQ(found_, 2);
    }
    void TearDown() override {
        for (int i = 2; i < 4; ++i)
            if (g_dev[i]->plugged()) g_dev[i]->unplug();
        for (int i = 0; i < 2; ++i) {
            std::string error;
            if (!g_dev[i]->plugged()) {
                EXPECT_TRUE(g_dev[i]->plug(&error)) << error;
            }
        }
        pump_until([] { return false; }, 200ms);
        release_devices();
        libusb_exit(nullptr);
        reset_tables();
    }
    static void reset_tables() {
        for (int i = 0; i < MAX_DEVICES; ++i) {
            usb_dev_array[i].store(nullptr);
            slot_departed[i].store(false);
            g_context[i].usb_dev = nullptr;
            g_context[i].usb_pid = 0;
        }
        device_attached_state.store(0);
    }
    static libusb_device *plug_and_find(tb::EmulatedDevice *emu) {
        std::string error;
        EXPECT_TRUE(emu->plug(&error)) << error;
        libusb_device *found = nullptr;
        pump_until([&] {
            libusb_device **list = nullptr;
            const ssize_t n = libusb_get_device_list(nullptr, &list);
            for (ssize_t i = 0; i < n; ++i)
                if (libusb_get_bus_number(list[i]) == emu->bus_number() &&
                    libusb_get_device_address(list[i]) == emu->device_address())
                    found = list[i];
            if (found) libusb_ref_device(found);
            libusb_free_device_list(list, 1);
            return found != nullptr;
        });
        return found;
    }
    // The slot the start-up scan gave to an emulated device.
    static int slot_of(tb::EmulatedDevice *emu) {
        for (int i = 0; i < MAX_DEVICES; ++i) {
            libusb_device *dev = usb_dev_array[i].load();
            if (dev && libusb_get_bus_number(dev) == emu->bus_number() &&
                libusb_get_device_address(dev) == emu->device_address())
                return i;
        }
        return -1;
    }
    int found_ = 0;
};

TEST_F(HotplugTest, StartUpScanFillsSlotsInListOrderWithProductIds) {
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    int slot = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
        ASSERT_LT(slot, 2);
        EXPECT_EQ(usb_dev_array[slot].load(), list[i]);
        EXPECT_EQ(g_context[slot].usb_dev, list[i]);
        EXPECT_EQ(g_context[slot].usb_pid, d.idProduct);
        ++slot;
    }
    libusb_free_device_list(list, 1);
    EXPECT_EQ(usb_dev_array[2].load(), nullptr);
    EXPECT_EQ(device_attached_state.load(), 0);
}

TEST_F(HotplugTest, ArrivalTakesTheFirstFreeSlotAndSetsBitZero) {
    // Slots 0 and 2 taken, slot 1 free.
    libusb_device *second = usb_dev_array[1].exchange(nullptr);
    libusb_device *extra = plug_and_find(g_dev[2]);
    ASSERT_NE(extra, nullptr);
    usb_dev_array[2].store(second);
    const std::string out = output_of([&] {
        hotplug_callback_attach(nullptr, extra, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, nullptr);
    });
    EXPECT_EQ(out, "Device attached, dev: " + pointer_text(extra) + "\nScreen added\n");
    EXPECT_EQ(usb_dev_array[1].load(), extra);
    EXPECT_EQ(device_attached_state.load(), 1);
    libusb_unref_device(extra);  // ours; the slot holds its own
}

TEST_F(HotplugTest, ArrivalWithEverySlotTakenOnlyPrints) {
    libusb_device *a = plug_and_find(g_dev[2]);
    libusb_device *b = plug_and_find(g_dev[3]);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    hotplug_callback_attach(nullptr, a, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, nullptr);
    device_attached_state.store(0);
    // Slots 0..2 hold devices; fill slot 3 with the first device again.
    usb_dev_array[3].store(libusb_ref_device(usb_dev_array[0].load()));
    const std::string out = output_of(
        [&] { hotplug_callback_attach(nullptr, b, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, nullptr); });
    EXPECT_EQ(out, "Device attached, dev: " + pointer_text(b) + "\n");
    EXPECT_EQ(device_attached_state.load(), 0);
    libusb_unref_device(a);
    libusb_unref_device(b);
}

TEST_F(HotplugTest, RealArrivalReachesTheCallbackThroughEventHandling) {
    std::string error;
    ASSERT_TRUE(g_dev[3]->plug(&error)) << error;
    EXPECT_TRUE(pump_until([] { return device_attached_state.load() == 1; }));
    EXPECT_NE(usb_dev_array[2].load(), nullptr);
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(usb_dev_array[2].load(), &d), 0);
    EXPECT_EQ(d.idProduct, PRODUCT_ID[2]);
}

TEST_F(HotplugTest, DepartureOfAnUnknownDeviceChangesNothing) {
    libusb_device *stranger = plug_and_find(g_dev[2]);
    ASSERT_NE(stranger, nullptr);
    libusb_device *before[MAX_DEVICES];
    for (int i = 0; i < MAX_DEVICES; ++i) before[i] = usb_dev_array[i].load();
    const std::string out = output_of([&] {
        hotplug_callback_detach(nullptr, stranger, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, nullptr);
        run_pending_departures();
    });
    EXPECT_EQ(out, "");
    for (int i = 0; i < MAX_DEVICES; ++i) {
        EXPECT_EQ(usb_dev_array[i].load(), before[i]);
        EXPECT_FALSE(slot_departed[i].load());
    }
    libusb_unref_device(stranger);
}

TEST_F(HotplugTest, DepartureBeforeSetUpKeepsTheSlotButMarksItGone) {
    const int slot = slot_of(g_dev[1]);
    ASSERT_GE(slot, 0);
    libusb_device *dev = usb_dev_array[slot].load();
    const std::string out = output_of([&] {
        g_dev[1]->unplug();
        pump_until([&] { return slot_departed[slot].load(); });
        run_pending_departures();
    });
    EXPECT_EQ(out, "Device detached, dev: " + pointer_text(dev) + ", position: -1\n");
    EXPECT_EQ(usb_dev_array[slot].load(), dev);  // kept, as no entry refers to it
    EXPECT_TRUE(slot_departed[slot].load());     // set-up will not open it
    // The slot's references keep the departed device readable.
    libusb_device_descriptor d;
    EXPECT_EQ(libusb_get_device_descriptor(g_context[slot].usb_dev, &d), 0);
    EXPECT_FALSE(slot_departed[1 - slot].load());
}

TEST_F(HotplugTest, DepartureWithAnEntryIsTornDownAfterEventHandling) {
    const int slot = slot_of(g_dev[0]);
    ASSERT_GE(slot, 0);
    libusb_device *dev = usb_dev_array[slot].load();
    device_info[2].index.store(slot);  // the device holds entry 2
    std::string during, after;
    during = output_of([&] {
        g_dev[0]->unplug();
        pump_until([&] { return usb_dev_array[slot].load() == nullptr; });
    });
    EXPECT_EQ(during, "Device detached, dev: " + pointer_text(dev) + ", position: 2\n");
    // The callback only recorded it; the main loop then tears it down, once.
    after = output_of([] {
        run_pending_departures();
        run_pending_departures();
    });
    EXPECT_EQ(after, "Screen#2 removed\n");
    EXPECT_TRUE(slot_departed[slot].load());
    libusb_device_descriptor d;
    EXPECT_EQ(libusb_get_device_descriptor(g_context[slot].usb_dev, &d), 0);
}

}  // namespace
