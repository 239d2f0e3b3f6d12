// Shared state of the daemon: one record per device slot plus the fixed
// tables indexed by slot or by screen id.
//
// Three indices address this data:
//   slot        0..3, index into g_context, usb_dev_array, g_threads,
//               g_rot_threads and the first dimension of xfer_info;
//   entry       0..3, index into device_info (the identity registry);
//   screen id   0..3, the entry number whose `index` names the slot; it is
//               also the entry's `position` and indexes evdihndl, evtctx,
//               buffers, buffersRegistered, evdi_buf_id and eevt_threads.
//
// Ownership: every table says which threads write it. Fields that one thread
// writes while another polls them are std::atomic; everything else is written
// before the reading thread is started (pthread_create orders it) or belongs
// to one thread only.
#pragma once

#include <libusb.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "damage.h"
#include "device_ids.h"
#include "evdi_compat.h"
#include "jpeg_enc.h"
#include "render_wake.h"

inline constexpr int MAX_DEVICES = 4;

// Feature class reported by GetMonitorFeature.
enum monitor_type_e : uint8_t {
    MONITOR_TYPE_NORMAL = 0,
    MONITOR_TYPE_VMIRROR = 1,
    MONITOR_TYPE_VMIRROR_DISABLE = 2,
    MONITOR_TYPE_KEYBOARD = 3,
    MONITOR_TYPE_HMIRROR = 4,
};

// Orientation reported by GetMonitorOrient.
enum monitor_rotate_e : uint8_t {
    MONITOR_ROTATE_NORMAL = 0,
    MONITOR_ROTATE_90 = 1,
    MONITOR_ROTATE_180 = 2,
    MONITOR_ROTATE_270 = 3,
};

// Mirror state reported by GetMonitorMirror.
enum mirror_state_e : uint8_t {
    MIRROR_DISABLE = 0,
    MIRROR_ENABLE = 1,
};

// One joinable POSIX thread, or none. Replaces the heap cell of one pthread_t
// per thread: the cell lives in the fixed table and `running()` is the
// "entry not null" test, safe to poll from any thread. One thread starts the
// thread; joining (or cancelling) is done by one thread at a time.
class thread_cell {
  public:
    using entry_fn = void *(*)(void *);

    // Starts fn(arg) with default attributes. Returns 0, EBUSY when the cell
    // already holds a thread, or the error of pthread_create.
    int start(entry_fn fn, void *arg);
    bool running() const noexcept { return held_.load(std::memory_order_acquire); }
    // Valid only while running().
    pthread_t handle() const noexcept { return tid_; }
    // Joins the thread and empties the cell; does nothing when empty.
    void join();
    // pthread_cancel, then join; does nothing when empty.
    void cancel_and_join();

  private:
    pthread_t tid_{};
    std::atomic<bool> held_{false};
};

