// How many bytes of bulk transfers a device may have in flight. usbfs
// charges every submitted URB its buffer (and a few hundred bytes of kernel
// records) until it is reaped, over all programs and devices of the machine,
// and refuses URBs beyond usbcore's usbfs_memory_mb (16 MiB unless set) with
// ENOMEM. A 3840 x 2160 frame alone can pass that, and four devices with four
// frames in flight each easily do. The daemon keeps each device to its share.
#pragma once

#include <cstddef>
#include <cstdint>

// The limit as usbcore reports it, in bytes; 0: no limit.
uint64_t usbfs_memory_limit();

// A device's share of the limit among `devices` served devices, less room
// for the control transfers beside them, and never more than a USB 2.0 link
// carries in a fraction of a transfer's time-out (so a full pipeline does
// not time out behind a slow link).
uint64_t transfer_budget(uint64_t limit, int devices);
// The largest stream a frame is cut into under `budget`: half of it, so one
// stream can go while the next is in flight.
size_t stream_part_limit(uint64_t budget);
// What usbfs charges for a bulk transfer of `length` bytes, with the kernel
// records of the 16 KiB URBs libusb splits it into on hosts without
// scatter-gather.
uint64_t usbfs_charge(uint64_t length);

// The smallest stream part; it bounds how many parts a frame can have.
inline constexpr size_t MIN_STREAM_PART = 64 * 1024;
