// Bulk output of a device's frames: a frame's streams leave in transfers, in
// frame order, while the device's bytes in flight stay within its share of
// the usbfs memory limit; the blocks of a transfer that did not arrive whole
// are owed to the device and go out again with the next frame; a halted
// endpoint is cleared once nothing is in flight, on the render thread (never
// in a libusb callback).
//
// Threads: the render thread takes a transfer slot, encodes into it and
// sends; it also retries what waits and clears halts (service_output, every
// tick). The completion runs inside libusb's event handling, on the main
// thread (or on a render thread draining its output at its end) and sends
// what then fits.
// Both go through the device's output lock (device_output_t::lock), a plain
// mutex held for bookkeeping and submissions only, never across a wait.
#pragma once

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "state.h"
#include "stream.h"

inline constexpr int TRANSFER_SLOTS = 4;  // frames in flight per device

// The streams of a slot's frame (offset in the slot's buffer; the transfer
// is one byte longer than the stream), each with its slot as owner.

// One transfer slot of a device: one frame, sent as one stream or several.
// The slot owns the buffer its streams are sent from, so they stay
// unchanged until their completions have run, whatever the next frames or a
// mode change do meanwhile.
struct transfer_info_t {
    thread_context_t *cxt;  // the device whose frame the slot carries
    int screen_id;          // for messages
    // From the frame's encoding until the completion of its last stream.
    std::atomic<bool> occupied;
    std::unique_ptr<uint8_t[]> stream;  // render thread only, and only while free
    size_t stream_size;
    // Its streams (capacity `parts_size`); guarded by the output lock once
    // the frame is sent. `next_part` is the first not yet submitted,
    // `parts_open` those not yet completed.
    std::unique_ptr<stream_part_t[]> parts;
    // When each was submitted (a transfer's time to its completion tells
    // how long the device's queue is).
    std::unique_ptr<std::chrono::steady_clock::time_point[]> sent_at;
    size_t parts_size;
    size_t part_count;
    size_t next_part;
    size_t parts_open;
    // The screen was destroyed while the slot was in flight: its last
    // completion frees the buffers. Guarded by the output lock.
    bool orphaned;
};

// By device slot, then transfer slot.
extern transfer_info_t xfer_info[MAX_DEVICES][TRANSFER_SLOTS];

// The bulk output state of one device.
struct device_output_t {
    std::mutex lock;  // everything below, and the slots' streams once sent
    // Bytes it may have in flight: its share of the usbfs limit
    // (usbfs_budget.h), and below it what its link drains well within a
    // transfer's time-out, as the completions tell.
    uint64_t share = 0;
    uint64_t budget = 0;
    uint64_t in_flight = 0;  // usbfs charge of its transfers submitted and not completed
    int transfers_in_flight = 0;
    // A transfer ended with a stall (or libusb reported one completed short,
    // as it does when a URB it split off failed early): the endpoint may be
    // halted. Nothing is sent until the halt is cleared.
    bool halted = false;
};
extern device_output_t device_output[MAX_DEVICES];

// A free slot of the device for the next frame, marked occupied, or null
// when all are busy or a frame still waits for room to be sent (the frame
// is then dropped). When none is free at first, the completions that have
// come meanwhile are reaped (without waiting) and it looks again. Render
// thread, holding none of the output's or the screen's locks.
transfer_info_t *take_transfer_slot(thread_context_t *cxt, int screen_id);
// Gives back a slot taken for a frame that sends nothing.
void return_transfer_slot(transfer_info_t *slot);
// Makes room in `slot` for a frame of the device's current mode cut into
// streams of at most stream_part_limit() bytes. False without memory.
bool prepare_transfer_slot(transfer_info_t *slot);
// The largest stream the device's frames are cut into.
size_t frame_part_limit(thread_context_t *cxt);
// Sends the frame whose `part_count` streams are in slot->parts: as many as
// fit now, the others as room comes.
void send_frame(transfer_info_t *slot, size_t part_count);
// Every tick on the render thread: clears a halt once nothing is in flight,
// then sends what waits (after a refused submission or the halt).
void service_output(thread_context_t *cxt, int screen_id);
// Completion of a bulk transfer (inside libusb event handling).
void xfr_complete(libusb_transfer *xfr);
// Before the display goes off: drops the device's streams not yet submitted
// (the screen goes out whole once it is on again) and tells whether nothing
// is in flight any more, so that no stream can reach the display once off.
// Render thread.
bool output_drained(thread_context_t *cxt);
// As output_drained, waiting up to `limit` for the streams in flight to
// complete. The calling thread handles USB events meanwhile: at shutdown or
// a departure the main thread is joining the render thread and handles
// none. False when something was still in flight at the limit.
bool drain_output(thread_context_t *cxt, std::chrono::milliseconds limit);
// True when a tick has output work: a halt to clear, or streams waiting for
// room that a completion may not come to submit. Render thread.
bool output_needs_service(int slot);
// True when the device has no stream in flight and none waiting to be
// submitted. Only looks: any thread may ask.
bool output_idle(int slot);
// Frees the stream buffers of device slot `slot` (screen destruction, on the
// render thread): now for free transfer slots, at their completion for those
// in flight. Streams not yet submitted are dropped.
void release_transfer_buffers(int slot);
