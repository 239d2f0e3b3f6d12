#include "capture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "band_pool.h"
#include "desktop_repaint.h"
#include "device_requests.h"
#include "owed_blocks.h"
#include "screen.h"
#include "stream.h"
#include "usb_scrn.h"

namespace {

// Up to this many blocks to scan, a frame is coded on the render thread
// alone: two wake-ups per band worker cost more than scanning them.
constexpr size_t SMALL_SCAN_BLOCKS = 64;

// Copies the rectangles the last grab brought into the other buffer across
// into `buffer_id`, which is about to be grabbed into: EVDI copies only the
// damaged rectangles, so without this each buffer would keep stale pixels
// outside its own grabs. Under the screen's lock.
void bring_across(int screen_id, int buffer_id) {
    screen_state_t &st = screen_state[screen_id];
    const evdi_buffer &to = buffers[screen_id][buffer_id];
    const evdi_buffer &from = buffers[screen_id][1 - buffer_id];
    for (int i = 0; i < st.pending_count; ++i) {
        const evdi_rect &r = st.pending[i];
        const size_t bytes = 4 * static_cast<size_t>(r.x2 - r.x1);
        for (int y = r.y1; y < r.y2; ++y) {
            const size_t at = static_cast<size_t>(y) * to.stride + 4 * static_cast<size_t>(r.x1);
            std::memcpy(static_cast<uint8_t *>(to.buffer) + at,
                        static_cast<const uint8_t *>(from.buffer) + at, bytes);
        }
        // The other buffer may be the frame being coded, with the cursor in it.
        st.cursor.restore_copied(static_cast<const uint8_t *>(from.buffer),
                                 static_cast<uint8_t *>(to.buffer), to.stride, r.x1, r.y1, r.x2,
                                 r.y2);
    }
    st.pending_count = 0;
}

// Adds r to a list of at most SCREEN_MAX_RECTS rectangles; when it is
// full, the list becomes its bounding box first (a superset is always safe
// for both uses below).
void keep_rect(evdi_rect *list, int *count, const evdi_rect &r) {
    if (*count == SCREEN_MAX_RECTS) {
        evdi_rect &box = list[0];
        for (int k = 1; k < *count; ++k) {
            box.x1 = std::min(box.x1, list[k].x1);
            box.y1 = std::min(box.y1, list[k].y1);
            box.x2 = std::max(box.x2, list[k].x2);
            box.y2 = std::max(box.y2, list[k].y2);
        }
        *count = 1;
    }
    list[(*count)++] = r;
}

// Keeps the grabbed rectangles, clipped to the buffer, as what the other
// buffer now lacks (with `again`, a second grab into the same buffer, in
// addition to the ones kept before) and as damage of the device's frame
// still to be marked. Under the screen's lock.
void remember_grab(int screen_id, const evdi_rect *rects, int count, bool again) {
    screen_state_t &st = screen_state[screen_id];
    const evdi_buffer &b = buffers[screen_id][0];
    if (!again) st.pending_count = 0;
    for (int i = 0; i < count; ++i) {
        evdi_rect r = rects[i];
        r.x1 = std::clamp(r.x1, 0, b.width);
        r.x2 = std::clamp(r.x2, r.x1, b.width);
        r.y1 = std::clamp(r.y1, 0, b.height);
        r.y2 = std::clamp(r.y2, r.y1, b.height);
        if (r.x1 >= r.x2 || r.y1 >= r.y2) continue;
        keep_rect(st.pending, &st.pending_count, r);
        if (!st.unmarked_all) keep_rect(st.unmarked, &st.unmarked_count, r);
    }
}

// Has the next frame carry the blocks owed to the device: both snapshot
// stores forget them, as a mode change's pre-fill makes them forget every
// block. True when there were any. Under the screen's lock.
bool owe_blocks_again(thread_context_t *cxt) {
    const uint32_t blocks = static_cast<uint32_t>(cxt->loop_x) * static_cast<uint32_t>(cxt->loop_y);
    return owed_blocks[cxt->id].take(blocks, [cxt](uint32_t block) { forget_block(cxt, block); }) >
           0;
}

// The damage of grabs since the last frame was taken for coding goes into
// the device's frame damage. Only the render thread does this, under the
// screen's lock and before it codes, so the event thread's grabs during a
// frame's coding never change the damage that frame scans (they are marked
// for the next one). Under the screen's lock.
void mark_grabbed_damage(int screen_id, thread_context_t &cxt) {
    screen_state_t &st = screen_state[screen_id];
    if (st.unmarked_all) {
        cxt.damage.mark_all();
    } else {
        for (int i = 0; i < st.unmarked_count; ++i) {
            const evdi_rect &r = st.unmarked[i];
            cxt.damage.mark_rect(r.x1, r.y1, r.x2, r.y2);
        }
    }
    st.unmarked_all = false;
    st.unmarked_count = 0;
}

}  // namespace

