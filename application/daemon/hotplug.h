// Discovery at start-up and the hot-plug callbacks.
//
// libusb runs the callbacks on whichever thread handles its events: mostly
// the main thread, but a render thread waiting for a synchronous control
// transfer handles them too. So the callbacks only record what happened, with
// atomics; tear-down after a departure runs on the main thread, outside event
// handling (run_pending_departures), because a render thread that is waiting
// for a control transfer needs that event handling to finish before it can
// be joined.
#pragma once

#include <libusb.h>

#include <cstdint>

// Opens the USB layer and puts the matching devices present into slots 0..n-1
// (each slot keeps a reference on its device). Returns n (0..4), or -1.
int find_usb_devices();

int hotplug_callback_attach(libusb_context *ctx, libusb_device *dev, libusb_hotplug_event event,
                            void *user_data);
int hotplug_callback_detach(libusb_context *ctx, libusb_device *dev, libusb_hotplug_event event,
                            void *user_data);

// Tears down the devices whose departure was recorded: destroy_thread, then
// "Screen#%d removed". Main thread, after each round of event handling.
void run_pending_departures();

// Drops the device references held by the slots (shutdown, after every
// thread that uses the devices has ended, before the USB layer is closed).
void release_devices();
