#include "screen.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "capture.h"
#include "desktop_repaint.h"
#include "device_requests.h"
#include "registry.h"
#include "stream.h"
#include "usb_scrn.h"

screen_state_t screen_state[MAX_DEVICES];

namespace {

// How long the event thread waits for an event before it looks at the
// screen's handle again; bounds how long it keeps polling a closed screen.
constexpr int EVENT_POLL_MS = 100;
// Rest between looks while the screen has no handle.
constexpr int NO_HANDLE_REST_MS = 50;

// Set while this thread's libevdi lines are to be dropped (quiet_libevdi).
thread_local bool quiet_thread = false;
// Set when libevdi reported a failed update request on this thread.
thread_local bool request_failed = false;
constexpr char REQUEST_FAILURE[] = "Ioctl request_update error";
// Set when libevdi dropped a cursor_set event on this thread: it could not
// map the cursor's image (evdi_handle_event's "Cursor buffer is null").
thread_local bool cursor_image_lost = false;
constexpr char CURSOR_IMAGE_LOST[] = "Error: Cursor buffer is null!";

// Tags of mode changes' resolution requests, distinct over the daemon's
// life (0 is never one).
std::atomic<uint32_t> next_resolution_tag{1};

int screen_of(void *user_data) {
    const auto id = reinterpret_cast<intptr_t>(user_data);
    return id >= 0 && id < MAX_DEVICES ? static_cast<int>(id) : -1;
}

// libevdi prints to standard output unless given a function; its lines are
// announced as its own so they do not pass for the daemon's.
void evdi_log_line(void * /*user_data*/, const char *fmt, ...) {
    char line[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    if (std::strncmp(line, REQUEST_FAILURE, sizeof REQUEST_FAILURE - 1) == 0) request_failed = true;
    if (std::strncmp(line, CURSOR_IMAGE_LOST, sizeof CURSOR_IMAGE_LOST - 1) == 0)
        cursor_image_lost = true;
    if (quiet_thread) return;
    std::printf("[libevdi] %s\n", line);
}

void route_evdi_logging() {
    static std::once_flag once;
    std::call_once(once, [] { evdi_set_logging(evdi_logging{evdi_log_line, nullptr}); });
}

// libevdi keeps its table of the cards in use in globals without a lock: an
// open marks its card only once the card is open, which can take seconds
// (it waits for the display server to hold the card), so two screens opened
// at once could both take the same card. Opens and closes of screens go one
// at a time, under this plain mutex.
std::mutex card_table_lock;

evdi_handle open_card() {
    std::lock_guard<std::mutex> hold(card_table_lock);
    return evdi_open_attached_to_fixed(nullptr, 0);
}

void close_card(evdi_handle handle) {
    std::lock_guard<std::mutex> hold(card_table_lock);
    evdi_close(handle);
}

std::unique_ptr<uint8_t[]> try_alloc(size_t bytes) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]);
}

// Unregisters and frees the screen's frame buffers. Under both of the
// screen's locks.
void release_frame_buffers(int screen_id, evdi_handle handle, const char *caller) {
    screen_state_t &st = screen_state[screen_id];
    for (int id = 0; id < 2; ++id) {
        evdi_buffer &b = buffers[screen_id][id];
        if (b.buffer == nullptr) continue;
        if (caller != nullptr)
            std::printf("%s: Screen#%d, Destroying buffer with id: %d\n", caller, screen_id, id);
        else
            std::printf("Screen#%d, Destroying buffer with id: %d\n", screen_id, id);
        if (handle != EVDI_INVALID_HANDLE) evdi_unregister_buffer(handle, id);
        st.frame_memory[id].reset();
        b.buffer = nullptr;
    }
    if (st.draining && handle != EVDI_INVALID_HANDLE)
        evdi_unregister_buffer(handle, DRAIN_BUFFER_ID);
    st.draining = false;
    st.grabbing.store(false);
    st.turned.reset();
    st.turned_size = 0;
    st.cursor.forget_drawing();
    st.pending_count = 0;
    st.unmarked_count = 0;
    st.unmarked_all = false;
    st.resend = false;
    st.resolution_pending = false;
    st.frame_waiting = false;
    st.last_grab_buffer = -1;
}