void band_rows(int loop_y, int band, int *first_row, int *end_row) {
    if (loop_y >= ENCODER_WORKERS) {
        const int rows = loop_y / ENCODER_WORKERS;
        *first_row = rows * band;
        *end_row = band == ENCODER_WORKERS - 1 ? loop_y : rows * (band + 1);
        return;
    }
    *first_row = std::min(band, std::max(loop_y, 0));
    *end_row = std::min(band + 1, std::max(loop_y, 0));
}

long encode_frame(thread_context_t *cxt, int screen_id, int buffer_to_be_updated,
                  const frame_view_t &frame, uint8_t *stream, int threads, frame_split_t *split) {
    const int current = cxt->current_dirty;
    uint8_t *curr = cxt->dirty_block[current].get();
    uint8_t *prev = cxt->dirty_block[1 - current].get();
    cxt->current_dirty = static_cast<uint8_t>(1 - current);
    // Only blocks that can differ from either store are converted and
    // compared; a few of them are done on this thread alone, since waking
    // the band workers costs more than they do.
    const block_mask_t *scan = cxt->damage.scan_for(current);
    cxt->last_scan_blocks =
        scan != nullptr ? scan->count() : static_cast<size_t>(cxt->loop_x) * cxt->loop_y;
    if (cxt->last_scan_blocks <= SMALL_SCAN_BLOCKS) threads = 1;

    // Each band's area holds a largest record for each of its blocks; the
    // areas follow one another from the start of the stream buffer, so the
    // joined stream never overtakes a band it has not moved yet.
    jpegenc_param_t jobs[ENCODER_WORKERS];
    uint8_t *starts[ENCODER_WORKERS];
    uint8_t *area = stream + (split != nullptr ? part_slack(split->max_parts) : 0);
    for (int i = 0; i < ENCODER_WORKERS; ++i) {
        int first_row = 0, end_row = 0;
        band_rows(cxt->loop_y, i, &first_row, &end_row);
        uint8_t *area_end = area + max_records_bytes(static_cast<size_t>(end_row - first_row) *
                                                     static_cast<size_t>(cxt->loop_x));
        jobs[i] = jpegenc_param_t{cxt,
                                  screen_id,
                                  buffer_to_be_updated,
                                  first_row * cxt->loop_x,
                                  end_row * cxt->loop_x,
                                  curr,
                                  prev,
                                  0,
                                  reinterpret_cast<BlockHeader_t *>(area),
                                  frame,
                                  area_end,
                                  cxt->stores_equal.get(),
                                  scan};
        starts[i] = area;
        area = area_end;
    }
    // The device's persistent workers: a thread start and join per band and
    // frame cost more than a whole unchanged band.
    if (!device_band_pool(cxt->id).run(jobs, ENCODER_WORKERS, threads)) return -1;
    if (!buffersRegistered[screen_id].load()) return -1;
    cxt->damage.scanned(current);

    band_records_t bands[ENCODER_WORKERS];
    for (int i = 0; i < ENCODER_WORKERS; ++i) {
        bands[i] = band_records_t{starts[i], static_cast<size_t>(jobs[i].streamlen),
                                  reinterpret_cast<uint8_t *>(jobs[i].current_header)};
    }
    if (split == nullptr) return static_cast<long>(assemble_stream(stream, bands, ENCODER_WORKERS));
    return static_cast<long>(assemble_streams(stream, bands, ENCODER_WORKERS, split->part_limit,
                                              split->parts, split->max_parts, &split->count));
}

