#include "hotplug.h"

#include <cstdio>

#include "setup.h"
#include "state.h"
#include "usb_scrn.h"

namespace {

// Screen id of a recorded departure per slot, -1 when none is pending.
std::atomic<int32_t> pending_departure[MAX_DEVICES] = {-1, -1, -1, -1};

}  // namespace

int find_usb_devices() {
    int PIDs[MAX_DEVICES] = {};
    if (usb_init(hotplug_callback_attach, hotplug_callback_detach) != 0) {
        puts("usb init has failed");
        return -1;
    }
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0) {
        puts("get usb device list has failed");
        libusb_exit(nullptr);
        return -1;
    }
    libusb_device *found[MAX_DEVICES] = {};
    const int n = find_device(list, found, PIDs);
    // The slots keep the devices beyond the list: one reference for the slot
    // table (dropped when a departure empties it) and one for the slot's
    // record, which set-up opens.
    for (int i = 0; i < n; ++i) {
        g_context[i].usb_dev = libusb_ref_device(found[i]);
        g_context[i].usb_pid = static_cast<uint32_t>(PIDs[i]);
        usb_dev_array[i].store(libusb_ref_device(found[i]));
    }
    libusb_free_device_list(list, 1);
    return n;
}

int hotplug_callback_attach(libusb_context *, libusb_device *dev, libusb_hotplug_event, void *) {
    printf("Device attached, dev: %p\n", static_cast<void *>(dev));
    for (auto &slot : usb_dev_array) {
        libusb_device *expected = nullptr;
        if (slot.compare_exchange_strong(expected, dev)) {
            libusb_ref_device(dev);
            puts("Screen added");
            device_attached_state.fetch_or(1);
            break;
        }
    }
    return 0;
}

int hotplug_callback_detach(libusb_context *, libusb_device *dev, libusb_hotplug_event, void *) {
    int slot = -1;
    for (int i = 0; i < MAX_DEVICES && slot < 0; ++i)
        if (usb_dev_array[i].load() == dev) slot = i;
    if (slot < 0) return 0;

    // Set before the registry is read; set-up claims an entry before it reads
    // this flag, so one of the two always sees the other.
    slot_departed[slot].store(true);
    int32_t screen_id = -1;
    for (const device_info_t &e : device_info) {
        if (e.index.load() == slot) {
            screen_id = e.position;
            break;
        }
    }
    if (screen_id >= 0) {
        usb_dev_array[slot].store(nullptr);
        libusb_unref_device(dev);  // libusb holds its own reference during the callback
    }
    printf("Device detached, dev: %p, position: %d\n", static_cast<void *>(dev), screen_id);
    if (screen_id >= 0) pending_departure[slot].store(screen_id);
    return 0;
}

void run_pending_departures() {
    for (int i = 0; i < MAX_DEVICES; ++i) {
        const int32_t screen_id = pending_departure[i].exchange(-1);
        if (screen_id < 0) continue;
        destroy_thread(i, screen_id, false);
        printf("Screen#%d removed\n", screen_id);
    }
}

void release_devices() {
    for (int i = 0; i < MAX_DEVICES; ++i) {
        if (libusb_device *dev = usb_dev_array[i].exchange(nullptr)) libusb_unref_device(dev);
        if (g_context[i].usb_dev != nullptr) {
            libusb_unref_device(g_context[i].usb_dev);
            g_context[i].usb_dev = nullptr;
        }
    }
}