// The render thread asks for an update at once rather than at its next tick:
// the mode set that brought new buffers is a commit waiting for a grab.
void wake_render_thread(int screen_id) {
    if (thread_context_t *cxt = screen_context(screen_id); cxt != nullptr) cxt->render_wake.frame();
}

// Grabs go on into the drain buffer: EVDI takes the damage and completes the
// desktop's commit, then refuses the buffer.
void drain_grabs(int screen_id, evdi_handle handle) {
    screen_state_t &st = screen_state[screen_id];
    evdi_buffer drain{};
    drain.id = DRAIN_BUFFER_ID;
    drain.buffer = &st.drain_pixel;
    drain.width = 1;
    drain.height = 1;
    drain.stride = 4;
    evdi_register_buffer(handle, drain);
    st.draining = true;
    st.grabbing.store(true);
    wake_render_thread(screen_id);
}

// The modes capture handles: 32 bits per pixel in one of the plane formats,
// sizes the device request can carry, and a grid whose block numbers fit
// the 16-bit block_index.
bool mode_supported(const evdi_mode &mode) {
    if (mode.width <= 0 || mode.height <= 0 || mode.width > 0xFFFF || mode.height > 0xFFFF)
        return false;
    channel_order_e order;
    if (mode.bits_per_pixel != 32 || !channel_order_of(mode.pixel_format, &order)) return false;
    const long blocks = static_cast<long>((mode.width + BLOCK_WIDTH - 1) / BLOCK_WIDTH) *
                        ((mode.height + BLOCK_HEIGHT - 1) / BLOCK_HEIGHT);
    return blocks <= MAX_GRID_BLOCKS;
}

}  // namespace

bool channel_order_of(uint32_t pixel_format, channel_order_e *order) {
    constexpr auto fourcc = [](char a, char b, char c, char d) {
        return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 |
               static_cast<uint32_t>(c) << 16 | static_cast<uint32_t>(d) << 24;
    };
    switch (pixel_format) {
        case fourcc('X', 'R', '2', '4'):
        case fourcc('A', 'R', '2', '4'):
            *order = channel_order_e::BGRX;
            return true;
        case fourcc('X', 'B', '2', '4'):
        case fourcc('A', 'B', '2', '4'):
            *order = channel_order_e::RGBX;
            return true;
        default:
            return false;
    }
}

thread_context_t *screen_context(int screen_id) {
    if (screen_id < 0 || screen_id >= MAX_DEVICES) return nullptr;
    const int32_t slot = slot_of_screen(screen_id);
    return slot >= 0 && slot < MAX_DEVICES ? &g_context[slot] : nullptr;
}

void prepare_encoder(thread_context_t *cxt, int id) {
    cxt->id = id;
    cxt->blksize = BLOCK_PIXELS;
    cxt->blocks_size = BLOCK_BYTES;
    Initialize(&cxt->cinfo, 90);
    cxt->cinfo.Ximage = BLOCK_WIDTH;
    cxt->cinfo.Yimage = BLOCK_HEIGHT;
    cxt->qtInfo.pbitstream = cxt->qt_table;
    cxt->qtInfo.pos = 0;
    GetDQTinfo(&cxt->cinfo, &cxt->qtInfo);
}