namespace {

// Pixels x0 .. x1 - 1 of rows y0 .. y1 - 1 of the turned frame `dst`: pixel x
// of row y comes from pixel width-1-x of row y (mirror) or of row
// height-1-y (turned by 180 degrees). The sizes come by value: stores
// through a byte pointer could alias a buffer record, which would keep the
// compiler from vectorising the loop (several times slower).
void turn_area(const uint8_t *src, uint8_t *dst, int width, int height, int stride, bool v_flip,
               int x0, int x1, int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
        const int from_row = v_flip ? height - 1 - y : y;
        const uint8_t *s = src + static_cast<size_t>(from_row) * stride;
        uint8_t *d = dst + static_cast<size_t>(y) * stride;
        for (int x = x0; x < x1; ++x)
            std::memcpy(d + 4 * static_cast<size_t>(x), s + 4 * static_cast<size_t>(width - 1 - x),
                        4);
    }
}

}  // namespace

frame_view_t flip_framebuffer(int screen_id, int buffer_to_be_updated, bool v_flip,
                              frame_damage_t *damage) {
    screen_state_t &st = screen_state[screen_id];
    const evdi_buffer &b = buffers[screen_id][buffer_to_be_updated];
    const size_t bytes = static_cast<size_t>(b.stride) * b.height;
    // Only the blocks the screen changed under need turning again, while
    // the turned frame keeps being made the same way from the same screen.
    const block_mask_t *stale = damage != nullptr ? damage->turned_stale() : nullptr;
    if (st.turned_size < bytes) {
        st.turned = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]);
        st.turned_size = st.turned ? bytes : 0;
        if (!st.turned) return frame_view_t{nullptr, b.width, b.height, b.stride};
        stale = nullptr;
    }
    const int width = b.width, height = b.height, stride = b.stride;
    const auto *src = static_cast<const uint8_t *>(b.buffer);
    uint8_t *dst = st.turned.get();
    if (stale == nullptr) {
        turn_area(src, dst, width, height, stride, v_flip, 0, width, 0, height);
    } else {
        const auto loop_x = static_cast<uint32_t>((width + BLOCK_WIDTH - 1) / BLOCK_WIDTH);
        stale->for_each_run(
            0, static_cast<uint32_t>(stale->size()), [&](uint32_t first, uint32_t end) {
                while (first < end) {
                    const uint32_t row = first / loop_x, column = first % loop_x;
                    const uint32_t columns = std::min(end - first, loop_x - column);
                    const int y0 = static_cast<int>(row) * BLOCK_HEIGHT;
                    turn_area(src, dst, width, height, stride, v_flip,
                              static_cast<int>(column) * BLOCK_WIDTH,
                              std::min(width, static_cast<int>(column + columns) * BLOCK_WIDTH), y0,
                              std::min(height, y0 + BLOCK_HEIGHT));
                    first += columns;
                }
            });
    }
    if (damage != nullptr) damage->turned_done();
    return frame_view_t{dst, width, height, stride};
}

frame_view_t device_frame(thread_context_t *cxt, int screen_id, int buffer_to_be_updated,
                          const frame_view_t &captured) {
    const frame_turn_e turn = cxt->rotate_state.load() == MONITOR_ROTATE_180
                                  ? frame_turn_e::TURN_180
                              : cxt->mirror_state == MIRROR_ENABLE ? frame_turn_e::MIRROR
                                                                   : frame_turn_e::NONE;
    cxt->damage.set_turn(turn);
    if (turn == frame_turn_e::NONE) return captured;
    frame_view_t turned = flip_framebuffer(screen_id, buffer_to_be_updated,
                                           turn == frame_turn_e::TURN_180, &cxt->damage);
    // Without memory for the turned frame the frame goes out as captured.
    if (turned.pixels == nullptr) {
        cxt->damage.set_turn(frame_turn_e::NONE);
        return captured;
    }
    turned.order = captured.order;
    return turned;
}