// Per-slot record. Fields in this order; all records start zeroed.
typedef struct _thread_context {
    int32_t id;             // the slot itself; timer work sets it before set-up
    evdi_mode mode;         // current mode of the virtual screen (event thread)
    cinfo_t cinfo;          // encoder template: quality 90, 32 x 8 (timer work)
    uint8_t qt_table[140];  // quantisation blob, 138 bytes used (timer work)
    jpeg_stream_t qtInfo;   // write cursor over qt_table
    int32_t blksize;        // pixels per block: 256
    uint32_t blocks_size;   // bytes of one block in a snapshot store: 768
    // Stream buffer of the frame and its size (event thread on mode change;
    // freed by screen destruction).
    std::unique_ptr<uint8_t[]> bitstream;
    uint64_t bitstream_size;
    int32_t loop_x;  // blocks per row, width / 32 rounded up
    int32_t loop_y;  // block rows, height / 8 rounded up
    // The two snapshot stores compared by change detection.
    std::unique_ptr<uint8_t[]> dirty_block[2];
    // Per block, 1 when both stores are known to hold the same content: a
    // cache of their comparison (block_convert.h), cleared by every pre-fill.
    std::unique_ptr<uint8_t[]> stores_equal;
    // Which blocks can differ from each store; sized with the stores.
    frame_damage_t damage;
    // The daemon draws the cursor (EVDI's cursor events on) instead of
    // leaving it to EVDI. Set before the render thread starts.
    bool draw_cursor;
    // Blocks the last frame converted and compared (render thread).
    size_t last_scan_blocks;
    uint8_t current_dirty;             // which store is current this frame (0/1)
    libusb_device *usb_dev;            // as found at start-up; a reference is held
    libusb_device_handle *usb_handle;  // set by set-up before the render thread starts
    uint32_t usb_pid;
    uint8_t monitor_type;  // monitor_type_e; render thread only
    // monitor_rotate_e; render thread, transfer stage and rotation follower.
    std::atomic<uint8_t> rotate_state;
    uint8_t mirror_state;  // mirror_state_e; render thread only
    // The render loop runs while true; true also tells that the screen exists.
    std::atomic<bool> keep_going;
    // -1 idle, 0 display on, 1..59 display-off countdown. Written by the
    // render loop (compare-and-exchange) and the DPMS handler.
    std::atomic<int32_t> display_off;
    std::atomic<int32_t> usb_error;  // bulk transfers failed in a row
    // X output name, zero-terminated. Written once by output naming and read
    // by the rotation follower; both go through rotation.h's accessors.
    char monitor_name[32];
    // Set together with keep_going = false by tear-down and shutdown. Unlike
    // keep_going it is never set back, so a stop that comes while the render
    // thread is still probing cannot be undone by its "running" store.
    std::atomic<bool> stop_requested;
    // Ends the render loop's sleep: every thread that gives the loop work
    // (the screen's event thread, the bulk completion, the request thread,
    // a stop) tells it here once the work is in place.
    render_wake_t render_wake;
} thread_context_t;

// Identity registry entry.
struct device_info_t {
    // Slot of the device holding this entry in this run, or -1. Claimed by
    // the set-up thread, released by screen destruction, read by the
    // departure callback, render threads and capture.
    std::atomic<int32_t> index;
    uint64_t usb_devId;  // 32-bit identity; 0xFFFFFFFF = none
    int32_t position;    // screen position that goes with the identity
};

inline constexpr uint64_t NO_DEVICE_ID = 0xFFFFFFFFu;

extern thread_context_t g_context[MAX_DEVICES];
// Devices present, by slot; null = free. Written by discovery and the
// hot-plug callbacks, read by the timer work and the set-up thread.
extern std::atomic<libusb_device *> usb_dev_array[MAX_DEVICES];
extern device_info_t device_info[MAX_DEVICES];

extern thread_cell g_threads[MAX_DEVICES];      // render threads, by slot
extern thread_cell g_rot_threads[MAX_DEVICES];  // rotation followers, by slot
extern thread_cell eevt_threads[MAX_DEVICES];   // EVDI event threads, by screen id

// Virtual screens, by screen id. The handle is atomic because the event
// thread reads it afresh on every pass while the render thread opens and
// closes the screen.
extern std::atomic<evdi_handle> evdihndl[MAX_DEVICES];
extern evdi_event_context evtctx[MAX_DEVICES];
extern evdi_buffer buffers[MAX_DEVICES][2];
extern std::atomic<bool> buffersRegistered[MAX_DEVICES];
extern int32_t evdi_buf_id[MAX_DEVICES];

// Main loop exit flag; stored from the SIGINT handler.
extern std::atomic<bool> quenfa;
static_assert(std::atomic<bool>::is_always_lock_free);

// Bit 0: a device arrived since the set-up run started. No other bit is used.
extern std::atomic<uint8_t> device_attached_state;

// The one-shot start-up timer; null once it has fired or been deleted.
extern timer_t timer_id;
// True from the start of arming until the timer's work has run.
extern std::atomic<bool> timer_created;

// A device left while it had no registry entry yet (set by the departure
// callback); the set-up thread then neither opens nor starts that slot.
extern std::atomic<bool> slot_departed[MAX_DEVICES];

// Stops a slot's render loop: keep_going false and a stop request that the
// render thread honours even before it has started its loop.
void request_stop(thread_context_t &cxt);

// Ends the process at once with `status`, standard output flushed first.
// Static destructors do not run: other threads still use those objects.
[[noreturn]] void end_process_now(int status);