bool resize_capture(thread_context_t *cxt, int width, int height) {
    const int loop_x = (width + BLOCK_WIDTH - 1) / BLOCK_WIDTH;
    const int loop_y = (height + BLOCK_HEIGHT - 1) / BLOCK_HEIGHT;
    const size_t store_bytes = static_cast<size_t>(loop_x) * loop_y * BLOCK_BYTES;
    cxt->dirty_block[0].reset();
    cxt->dirty_block[1].reset();
    cxt->stores_equal.reset();
    cxt->damage.release();
    cxt->bitstream.reset();
    cxt->bitstream_size = 0;
    cxt->loop_x = 0;
    cxt->loop_y = 0;
    auto store0 = try_alloc(store_bytes);
    auto store1 = try_alloc(store_bytes);
    auto equal = try_alloc(static_cast<size_t>(loop_x) * loop_y);
    if (!store0 || !store1 || !equal) return false;
    cxt->dirty_block[0] = std::move(store0);
    cxt->dirty_block[1] = std::move(store1);
    cxt->stores_equal = std::move(equal);
    cxt->loop_x = loop_x;
    cxt->loop_y = loop_y;
    // Without memory for the damage every frame scans every block.
    cxt->damage.resize(width, height, loop_x, loop_y);
    refill_stores(cxt);
    // The joined stream lives in the transfer slots' buffers (capture.h);
    // this is the size each must have for the new grid.
    cxt->bitstream_size = max_stream_bytes(static_cast<size_t>(loop_x) * loop_y);
    return true;
}

void refill_stores(thread_context_t *cxt) {
    const size_t store_bytes = static_cast<size_t>(cxt->loop_x) * cxt->loop_y * BLOCK_BYTES;
    // No block content can equal both patterns, so every block is sent in the
    // first frame after the fill, and again in the second.
    if (cxt->dirty_block[0]) std::memset(cxt->dirty_block[0].get(), 0xAA, store_bytes);
    if (cxt->dirty_block[1]) std::memset(cxt->dirty_block[1].get(), 0xAB, store_bytes);
    if (cxt->stores_equal)
        std::memset(cxt->stores_equal.get(), 0, static_cast<size_t>(cxt->loop_x) * cxt->loop_y);
    cxt->damage.mark_all();
    cxt->current_dirty = 0;
}

void forget_block(thread_context_t *cxt, uint32_t block) {
    if (block >= static_cast<uint32_t>(cxt->loop_x) * static_cast<uint32_t>(cxt->loop_y)) return;
    const size_t at = static_cast<size_t>(block) * BLOCK_BYTES;
    if (cxt->dirty_block[0]) std::memset(cxt->dirty_block[0].get() + at, 0xAA, BLOCK_BYTES);
    if (cxt->dirty_block[1]) std::memset(cxt->dirty_block[1].get() + at, 0xAB, BLOCK_BYTES);
    if (cxt->stores_equal) cxt->stores_equal[block] = 0;
    cxt->damage.mark_block(block);
}

void create_screen(int screen_id, const unsigned char *edid, uint16_t edid_length) {
    if (screen_id < 0 || screen_id >= MAX_DEVICES) return;
    route_evdi_logging();
    evdi_handle handle = open_card();
    if (handle == EVDI_INVALID_HANDLE) {
        std::printf("Screen#%d, EVDI output cannot be opened, no capture on this screen\n",
                    screen_id);
        return;
    }
    evdi_connect2(handle, edid, edid_length, 0xFFFFFFFFu, 0xFFFFFFFFu);
    // Connecting switches them off; they are wanted once connected.
    if (thread_context_t *cxt = screen_context(screen_id); cxt != nullptr && cxt->draw_cursor)
        evdi_enable_cursor_events(handle, true);
    {
        screen_state_t &st = screen_state[screen_id];
        std::lock_guard<std::mutex> hold(st.lock);
        if (evdihndl[screen_id].load() != EVDI_INVALID_HANDLE) {
            std::printf("Screen#%d, screen exists already\n", screen_id);
            evdi_disconnect(handle);
            close_card(handle);
            return;
        }
        evdi_event_context &ctx = evtctx[screen_id];
        ctx = evdi_event_context{};
        ctx.dpms_handler = on_dpms_notification;
        ctx.mode_changed_handler = on_mode_change;
        ctx.update_ready_handler = on_update_ready;
        ctx.crtc_state_handler = on_crtc_state_change;
        ctx.cursor_set_handler = on_cursor_set;
        ctx.cursor_move_handler = on_cursor_move;
        ctx.ddcci_data_handler = nullptr;
        ctx.user_data = reinterpret_cast<void *>(static_cast<intptr_t>(screen_id));
        st.pending_count = 0;
        st.unmarked_count = 0;
        st.unmarked_all = false;
        st.resend = false;
        st.cursor.reset();
        st.cursor_changed = false;
        st.display_switched_off = false;
        // A new handle has no request armed (the module forgets it at a
        // disconnect).
        st.armed = false;
        st.frame_waiting = false;
        st.last_grab_buffer = -1;
        st.update_ready.store(false);
        st.failed_grabs = 0;
        ++st.generation;
        evdihndl[screen_id].store(handle);
    }
    // An event thread left from an earlier screen of this id is reused: it
    // reads the handle afresh on every pass.
    if (eevt_threads[screen_id].running()) return;
    const int rc = eevt_threads[screen_id].start(
        evt_handle_thread, reinterpret_cast<void *>(static_cast<intptr_t>(screen_id)));
    if (rc != 0 && rc != EBUSY) {
        std::puts("Memory insuficient when create event handle thread, force quit!");
        end_process_now(0);
    }
}