void screen_transfer(int screen_id, int buffer_to_be_updated) {
    thread_context_t *cxt = screen_context(screen_id);
    if (cxt == nullptr) return;
    screen_state_t &st = screen_state[screen_id];

    // The device's request thread reads the orientation (VMIRROR) or the
    // mirror state (HMIRROR) once per frame period: no control request
    // stands between the desktop's next commit and its grab.
    if (cxt->monitor_type == MONITOR_TYPE_HMIRROR)
        cxt->mirror_state = device_requests[cxt->id].mirror.load();
    const evdi_buffer &b = buffers[screen_id][buffer_to_be_updated];
    frame_view_t captured{static_cast<const uint8_t *>(b.buffer), b.width, b.height, b.stride};
    channel_order_of(cxt->mode.pixel_format, &captured.order);
    const frame_view_t frame = device_frame(cxt, screen_id, buffer_to_be_updated, captured);

    // No slot, or the last frame still waits for room: this one is dropped.
    transfer_info_t *slot = take_transfer_slot(cxt, screen_id);
    if (slot == nullptr) {
        st.resend = true;
        return;
    }
    if (!prepare_transfer_slot(slot)) {
        return_transfer_slot(slot);
        st.resend = true;
        return;
    }
    frame_split_t split{frame_part_limit(cxt), slot->parts_size, slot->parts.get(), 0};
    const long length = encode_frame(cxt, screen_id, buffer_to_be_updated, frame,
                                     slot->stream.get(), ENCODER_WORKERS, &split);
    if (length < 0) st.resend = true;
    if (length <= 0) {
        return_transfer_slot(slot);
        return;
    }
    send_frame(slot, split.count);
}

namespace {

// The device's answer to the mode's resolution: streaming starts with every
// block sent, from buffers that grabs kept whole meanwhile. Under the
// screen's lock.
void take_resolution_answer(int screen_id, thread_context_t &cxt) {
    screen_state_t &st = screen_state[screen_id];
    bool accepted = false;
    if (!st.resolution_pending || !mode_resolution_answered(cxt, st.resolution_tag, &accepted))
        return;
    st.resolution_pending = false;
    if (!accepted) return;  // no capture until the next mode change
    // The new resolution switched the display on again.
    st.display_switched_off = false;
    refill_stores(&cxt);
    st.resend = true;
    buffersRegistered[screen_id].store(true);
}

// A grab that reported no rectangle lost the damage EVDI had taken for it:
// once per run of failures the desktop is asked to repaint, and libevdi's
// lines about it are let through once.
void grab_failed(int screen_id) {
    screen_state_t &st = screen_state[screen_id];
    // What the failed grab left in its buffer is not known.
    st.unmarked_all = true;
    st.unmarked_count = 0;
    if (st.failed_grabs++ > 0) return;
    std::printf(
        "Screen#%d, grab failed, the screen's damage is lost: asking the desktop to "
        "repaint\n",
        screen_id);
    ask_desktop_repaint();
}

void grab_worked(int screen_id) {
    screen_state_t &st = screen_state[screen_id];
    if (st.failed_grabs == 0) return;
    std::printf("Screen#%d, grabs work again after %d failed\n", screen_id, st.failed_grabs);
    st.failed_grabs = 0;
}

// Asks for an update of `buffer_id`, at most once until EVDI has answered.
// True when an update is to be grabbed now, into *grab_buffer.
bool update_to_grab(int screen_id, evdi_handle handle, int buffer_id, int *grab_buffer) {
    screen_state_t &st = screen_state[screen_id];
    if (st.armed) {
        if (!st.update_ready.exchange(false)) return false;
        st.armed = false;
        *grab_buffer = st.armed_buffer;
        // The request named a buffer that is no longer the one to fill (a
        // mode change went to or from the drain buffer): EVDI has damage now,
        // so asking again for the right one is answered at once.
        if (st.armed_buffer == buffer_id) return true;
    }
    st.update_ready.store(false);
    take_request_failure();
    if (evdi_request_update(handle, buffer_id)) {
        *grab_buffer = buffer_id;
        return true;
    }
    // A failed request armed nothing: the next tick asks again.
    if (take_request_failure()) return false;
    st.armed = true;
    st.armed_buffer = buffer_id;
    return false;
}

}  // namespace

