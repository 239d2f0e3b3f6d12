#include "device_requests.h"

#include <chrono>
#include <cstdio>

#include "screen.h"
#include "transfer.h"
#include "usb_scrn.h"

device_requests_t device_requests[MAX_DEVICES];

namespace {

// The orientation or mirror state is read once per frame period, as often
// as the frames that follow it are made.
constexpr auto FOLLOW_PERIOD = std::chrono::microseconds(16666);

// Bulk data and control requests take different pipes: a frame of the old
// mode still on its way would reach a device already at the new resolution
// and be refused there. Streaming stops at the mode change; what was queued
// before completes (or times out) within the 500 ms bulk time-out.
constexpr auto OLD_FRAMES_WAIT = std::chrono::milliseconds(1000);
constexpr auto OLD_FRAMES_POLL = std::chrono::milliseconds(2);

void wait_for_old_frames(const thread_context_t &cxt, device_requests_t &req) {
    const auto deadline = std::chrono::steady_clock::now() + OLD_FRAMES_WAIT;
    // The output's lock is taken without the request lock held.
    while (!output_idle(cxt.id) && std::chrono::steady_clock::now() < deadline) {
        std::unique_lock<std::mutex> hold(req.lock);
        if (req.wake.wait_for(hold, OLD_FRAMES_POLL, [&] { return req.stop; })) return;
    }
}

bool follows_device(const thread_context_t &cxt) {
    return cxt.monitor_type == MONITOR_TYPE_VMIRROR || cxt.monitor_type == MONITOR_TYPE_HMIRROR;
}

void send_resolution(thread_context_t &cxt, device_requests_t &req, uint16_t width, uint16_t height,
                     resolution_reason reason, int screen_id, bool for_mode, uint32_t tag,
                     bool resend) {
    if (reason == resolution_reason::mode_change) wait_for_old_frames(cxt, req);
    const bool ok = SetResolution(cxt.usb_handle, width, height);
    if (ok && resend && screen_id >= 0) {
        // The display is on again: frames go out from here on, the first
        // with the whole screen.
        screen_state_t &st = screen_state[screen_id];
        std::lock_guard<std::mutex> hold(st.lock);
        st.display_switched_off = false;
        st.refresh.store(true);
    }
    if (for_mode) {
        if (!ok) std::printf("Screen#%d, Set Resolution Failed!\n", screen_id);
        req.mode_resolution_done.store(static_cast<uint64_t>(tag) << 1 | (ok ? 1u : 0u));
    } else if (reason == resolution_reason::dpms_on && !ok) {
        std::printf(">>> Screen#%d, set resolution failed\n", screen_id);
    }
    // The answer (streaming starts) or the screen sent whole again is the
    // render loop's to see to.
    cxt.render_wake.tick();
}

void follow_device(thread_context_t &cxt, device_requests_t &req) {
    if (cxt.monitor_type == MONITOR_TYPE_VMIRROR) {
        uint8_t orient = cxt.rotate_state.load();
        if (GetMonitorOrient(cxt.usb_handle, &orient)) cxt.rotate_state.store(orient);
    } else {
        uint8_t mirror = req.mirror.load();
        if (GetMonitorMirror(cxt.usb_handle, &mirror)) req.mirror.store(mirror);
    }
}

void request_loop(thread_context_t &cxt, device_requests_t &req) {
    const bool follow = follows_device(cxt);
    std::unique_lock<std::mutex> hold(req.lock);
    while (!req.stop) {
        if (req.resolution_wanted) {
            req.resolution_wanted = false;
            const uint16_t w = req.width, h = req.height;
            const resolution_reason reason = req.reason;
            const int screen_id = req.screen_id;
            const bool for_mode = req.mode_tag_wanted;
            const uint32_t tag = req.mode_tag;
            const bool resend = req.resend_wanted;
            req.mode_tag_wanted = false;
            req.resend_wanted = false;
            hold.unlock();
            send_resolution(cxt, req, w, h, reason, screen_id, for_mode, tag, resend);
            hold.lock();
            continue;
        }
        if (!follow) {
            req.wake.wait(hold, [&] { return req.stop || req.resolution_wanted; });
            continue;
        }
        hold.unlock();
        follow_device(cxt, req);
        hold.lock();
        req.wake.wait_for(hold, FOLLOW_PERIOD, [&] { return req.stop || req.resolution_wanted; });
    }
}

}  // namespace

void start_device_requests(thread_context_t &cxt, int screen_id) {
    device_requests_t &req = device_requests[cxt.id];
    {
        std::lock_guard<std::mutex> hold(req.lock);
        req.stop = false;
        req.resolution_wanted = false;
        req.mode_tag_wanted = false;
        req.resend_wanted = false;
        req.screen_id = screen_id;
    }
    req.mirror.store(cxt.mirror_state);
    req.thread = std::thread(request_loop, std::ref(cxt), std::ref(req));
}

void stop_device_requests(thread_context_t &cxt) {
    device_requests_t &req = device_requests[cxt.id];
    {
        std::lock_guard<std::mutex> hold(req.lock);
        req.stop = true;
    }
    req.wake.notify_one();
    if (req.thread.joinable()) req.thread.join();
}

void request_resolution(thread_context_t &cxt, uint16_t width, uint16_t height,
                        resolution_reason reason, uint32_t tag, bool resend) {
    device_requests_t &req = device_requests[cxt.id];
    {
        std::lock_guard<std::mutex> hold(req.lock);
        req.resolution_wanted = true;
        req.width = width;
        req.height = height;
        req.reason = reason;
        // A resend not done yet stays wanted when this request replaces its own.
        req.resend_wanted = req.resend_wanted || resend;
        if (reason == resolution_reason::mode_change) {
            req.mode_tag_wanted = true;
            req.mode_tag = tag;
        }
    }
    req.wake.notify_one();
}

bool mode_resolution_answered(const thread_context_t &cxt, uint32_t tag, bool *accepted) {
    const uint64_t done = device_requests[cxt.id].mode_resolution_done.load();
    if (done >> 1 != tag) return false;
    *accepted = (done & 1u) != 0;
    return true;
}
