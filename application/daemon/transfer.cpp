#include "transfer.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "owed_blocks.h"
#include "usb_scrn.h"
#include "usbfs_budget.h"

transfer_info_t xfer_info[MAX_DEVICES][TRANSFER_SLOTS];
device_output_t device_output[MAX_DEVICES];

namespace {

// The devices the daemon serves share the usbfs limit.
int served_devices() {
    int n = 0;
    for (const thread_context_t &c : g_context) n += c.usb_dev != nullptr ? 1 : 0;
    return n;
}

using Clock = std::chrono::steady_clock;

// A transfer that takes longer than this from submission to completion had
// a queue ahead of it that a slower link would not drain within the 500 ms
// time-out: the budget shrinks. Below the lower mark it grows back. Both
// include the main loop's reaping, up to some 200 ms.
constexpr auto SLOW_TRANSFER = std::chrono::milliseconds(300);
constexpr auto QUICK_TRANSFER = std::chrono::milliseconds(150);

// Output lock held.
uint64_t device_budget(device_output_t &out) {
    if (out.share == 0) {
        out.share = transfer_budget(usbfs_memory_limit(), served_devices());
        out.budget = out.share;
    }
    return out.budget;
}

// Output lock held. Follows the device's link: a full pipeline may not
// keep a transfer waiting near its time-out.
void adapt_budget(device_output_t &out, Clock::duration took, bool timed_out) {
    const uint64_t floor = 2 * MIN_STREAM_PART;
    const uint64_t budget = device_budget(out);
    if (timed_out) {
        out.budget = std::max(budget / 2, floor);
    } else if (took > SLOW_TRANSFER) {
        out.budget = std::max(budget / 4 * 3, floor);
    } else if (took < QUICK_TRANSFER) {
        out.budget = std::min(budget + budget / 16, out.share);
    }
}

// Most streams a frame of `bitstream_size` bytes can be cut into: a stream
// closes before the record that would take it past its limit, so each is
// over half of the smallest limit.
size_t max_parts(uint64_t bitstream_size) {
    return static_cast<size_t>(bitstream_size / (MIN_STREAM_PART / 2)) + 2;
}

// Output lock held. A slot whose streams have all completed is free again;
// after its screen went, its buffer goes with it.
void finish_if_done(transfer_info_t &slot) {
    if (slot.parts_open != 0 || slot.next_part < slot.part_count) return;
    if (slot.orphaned) {
        slot.stream.reset();
        slot.stream_size = 0;
        slot.orphaned = false;
    }
    slot.occupied.store(false, std::memory_order_release);
}

// Output lock held. The streams of the slot not yet submitted are dropped.
void drop_unsent(transfer_info_t &slot) {
    if (slot.next_part >= slot.part_count) return;
    slot.parts_open -= slot.part_count - slot.next_part;
    slot.next_part = slot.part_count;
    finish_if_done(slot);
}

// Output lock held. The slot whose streams wait to be submitted (frames go
// in order, and a frame is taken only when none waits: at most one).
transfer_info_t *waiting_slot(int dev) {
    for (transfer_info_t &t : xfer_info[dev]) {
        if (t.occupied.load(std::memory_order_acquire) && t.next_part < t.part_count) return &t;
    }
    return nullptr;
}

// Output lock held. Submits waiting streams while they fit the budget.
void submit_waiting(int dev) {
    device_output_t &out = device_output[dev];
    if (out.halted) return;
    while (transfer_info_t *slot = waiting_slot(dev)) {
        stream_part_t &part = slot->parts[slot->next_part];
        const uint64_t charge = usbfs_charge(part.length + TRANSFER_EXTRA);
        if (out.transfers_in_flight > 0 && out.in_flight + charge > device_budget(out)) return;
        thread_context_t *cxt = slot->cxt;
        int error = 0;
        if (Write(cxt->usb_handle, slot->stream.get() + part.offset, part.length, xfr_complete,
                  &part, &error)) {
            slot->sent_at[slot->next_part] = Clock::now();
            out.in_flight += charge;
            ++out.transfers_in_flight;
            ++slot->next_part;
            continue;
        }
        // usbfs is full (other programs, or the kernel's own accounting):
        // the stream waits for the next completion or tick.
        if (error == LIBUSB_ERROR_NO_MEM) return;
        std::printf("%s: USB write failed@Screen#%d!\n", "screen_transfer", slot->screen_id);
        cxt->usb_error.fetch_add(1);
        owed_blocks[dev].mark_stream(slot->stream.get() + part.offset, part.length);
        ++slot->next_part;
        --slot->parts_open;
        finish_if_done(*slot);
    }
}

}  // namespace