namespace {

// Grabs the update EVDI has ready, if any, into the buffer the next frame is
// made from: the frame still waiting to be sent if there is one, else the
// buffer not sent last. Under the screen's lock, on the render thread (for a
// request answered at once) and on the event thread (for update_ready).
void grab_ready_update(int screen_id, evdi_handle handle) {
    screen_state_t &st = screen_state[screen_id];
    const int target = st.draining        ? DRAIN_BUFFER_ID
                       : st.frame_waiting ? st.waiting_buffer
                                          : evdi_buf_id[screen_id] & 1;
    int grab_buffer = target;
    if (!update_to_grab(screen_id, handle, target, &grab_buffer)) return;
    evdi_rect rects[SCREEN_MAX_RECTS];
    int num_rects = SCREEN_MAX_RECTS;
    if (grab_buffer == DRAIN_BUFFER_ID || st.draining) {
        quiet_libevdi quiet(true);
        evdi_grab_pixels(handle, rects, &num_rects);
        return;
    }
    // A second grab into the waiting frame adds to it; a grab into the
    // other buffer first brings it up to date.
    const bool again = grab_buffer == st.last_grab_buffer;
    if (!again) bring_across(screen_id, grab_buffer);
    {
        quiet_libevdi quiet(st.failed_grabs > 0);
        evdi_grab_pixels(handle, rects, &num_rects);
    }
    // After an update EVDI always has damage: no rectangle means the grab
    // failed.
    if (num_rects <= 0) {
        grab_failed(screen_id);
        return;
    }
    grab_worked(screen_id);
    remember_grab(screen_id, rects, num_rects, again);
    st.last_grab_buffer = grab_buffer;
    st.frame_waiting = true;
    st.waiting_buffer = grab_buffer;
    // Both buffers stay whole whether or not the frame is sent.
    evdi_buf_id[screen_id] = 1 - grab_buffer;
}

// The buffer of the frame to send now, or -1. Under the screen's lock.
int frame_to_send(int screen_id) {
    screen_state_t &st = screen_state[screen_id];
    int buffer = -1;
    if (st.frame_waiting) {
        buffer = st.waiting_buffer;
        st.frame_waiting = false;
    } else if (st.resend) {
        // Nothing new, but the last frame never left: send the screen as it
        // stands, from this buffer made whole.
        buffer = evdi_buf_id[screen_id] & 1;
        bring_across(screen_id, buffer);
        st.last_grab_buffer = buffer;
        evdi_buf_id[screen_id] = 1 - buffer;
    }
    st.resend = false;
    return buffer;
}

}  // namespace

namespace {

// The cursor drawn here moved or changed: the blocks under its last drawing
// and under its new place are damage, and a frame goes out with or without
// new damage from EVDI. Moves between two ticks cost one frame. Under the
// screen's lock.
void take_cursor_change(int screen_id, thread_context_t &cxt) {
    screen_state_t &st = screen_state[screen_id];
    if (!st.cursor_changed) return;
    st.cursor_changed = false;
    const evdi_buffer &b = buffers[screen_id][0];
    for (const cursor_rect_t &r : {st.cursor.last_drawn(), st.cursor.area(b.width, b.height)})
        if (!r.empty()) cxt.damage.mark_rect(r.x1, r.y1, r.x2, r.y2);
    st.resend = true;
}

}  // namespace