void destroy_screen(int screen_id) {
    if (screen_id < 0 || screen_id >= MAX_DEVICES) return;
    screen_state_t &st = screen_state[screen_id];
    std::lock_guard<std::mutex> hold(st.lock);
    std::lock_guard<std::mutex> coding(st.frame_lock);
    buffersRegistered[screen_id].store(false);
    const int32_t slot = device_info[screen_id].index.load();
    thread_context_t *cxt = slot >= 0 && slot < MAX_DEVICES ? &g_context[slot] : nullptr;
    evdi_handle handle = evdihndl[screen_id].load();
    release_frame_buffers(screen_id, handle, "destroy_screen");
    if (handle != EVDI_INVALID_HANDLE) {
        evdi_disconnect(handle);
        close_card(handle);
    }
    evdihndl[screen_id].store(EVDI_INVALID_HANDLE);
    ++st.generation;
    if (cxt != nullptr) {
        cxt->bitstream.reset();
        cxt->dirty_block[0].reset();
        cxt->dirty_block[1].reset();
        cxt->stores_equal.reset();
        cxt->damage.release();
        release_transfer_buffers(slot);
    }
    device_info[screen_id].index.store(-1);
}

namespace {

// The event thread is cancelled only inside wait_for_event's poll. Every
// frame on its stack at that moment keeps nothing in memory (the poll
// descriptor lives in the screen's state): a frame that a cancel unwinds
// never gets to release what it holds.
struct watched_handle {
    evdi_handle handle;
    unsigned generation;
    int fd;
};

[[gnu::noinline]] watched_handle watch_handle(int screen_id) {
    screen_state_t &st = screen_state[screen_id];
    std::lock_guard<std::mutex> hold(st.lock);
    const evdi_handle handle = evdihndl[screen_id].load();
    return watched_handle{handle, st.generation,
                          handle != EVDI_INVALID_HANDLE ? evdi_get_event_ready(handle) : -1};
}

// True when the descriptor has an event to read. Cancellation is honoured
// only here, while no lock is held: a cancel inside libevdi or inside a
// handler's USB request could leave the screen's lock or libusb's own locks
// held for ever.
[[gnu::noinline]] bool wait_for_event(int screen_id, int fd) {
    pollfd &pfd = screen_state[screen_id].event_poll;
    pfd = pollfd{fd, POLLIN, 0};
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    int ready = fd >= 0 ? poll(&pfd, 1, EVENT_POLL_MS) : poll(nullptr, 0, NO_HANDLE_REST_MS);
    if (ready > 0 && (pfd.revents & POLLIN) == 0) {
        // Hung up or invalid without data: rest rather than spin.
        poll(nullptr, 0, NO_HANDLE_REST_MS);
        ready = 0;
    }
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    return ready > 0;
}

// Runs under the screen's lock. libevdi dropped a new cursor image it could
// not map: the daemon cannot draw a cursor it has not seen, and the module
// sends an image only when the desktop sets another. The module draws the
// cursor from here on, as it does with cursor events off
// (evdi_cursor_compose_and_copy in every grab, the whole screen marked dirty
// at each move: evdi_cursor_atomic_update), and the desktop repaints so that
// the next grab holds it. A new screen starts with cursor events again.
void hand_cursor_to_evdi(int screen_id, evdi_handle handle) {
    screen_state_t &st = screen_state[screen_id];
    evdi_enable_cursor_events(handle, false);
    st.cursor.set(evdi_cursor_set{});
    st.cursor_changed = true;
    std::printf("Screen#%d, cursor image lost, EVDI draws the cursor\n", screen_id);
    ask_desktop_repaint();
}

[[gnu::noinline]] void dispatch_event(int screen_id, const watched_handle &watched) {
    screen_state_t &st = screen_state[screen_id];
    std::lock_guard<std::mutex> hold(st.lock);
    // The descriptor is the handle's own only if the screen was neither
    // closed nor re-opened since it was taken.
    if (st.generation != watched.generation || evdihndl[screen_id].load() != watched.handle) return;
    evdi_handle_events(watched.handle, &evtctx[screen_id]);
    if (cursor_image_lost) {
        cursor_image_lost = false;
        hand_cursor_to_evdi(screen_id, watched.handle);
    }
    // A grabbed frame is sent at once; any other event (a cursor change, a
    // DPMS event, a grab that failed and left no update request armed) is
    // seen to by the render loop's next tick.
    if (grab_answered_update(screen_id))
        wake_render_thread(screen_id);
    else if (thread_context_t *cxt = screen_context(screen_id); cxt != nullptr)
        cxt->render_wake.tick();
}

}  // namespace