size_t frame_part_limit(thread_context_t *cxt) {
    device_output_t &out = device_output[cxt->id];
    std::lock_guard<std::mutex> hold(out.lock);
    return stream_part_limit(device_budget(out));
}

namespace {

transfer_info_t *free_transfer_slot(thread_context_t *cxt, int screen_id) {
    device_output_t &out = device_output[cxt->id];
    std::lock_guard<std::mutex> hold(out.lock);
    if (waiting_slot(cxt->id) != nullptr) return nullptr;
    for (transfer_info_t &t : xfer_info[cxt->id]) {
        if (t.occupied.load(std::memory_order_acquire)) continue;
        t.cxt = cxt;
        t.screen_id = screen_id;
        t.part_count = t.next_part = t.parts_open = 0;
        t.occupied.store(true, std::memory_order_release);
        return &t;
    }
    return nullptr;
}

}  // namespace

transfer_info_t *take_transfer_slot(thread_context_t *cxt, int screen_id) {
    if (transfer_info_t *slot = free_transfer_slot(cxt, screen_id)) return slot;
    if (cxt->usb_handle == nullptr) return nullptr;
    // The main loop reaps completions only every 100 ms or more, which with
    // four slots would hold a device to some 40 frames a second however
    // quick its link. libusb lets any thread handle events: one round that
    // does not wait reaps what has completed meanwhile (and returns at once
    // when another thread handles events just then). No lock is held here,
    // so the completions (xfr_complete) may take the output's.
    timeval zero = {0, 0};
    libusb_handle_events_timeout_completed(nullptr, &zero, nullptr);
    return free_transfer_slot(cxt, screen_id);
}

void return_transfer_slot(transfer_info_t *slot) {
    device_output_t &out = device_output[slot->cxt->id];
    std::lock_guard<std::mutex> hold(out.lock);
    slot->part_count = slot->next_part = slot->parts_open = 0;
    slot->occupied.store(false, std::memory_order_release);
}

bool prepare_transfer_slot(transfer_info_t *slot) {
    // The slot is the render thread's while nothing of it is in flight.
    const thread_context_t *cxt = slot->cxt;
    const size_t parts = max_parts(cxt->bitstream_size);
    const size_t bytes = part_slack(parts) + cxt->bitstream_size;
    if (slot->stream_size < bytes) {
        slot->stream = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]);
        slot->stream_size = slot->stream ? bytes : 0;
    }
    if (slot->parts_size < parts) {
        slot->parts = std::unique_ptr<stream_part_t[]>(new (std::nothrow) stream_part_t[parts]);
        slot->sent_at =
            std::unique_ptr<Clock::time_point[]>(new (std::nothrow) Clock::time_point[parts]);
        slot->parts_size = slot->parts && slot->sent_at ? parts : 0;
    }
    return slot->stream && slot->parts_size >= parts;
}

void send_frame(transfer_info_t *slot, size_t part_count) {
    device_output_t &out = device_output[slot->cxt->id];
    std::lock_guard<std::mutex> hold(out.lock);
    for (size_t i = 0; i < part_count; ++i) slot->parts[i].owner = slot;
    slot->part_count = part_count;
    slot->next_part = 0;
    slot->parts_open = part_count;
    submit_waiting(slot->cxt->id);
    finish_if_done(*slot);
}

void service_output(thread_context_t *cxt, int screen_id) {
    device_output_t &out = device_output[cxt->id];
    std::unique_lock<std::mutex> hold(out.lock);
    if (out.halted && out.transfers_in_flight == 0) {
        // Nothing is queued on the endpoint, and nothing else submits while
        // it is marked halted: the lock need not be held across the request.
        hold.unlock();
        const int r = libusb_clear_halt(cxt->usb_handle, USB_SCRN_BULK_EP);
        hold.lock();
        if (r == 0) {
            out.halted = false;
        } else {
            std::printf("Screen#%d: clearing the halt of the bulk endpoint failed: %s\n", screen_id,
                        libusb_error_name(r));
            cxt->usb_error.fetch_add(1);
        }
    }
    submit_waiting(cxt->id);
}

