// Frame capture and transfer: the per-tick update request, the transfer
// stage that turns or mirrors, encodes and submits a frame, and the bulk
// completion that frees its transfer slot.
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "encoder_worker.h"
#include "state.h"
#include "transfer.h"

inline constexpr int ENCODER_WORKERS = 4;

// Render loop, once per tick: asks EVDI for the screen's next frame and, when
// one with changes is ready at once, captures and sends it.
void screen_request(int screen_id);
// After a tick: true when the next tick has work even if no news comes (an
// update request to make again, a frame to send again, owed blocks, a halt
// to clear, streams waiting for room, the display-off countdown, a stop);
// false when the render loop may sleep until a thread gives it news.
bool tick_has_work(int screen_id);
// The transfer stage for the frame grabbed into buffer buffer_to_be_updated.
// Runs on the render thread under the screen's frame lock.
void screen_transfer(int screen_id, int buffer_to_be_updated);
// The event thread, right after libevdi handled the screen's events (under
// the screen's lock): an update EVDI reported ready is grabbed here at once,
// since the desktop's commit waits for that grab, also while the render
// thread codes a frame (into the other buffer). True when a frame now waits
// for the render thread to send it.
bool grab_answered_update(int screen_id);
// Writes buffers[screen_id][buffer_to_be_updated] turned by 180 degrees
// (v_flip) or mirrored left to right into the screen's turned frame; the EVDI
// buffer itself stays a copy of the screen. With `damage`, only its stale
// blocks of the turned frame are written (damage.h). Returns the turned
// frame, or a frame with null pixels when it cannot be obtained.
frame_view_t flip_framebuffer(int screen_id, int buffer_to_be_updated, bool v_flip,
                              frame_damage_t *damage = nullptr);
// The frame the device's workers read for the frame captured in
// buffers[screen_id][buffer_to_be_updated] (`captured` describes it): that
// frame, or its copy turned by 180 degrees or mirrored as the device's
// orientation and mirror state ask. Keeps the damage placed as the frame is
// made. Render thread, under the screen's lock.
frame_view_t device_frame(thread_context_t *cxt, int screen_id, int buffer_to_be_updated,
                          const frame_view_t &captured);

// Block rows of band `band` (0..ENCODER_WORKERS-1) in a grid of loop_y rows:
// a quarter each with the remainder in the last band, or one row per band
// for grids of fewer rows than bands. Every row goes to exactly one band.
void band_rows(int loop_y, int band, int *first_row, int *end_row);

// A frame cut into streams of at most `part_limit` bytes: up to `max_parts`
// of them into `parts` (their count into `count`).
struct frame_split_t {
    size_t part_limit;
    size_t max_parts;
    stream_part_t *parts;
    size_t count;
};

// The encoding part of the transfer stage, shared with torvel-stream: swaps
// the roles of the snapshot stores, runs the band workers over `frame`,
// joins their records into `stream` (room for cxt->bitstream_size bytes) and
// appends the fill words. Returns the stream length; 0 when no block changed,
// -1 when the frame was abandoned (worker start failure, mode change).
// `threads` (1 .. ENCODER_WORKERS) is how many threads code the four bands,
// the calling thread one of them (band_pool.h); the stream is the same for
// any number. With `split` the frame is cut into streams (stream_parts in
// stream.h; `stream` then needs part_slack(split->max_parts) bytes more) and
// the result is the bytes of all of them.
long encode_frame(thread_context_t *cxt, int screen_id, int buffer_to_be_updated,
                  const frame_view_t &frame, uint8_t *stream, int threads = ENCODER_WORKERS,
                  frame_split_t *split = nullptr);
