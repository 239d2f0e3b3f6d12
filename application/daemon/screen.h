// Virtual screens: the EVDI output of each device, its event thread and the
// handlers of its events (mode change, DPMS, CRTC, cursor).
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "block_convert.h"
#include "cursor.h"
#include "evdi_compat.h"
#include "state.h"

// Rectangles one grab reports at most.
inline constexpr int SCREEN_MAX_RECTS = 16;

// Capture state of one screen beside the tables of state.h.
//
// Two locks, always taken in this order when both are held:
// `lock` guards the EVDI handle, every libevdi call and the grab state: the
// event thread holds it while libevdi handles an event (so the handle is
// never closed under libevdi), the render thread while it asks for an update
// and grabs, and create_screen/destroy_screen while they change the handle.
// Every field after `refresh` is guarded by it unless it says otherwise.
// `frame_lock` guards what coding a frame uses (the frame buffers' pixels
// being coded, the turned frame, the snapshot stores, the transfer slots'
// streams): the render thread holds it alone while it codes and submits a
// frame, so grabs into the other buffer go on meanwhile; a mode change and
// destroy_screen take it under `lock` before they free or replace any of it.
struct screen_state_t {
    std::mutex lock;
    std::mutex frame_lock;
    // The event thread's poll descriptor (event thread only).
    pollfd event_poll;
    // Set when the device dropped every block that the snapshot stores
    // count as sent: its display came back on after it had been switched
    // off. The next tick sends every block again. (Blocks lost in a
    // transfer are owed one by one instead: owed_blocks.h.)
    std::atomic<bool> refresh;
    // Changes whenever the handle is opened or closed, so the event thread
    // can tell that the descriptor it waited on still belongs to the screen.
    unsigned generation;
    // Pixels of buffers[screen][0/1], from calloc: zero pages the system
    // hands out untouched, so a mode change does not stop to clear them.
    struct free_memory {
        void operator()(uint8_t *p) const noexcept { std::free(p); }
    };
    std::unique_ptr<uint8_t[], free_memory> frame_memory[2];
    std::unique_ptr<uint8_t[]> turned;  // turned or mirrored frame
    size_t turned_size;
    // Rectangles the next grab's buffer lacks: the last grab went into the
    // other buffer. They are copied across before that buffer is grabbed
    // into, so both buffers always hold the whole current screen.
    evdi_rect pending[SCREEN_MAX_RECTS];
    int pending_count;
    // Damage of grabs not yet marked in the device's frame damage (all of
    // the screen after a grab that lost its damage): the render thread
    // marks it before it takes a frame to code, since grabs on the event
    // thread run while a frame is coded.
    evdi_rect unmarked[SCREEN_MAX_RECTS];
    int unmarked_count;
    bool unmarked_all;
    // The countdown switched the device's display off (0 x 0): the device
    // discards what it is sent until a DPMS on restores the resolution.
    // Cleared once the device has accepted a resolution again (its request
    // thread after a DPMS on, the render thread after a mode change).
    bool display_switched_off;
    // A grabbed frame was not sent (no free transfer slot, or abandoned):
    // the next tick sends the screen again even when EVDI has no new damage,
    // so the device does not keep stale content. Set by the transfer stage
    // under frame_lock, else under both locks.
    bool resend;
    // Grabs may run: the mode's buffers (or the drain buffer) are registered
    // with EVDI. Grabbing goes on while the screen cannot stream, because
    // EVDI holds the desktop's commits while damage is pending until the
    // next grab. Read by the render thread before it takes the lock.
    std::atomic<bool> grabbing;
    // The mode's buffers could not be had (a mode capture does not handle,
    // no memory): grabs go into a 1 x 1 drain buffer, which EVDI refuses
    // after taking the damage and completing the desktop's commit.
    bool draining;
    uint32_t drain_pixel;
    // An update request is armed: EVDI answers it with update_ready once
    // damage comes, and a request made meanwhile is only a warning of the
    // module. armed_buffer is the buffer the request named, which the grab
    // then fills.
    bool armed;
    int armed_buffer;
    std::atomic<bool> update_ready;  // set by on_update_ready (event thread)
    // The resolution request of the last mode change, answered by the
    // device's request thread; the screen streams (buffersRegistered) once
    // the device has accepted it.
    bool resolution_pending;
    uint32_t resolution_tag;
    int failed_grabs;  // grabs in a row that lost their damage
    // The frame grabbed and not yet sent (its buffer), the buffer the last
    // grab went into, and the buffer the render thread codes now (-1 none).
    bool frame_waiting;
    int waiting_buffer;
    int last_grab_buffer = -1;
    int encoding_buffer = -1;
    // The cursor as EVDI's cursor events describe it (set by the event
    // thread's handlers), drawn into the frame the workers read while it is
    // coded (cursor.h); all of it under the screen's lock. A change of it
    // needs a frame, with or without new damage from EVDI: `cursor_changed`
    // asks the next tick, which damages the blocks under its last drawing
    // and its new place.
    screen_cursor_t cursor;
    bool cursor_changed;
};