void xfr_complete(libusb_transfer *xfr) {
    auto *part = static_cast<stream_part_t *>(xfr->user_data);
    auto *owner = part != nullptr ? static_cast<transfer_info_t *>(part->owner) : nullptr;
    const int status = xfr->status;
    const bool whole = status == LIBUSB_TRANSFER_COMPLETED && xfr->actual_length == xfr->length;
    if (owner != nullptr && owner->cxt != nullptr) {
        transfer_info_t &slot = *owner;
        thread_context_t *cxt = slot.cxt;
        const int dev = cxt->id;
        device_output_t &out = device_output[dev];
        std::lock_guard<std::mutex> hold(out.lock);
        out.in_flight -= usbfs_charge(part->length + TRANSFER_EXTRA);
        --out.transfers_in_flight;
        if (whole || status == LIBUSB_TRANSFER_TIMED_OUT) {
            const size_t index = static_cast<size_t>(part - slot.parts.get());
            adapt_budget(out, Clock::now() - slot.sent_at[index],
                         status == LIBUSB_TRANSFER_TIMED_OUT);
        }
        if (!whole) {
            // The device may lack any of the stream's blocks.
            owed_blocks[dev].mark_stream(slot.stream.get() + part->offset, part->length);
            if (status == LIBUSB_TRANSFER_STALL || status == LIBUSB_TRANSFER_COMPLETED)
                out.halted = true;
        }
        if (whole) {
            cxt->usb_error.store(0);
        } else if (status == LIBUSB_TRANSFER_COMPLETED) {
            std::printf("USB write cut short@Screen#%d: %d of %d bytes\n", slot.screen_id,
                        xfr->actual_length, xfr->length);
        } else if (status >= LIBUSB_TRANSFER_ERROR && status <= LIBUSB_TRANSFER_OVERFLOW) {
            std::printf("USB write failed@Screen#%d, error:%d\n", slot.screen_id, status);
            // A stall is the endpoint's, cleared above; the device is fine.
            if (status != LIBUSB_TRANSFER_STALL) cxt->usb_error.fetch_add(1);
        }
        --slot.parts_open;
        finish_if_done(slot);
        submit_waiting(dev);
        // Blocks owed or a halt to clear: the render loop's next tick sees to
        // them, also when no new damage comes.
        if (!whole || owed_blocks[dev].any()) cxt->render_wake.tick();
    }
    libusb_free_transfer(xfr);
}

bool output_drained(thread_context_t *cxt) {
    device_output_t &out = device_output[cxt->id];
    std::lock_guard<std::mutex> hold(out.lock);
    for (transfer_info_t &t : xfer_info[cxt->id]) drop_unsent(t);
    return out.transfers_in_flight == 0;
}

bool drain_output(thread_context_t *cxt, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!output_drained(cxt)) {
        if (Clock::now() >= deadline) return false;
        // libusb lets any thread handle events: when another thread already
        // does, this one waits for its rounds instead.
        timeval tv = {0, 10000};
        libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
    }
    return true;
}

bool output_needs_service(int slot) {
    device_output_t &out = device_output[slot];
    std::lock_guard<std::mutex> hold(out.lock);
    return out.halted || waiting_slot(slot) != nullptr;
}

bool output_idle(int slot) {
    if (slot < 0 || slot >= MAX_DEVICES) return true;
    device_output_t &out = device_output[slot];
    std::lock_guard<std::mutex> hold(out.lock);
    return out.transfers_in_flight == 0 && waiting_slot(slot) == nullptr;
}

void release_transfer_buffers(int slot) {
    if (slot < 0 || slot >= MAX_DEVICES) return;
    device_output_t &out = device_output[slot];
    std::lock_guard<std::mutex> hold(out.lock);
    for (transfer_info_t &t : xfer_info[slot]) {
        drop_unsent(t);  // what was not submitted will not be: the screen is gone
        if (t.occupied.load(std::memory_order_acquire)) {
            t.orphaned = true;  // libusb may still be reading it
            continue;
        }
        t.stream.reset();
        t.stream_size = 0;
        t.parts.reset();
        t.sent_at.reset();
        t.parts_size = 0;
    }
}