void *evt_handle_thread(void *param) {
    const int screen_id = screen_of(param);
    if (screen_id < 0) return nullptr;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    for (;;) {
        const watched_handle watched = watch_handle(screen_id);
        if (wait_for_event(screen_id, watched.fd)) dispatch_event(screen_id, watched);
    }
    return nullptr;
}

// Runs under the screen's lock and never talks to the device: the
// resolution goes to the device's request thread, and the screen streams
// once the device has accepted it (screen_request). Grabs resume at once.
void on_mode_change(evdi_mode mode, void *user_data) {
    const int screen = screen_of(user_data);
    thread_context_t *cxt = screen_context(screen);
    if (cxt == nullptr) return;
    screen_state_t &st = screen_state[screen];
    // Workers stop at their next block; the buffers change once the frame
    // they coded is off the frame lock.
    buffersRegistered[screen].store(false);
    std::lock_guard<std::mutex> coding(st.frame_lock);
    std::printf("Screen#%d Mode change: %dx%d@%dHz %dbbp fmt: %d\n", screen, mode.width,
                mode.height, mode.refresh_rate, mode.bits_per_pixel,
                static_cast<int>(mode.pixel_format));
    evdi_handle handle = evdihndl[screen].load();
    const bool replaces_buffers = buffers[screen][0].buffer != nullptr;
    release_frame_buffers(screen, handle, nullptr);
    // Until a mode is in use the device has no resolution to come back to
    // after DPMS on.
    cxt->mode = evdi_mode{};
    if (!mode_supported(mode)) {
        std::printf("Screen#%d, mode %dx%d %dbpp not supported, no capture\n", screen, mode.width,
                    mode.height, mode.bits_per_pixel);
        drain_grabs(screen, handle);
        return;
    }
    const int stride = mode.bits_per_pixel / 8 * mode.width;
    const size_t bytes = static_cast<size_t>(stride) * mode.height;
    // Zeroed, so both buffers agree before the first grab fills them.
    for (auto &memory : st.frame_memory)
        memory.reset(static_cast<uint8_t *>(std::calloc(bytes, 1)));
    if (!st.frame_memory[0] || !st.frame_memory[1] ||
        !resize_capture(cxt, mode.width, mode.height)) {
        std::printf("Screen#%d, not enough memory for %dx%d, no capture\n", screen, mode.width,
                    mode.height);
        st.frame_memory[0].reset();
        st.frame_memory[1].reset();
        drain_grabs(screen, handle);
        return;
    }
    for (int id = 0; id < 2; ++id) {
        evdi_buffer &b = buffers[screen][id];
        b = evdi_buffer{};
        b.id = id;
        b.buffer = st.frame_memory[id].get();
        b.width = mode.width;
        b.height = mode.height;
        b.stride = stride;
        std::printf("Screen#%d, Creating buffer id:%d size %dx%d stride %d\n", screen, id,
                    mode.width, mode.height, stride);
        evdi_register_buffer(handle, b);
    }
    cxt->mode = mode;
    // The desktop's mode set reaches this thread after EVDI has made it: a
    // grab in between (a request the module answered at once on the render
    // thread, or an update_ready read just before) took the mode set's
    // damage of the whole screen into the old buffers, now gone. A grab that
    // did not fit them failed and asked for a repaint already; one that fit
    // (the same size, or a smaller mode) failed nothing, and the new buffers
    // would get only later damage. A mode change is rare: the desktop
    // repaints after each one that replaced buffers.
    if (replaces_buffers) ask_desktop_repaint();
    st.resolution_tag = next_resolution_tag.fetch_add(1);
    st.resolution_pending = true;
    st.grabbing.store(true);
    request_resolution(*cxt, static_cast<uint16_t>(mode.width), static_cast<uint16_t>(mode.height),
                       resolution_reason::mode_change, st.resolution_tag);
    wake_render_thread(screen);
}