// libevdi's evdi_request_update returns false both when it armed an update
// and when its ioctl failed; only the line it logs on failure tells them
// apart. True (once) when this thread's last request failed.
bool take_request_failure();

// The buffer id of the drain buffer (the mode's buffers are 0 and 1).
inline constexpr int DRAIN_BUFFER_ID = 2;

// While one lives, libevdi's log lines from this thread are dropped: grabs
// that are meant to fail (the drain buffer), or that go on failing, would
// print three lines each, many times a second.
class quiet_libevdi {
  public:
    explicit quiet_libevdi(bool quiet);
    ~quiet_libevdi();
    quiet_libevdi(const quiet_libevdi &) = delete;
    quiet_libevdi &operator=(const quiet_libevdi &) = delete;

  private:
    bool was_;
};

extern screen_state_t screen_state[MAX_DEVICES];

// Opens and connects the screen's EVDI output with the EDID and starts its
// event thread. On failure prints one line; capture stays off.
void create_screen(int screen_id, const unsigned char *edid, uint16_t edid_length);
// Releases the screen: buffers, handle, snapshot stores; frees its registry
// entry (index -1). buffersRegistered is false afterwards.
void destroy_screen(int screen_id);
// Event thread body; param carries the screen id. Ends only when cancelled.
void *evt_handle_thread(void *param);

void on_mode_change(evdi_mode mode, void *user_data);
void on_dpms_notification(int dpms_mode, void *user_data);
void on_update_ready(int buffer_to_be_updated, void *user_data);
void on_crtc_state_change(int state, void *user_data);
void on_cursor_set(evdi_cursor_set cursor_set, void *user_data);
void on_cursor_move(evdi_cursor_move cursor_move, void *user_data);

// The byte order of a mode's pixels: B, G, R, X for XR24 and AR24 planes,
// R, G, B, X for XB24 and AB24 ones (the formats the EVDI module's planes
// take); false for any other format.
bool channel_order_of(uint32_t pixel_format, channel_order_e *order);

// The context of a screen: the slot named by the first registry entry whose
// position equals the screen id; null when none does.
thread_context_t *screen_context(int screen_id);

// The slot's encoder state as the start-up timer prepares it: slot id,
// 32 x 8 blocks of three planes, quality-90 tables and the quantisation
// table the device is sent.
void prepare_encoder(thread_context_t *cxt, int id);
// Sizes the block grid, the snapshot stores (pre-filled so the next frame
// carries every block) and the stream size for a width x height mode.
// False (with nothing allocated) when the memory cannot be obtained.
bool resize_capture(thread_context_t *cxt, int width, int height);
// Pre-fills the snapshot stores as a mode change does: the next two encoded
// frames carry every block.
void refill_stores(thread_context_t *cxt);
// The same for one block (one the device may not have received): the next
// two encoded frames carry it.
void forget_block(thread_context_t *cxt, uint32_t block);
