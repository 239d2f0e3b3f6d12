#include "render.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "capture.h"
#include "device_requests.h"
#include "edid.h"
#include "registry.h"
#include "screen.h"
#include "state.h"
#include "transfer.h"
#include "usb_scrn.h"

namespace {

constexpr useconds_t FRAME_SLEEP_US = 16666;
// Longer than the bulk time-out: what is in flight has ended by then.
constexpr auto FINAL_DRAIN_LIMIT = std::chrono::milliseconds(1500);

bool stopping(const thread_context_t &cxt) {
    return cxt.stop_requested.load();
}

// Feature class, orientation or mirror state, and the EDID. A stop that
// comes meanwhile cuts the probing short (the device is usually gone then).
// Returns the EDID length for the screen.
uint16_t probe(thread_context_t &cxt, uint8_t (&edid_buf)[EDID_MAX_BYTES]) {
    GetMonitorFeature(cxt.usb_handle, &cxt.monitor_type);
    if (cxt.monitor_type == MONITOR_TYPE_VMIRROR_DISABLE && !stopping(cxt)) {
        uint8_t orient = cxt.rotate_state.load();
        GetMonitorOrient(cxt.usb_handle, &orient);
        cxt.rotate_state.store(orient);
    } else if (cxt.monitor_type == MONITOR_TYPE_HMIRROR && !stopping(cxt)) {
        GetMonitorMirror(cxt.usb_handle, &cxt.mirror_state);
    }
    return fetch_edid(cxt.usb_handle, edid_buf, cxt.stop_requested);
}

}  // namespace

void display_off_step(int screen_id, thread_context_t &cxt) {
    if (cxt.display_off.load() <= 0) return;  // no countdown: nothing to decide
    // The DPMS handler runs under the screen's lock: with the count's last
    // step and the queuing of the 0 x 0 request under it too, a DPMS on comes either before
    // the step (which then does nothing) or after the request (and restores
    // the resolution), never between them.
    screen_state_t &st = screen_state[screen_id];
    std::lock_guard<std::mutex> hold(st.lock);
    if (cxt.display_off.load() + 1 >= DISPLAY_OFF_COUNT && !output_drained(&cxt)) {
        // Bulk data and the 0 x 0 request take different pipes: a stream
        // still on its way would reach a display already off. Nothing new
        // is sent meanwhile, and the count ends once the last has completed;
        // a DPMS on then restores the display and sends the screen whole.
        st.display_switched_off = true;
        return;
    }
    if (!display_off_tick(cxt.display_off)) return;
    // Queued under the lock, so a DPMS on's resolution is queued after it.
    request_resolution(cxt, 0, 0, resolution_reason::display_off);
    st.display_switched_off = true;
}

bool display_off_tick(std::atomic<int32_t> &display_off) {
    int32_t count = display_off.load();
    if (count <= 0) return false;
    const int32_t next = count + 1 >= DISPLAY_OFF_COUNT ? -1 : count + 1;
    // A DPMS event stored since the load wins: the step is simply skipped.
    return display_off.compare_exchange_strong(count, next) && next == -1;
}

void *render_thread(void *param) {
    thread_context_t &cxt = *static_cast<thread_context_t *>(param);
    const int32_t screen_id = entry_of_slot(cxt.id);
    if (screen_id < 0) return nullptr;

    uint8_t edid_buf[EDID_MAX_BYTES];
    const uint16_t edid_size = probe(cxt, edid_buf);

    if (stopping(cxt)) {
        // Stopped before the screen existed: give the entry back as screen
        // destruction would, and switch the display off.
        device_info[screen_id].index.store(-1);
        SetResolution(cxt.usb_handle, 0, 0);
        return nullptr;
    }
    // From here on no control request of this device is made on this thread
    // (or on the screen's event thread) while the screen exists.
    start_device_requests(cxt, screen_id);
    create_screen(screen_id, edid_buf, edid_size);

    cxt.display_off.store(-1);
    cxt.usb_error.store(0);
    cxt.keep_going.store(true);
    // A stop stored before this point is still seen by the loop test.
    if (!stopping(cxt)) printf("Screen#%d is running\n", screen_id);

    // A tick each frame period while a tick has work; with none, the loop
    // sleeps until news (render_wake.h). News for a tick is seen to as soon
    // as a period has passed since the last tick, so ticks (and the update
    // requests they make) never come faster than the frame period; news given
    // since the last tick began always gets a tick (the sleep returns at once
    // for it).
    const auto period = std::chrono::microseconds(FRAME_SLEEP_US);
    std::chrono::steady_clock::time_point last_tick{};
    bool tick_now = false;
    while (cxt.keep_going.load() && !stopping(cxt)) {
        // A frame the event thread grabbed meanwhile (or the buffers of a new
        // mode) is seen to at once; once it is sent with nothing left for a
        // tick, the period's tick would find nothing to do.
        const auto tick_at =
            tick_now ? last_tick + period : std::chrono::steady_clock::now() + period;
        bool idle = false;
        while (!idle && cxt.render_wake.wait_frame(tick_at)) {
            screen_request(screen_id);
            idle = !tick_has_work(screen_id);
        }
        if (idle) {
            tick_now = cxt.render_wake.sleep();
            continue;
        }
        last_tick = std::chrono::steady_clock::now();
        cxt.render_wake.begin_tick();
        screen_request(screen_id);
        display_off_step(screen_id, cxt);
        tick_now = !tick_has_work(screen_id) && cxt.render_wake.sleep();
    }
    // A stop that came before the loop was entered may have been followed by
    // the "running" store; leave the flag as the stopper meant it.
    cxt.keep_going.store(false);

    stop_device_requests(cxt);
    // Bulk data and the 0 x 0 request take different pipes: the streams on
    // their way reach the device before its display goes off. They complete
    // or time out within the 500 ms bulk time-out.
    drain_output(&cxt, FINAL_DRAIN_LIMIT);
    destroy_screen(screen_id);
    SetResolution(cxt.usb_handle, 0, 0);
    return nullptr;
}
