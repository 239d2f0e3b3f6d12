// Virtual screens: the EVDI output of each device, its event thread and the
// handlers of its events (mode change, DPMS, CRTC, cursor).
#pragma once

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "evdi_compat.h"
#include "state.h"

// Rectangles one grab reports at most.
inline constexpr int SCREEN_MAX_RECTS = 16;

// Capture state of one screen beside the tables of state.h.
//
// `lock` is the one exclusion between the screen's event thread and its
// render thread: the event thread holds it while libevdi handles an event
// (so handlers never run beside a frame, and the handle is never closed under
// libevdi), the render thread from the update request to the submission of
// the frame, and create_screen/destroy_screen while they change the handle.
// Every field after `event_poll` is guarded by it.
struct screen_state_t {
    std::mutex lock;
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
    std::unique_ptr<uint8_t[]> frame_memory[2];  // pixels of buffers[screen][0/1]
    std::unique_ptr<uint8_t[]> turned;           // turned or mirrored frame
    size_t turned_size;
    // Rectangles the next grab's buffer lacks: the last grab went into the
    // other buffer. They are copied across before that buffer is grabbed
    // into, so both buffers always hold the whole current screen.
    evdi_rect pending[SCREEN_MAX_RECTS];
    int pending_count;
    // The countdown switched the device's display off (0 x 0): the device
    // discards what it is sent until a DPMS on restores the resolution.
    bool display_switched_off;
    // A grabbed frame was not sent (no free transfer slot, or abandoned):
    // the next tick sends the screen again even when EVDI has no new damage,
    // so the device does not keep stale content.
    bool resend;
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
