// Device access: the vendor control requests, discovery helpers and bulk
// output. Every request is one synchronous control transfer on the default
// control pipe (wIndex 0, 500 ms); the wrappers keep no state and may be
// called from several threads at once.
#pragma once

#include <libusb.h>

#include <cstdint>

#include "device_ids.h"

// Most devices find_device stores (the daemon has four slots).
inline constexpr int USB_SCRN_MAX_MONITORS = 4;
// Bulk OUT endpoint of the frame stream.
inline constexpr unsigned char USB_SCRN_BULK_EP = 0x01;
inline constexpr unsigned int USB_SCRN_TIMEOUT_MS = 500;

// Status byte into *status (low byte of the 2-byte reply; the value is masked
// to 8 bits even when the request fails).
bool GetStatus(libusb_device_handle *handle, uint16_t *status);
bool get_EDID_size(libusb_device_handle *handle, uint16_t *size);
// 128 bytes of EDID bank `bank` (1: base block, 2: first extension).
bool get_EDID_data(libusb_device_handle *handle, uint8_t *buf, uint16_t bank);
bool GetMonitorOrient(libusb_device_handle *handle, uint8_t *orient);
// Replaces the low 32 bits of *id; 0xFFFFFFFF means the device has no id.
bool GetDeviceId(libusb_device_handle *handle, uint64_t *id);
bool GetProductType(libusb_device_handle *handle, uint8_t *type);
bool GetMonitorFeature(libusb_device_handle *handle, uint8_t *feature);
bool GetMonitorMirror(libusb_device_handle *handle, uint8_t *state);
// Waits for ready, sends the resolution (0 x 0 switches the display off),
// prints "SetResolution ..." and waits for ready again. The result is the
// request's own unless a status read fails: a device still busy when the
// second wait gives up has taken the resolution (one line says so).
bool SetResolution(libusb_device_handle *handle, uint16_t width, uint16_t height);
// Writes *width and *height only when exactly 4 bytes came back.
bool GetResolution(libusb_device_handle *handle, uint16_t *width, uint16_t *height);
// Sends `len` bytes (low 16 bits of len as wLength) with wValue = index.
bool SetQuantTable(libusb_device_handle *handle, const uint8_t *table, uint64_t len,
                   uint16_t index);
bool SetDeviceId(libusb_device_handle *handle, uint64_t id);
// Polls the status every 100 ms until ready. Gives up (false) on a failed
// status read, or when the device is still busy after WAIT_READY_MAX_POLLS.
bool WaitReady(libusb_device_handle *handle);
inline constexpr int WAIT_READY_MAX_POLLS = 50;

// Opens libusb on the default context and registers arrival and departure
// callbacks for every product id. 0 on success, 1 on failure (the context is
// then closed again, if it was opened).
int usb_init(libusb_hotplug_callback_fn attach_callback,
             libusb_hotplug_callback_fn detach_callback);

// Stores the matching devices of the null-terminated list `devs` into
// monitors[] and their product ids into pid[], in list order, at most
// USB_SCRN_MAX_MONITORS (later matches are ignored). Returns the count, or -1
// when a device descriptor cannot be read.
int find_device(libusb_device **devs, libusb_device **monitors, int *pid);

// Submits one bulk transfer of len + 1 bytes of `data` on endpoint 0x01
// (500 ms). The buffer must stay valid and unchanged until xfr_cb has run;
// xfr_cb releases the transfer. False when nothing was submitted, with the
// libusb error in *error when given (LIBUSB_ERROR_NO_MEM: usbfs is full).
bool Write(libusb_device_handle *handle, uint8_t *data, uint64_t len, libusb_transfer_cb_fn xfr_cb,
           void *userdata, int *error = nullptr);