bool grab_answered_update(int screen_id) {
    screen_state_t &st = screen_state[screen_id];
    const evdi_handle handle = evdihndl[screen_id].load();
    if (!st.update_ready.load() || !st.grabbing.load() || handle == EVDI_INVALID_HANDLE)
        return false;
    grab_ready_update(screen_id, handle);
    return st.frame_waiting;
}

bool tick_has_work(int screen_id) {
    if (screen_id < 0 || screen_id >= MAX_DEVICES) return false;
    thread_context_t *cxt = screen_context(screen_id);
    if (cxt == nullptr) return false;
    if (cxt->stop_requested.load() || !cxt->keep_going.load()) return true;
    if (cxt->display_off.load() > 0) return true;  // counted once a tick
    if (buffersRegistered[screen_id].load() && output_needs_service(cxt->id)) return true;
    screen_state_t &st = screen_state[screen_id];
    std::lock_guard<std::mutex> hold(st.lock);
    if (!st.grabbing.load() || evdihndl[screen_id].load() == EVDI_INVALID_HANDLE) return false;
    // EVDI tells of new damage only to an armed request; one that failed,
    // or was used by a grab, is made again by the next tick.
    if (!st.armed || st.frame_waiting) return true;
    // A screen not streaming, or a display switched off, sends nothing until
    // the device's answer or a DPMS on (the request thread's news).
    if (!buffersRegistered[screen_id].load() || st.display_switched_off) return false;
    return st.resend || st.refresh.load() || (cxt->draw_cursor && st.cursor_changed) ||
           owed_blocks[cxt->id].any();
}

void screen_request(int screen_id) {
    if (screen_id < 0 || screen_id >= MAX_DEVICES) return;
    screen_state_t &st = screen_state[screen_id];
    if (!st.grabbing.load()) return;
    // The device's output state has a lock of its own, and the render thread
    // alone sends and frees streams: a halt's clearing (a control request)
    // is made without the screen's lock, which the event thread's grabs need.
    if (thread_context_t *cxt = screen_context(screen_id);
        cxt != nullptr && buffersRegistered[screen_id].load())
        service_output(cxt, screen_id);
    int buffer;
    {
        std::lock_guard<std::mutex> hold(st.lock);
        // A mode change may have run while this thread waited for the lock.
        evdi_handle handle = evdihndl[screen_id].load();
        thread_context_t *cxt = screen_context(screen_id);
        if (!st.grabbing.load() || handle == EVDI_INVALID_HANDLE || cxt == nullptr) return;
        take_resolution_answer(screen_id, *cxt);
        const bool streaming = buffersRegistered[screen_id].load();
        if (streaming && st.refresh.exchange(false)) {
            refill_stores(cxt);
            st.resend = true;
        }
        if (streaming && owe_blocks_again(cxt)) st.resend = true;
        grab_ready_update(screen_id, handle);
        mark_grabbed_damage(screen_id, *cxt);
        if (cxt->draw_cursor) take_cursor_change(screen_id, *cxt);
        if (!streaming || st.display_switched_off) {
            // Dropped; streaming starts with the whole screen anyway, and so
            // does a display switched on again (the device discards, and
            // counts against the stream, whatever it is sent while off).
            st.frame_waiting = false;
            return;
        }
        buffer = frame_to_send(screen_id);
        if (buffer < 0) return;
        st.encoding_buffer = buffer;
        if (cxt->draw_cursor) {
            const evdi_buffer &b = buffers[screen_id][buffer];
            st.cursor.draw(static_cast<uint8_t *>(b.buffer), b.width, b.height, b.stride);
        }
    }
    // Coding and submission under the frame's lock only: the event thread
    // grabs meanwhile into the other buffer (grab_answered_update).
    {
        std::lock_guard<std::mutex> coding(st.frame_lock);
        if (buffersRegistered[screen_id].load()) screen_transfer(screen_id, buffer);
    }
    std::lock_guard<std::mutex> hold(st.lock);
    st.encoding_buffer = -1;
    // Unless a mode change took the buffer meanwhile (forget_drawing).
    st.cursor.erase();
}