void on_dpms_notification(int dpms_mode, void *user_data) {
    const int screen = screen_of(user_data);
    thread_context_t *cxt = screen_context(screen);
    if (cxt == nullptr) return;
    if (device_attached_state.load() != 0 || !cxt->keep_going.load()) return;
    std::printf("Screen#%d, DPMS event: %d\n", screen, dpms_mode);
    if (dpms_mode != 0) {
        cxt->display_off.store(1);
        return;
    }
    cxt->display_off.store(0);
    if (cxt->mode.width == 0 || cxt->mode.height == 0) return;
    // Frames sent while the display was off were discarded by the device:
    // once it has its resolution back, the screen is sent again.
    screen_state_t &st = screen_state[screen];
    request_resolution(*cxt, static_cast<uint16_t>(cxt->mode.width),
                       static_cast<uint16_t>(cxt->mode.height), resolution_reason::dpms_on, 0,
                       st.display_switched_off);
}

// The armed update request is answered: the event thread grabs once libevdi
// has handled the events it read (dispatch_event), which completes the
// desktop's commit that waits for that grab.
void on_update_ready(int /*buffer_to_be_updated*/, void *user_data) {
    const int screen = screen_of(user_data);
    if (screen >= 0) screen_state[screen].update_ready.store(true);
}

bool take_request_failure() {
    const bool failed = request_failed;
    request_failed = false;
    return failed;
}

quiet_libevdi::quiet_libevdi(bool quiet) : was_(quiet_thread) {
    quiet_thread = was_ || quiet;
}

quiet_libevdi::~quiet_libevdi() {
    quiet_thread = was_;
}

void on_crtc_state_change(int state, void * /*user_data*/) {
    std::printf("CRTC state change: %d\n", state);
}

// Printed only when the cursor is switched on or off: a new image comes with
// every change of the pointer's shape.
void on_cursor_set(evdi_cursor_set cursor_set, void *user_data) {
    const int screen = screen_of(user_data);
    if (screen >= 0) {
        screen_state_t &st = screen_state[screen];
        const bool switched = st.cursor.set(cursor_set);
        st.cursor_changed = true;
        if (switched)
            std::printf("Cursor %s: Hot[X,Y]=%d, %d\n", cursor_set.enabled != 0 ? "ON" : "OFF",
                        cursor_set.hot_x, cursor_set.hot_y);
    }
    // libevdi hands over a malloc'd copy of the cursor image.
    std::free(cursor_set.buffer);
}

// Nothing is printed: the pointer moves every frame while the mouse does.
void on_cursor_move(evdi_cursor_move cursor_move, void *user_data) {
    const int screen = screen_of(user_data);
    if (screen < 0) return;
    screen_state_t &st = screen_state[screen];
    st.cursor.move(cursor_move.x, cursor_move.y);
    // The frame goes out at the next tick, with any later moves.
    st.cursor_changed = true;
}
