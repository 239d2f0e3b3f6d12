// Control requests of a device that must not hold up its screen's grabs:
// the resolution at a mode change, at DPMS on and at the display-off
// countdown, and the orientation or mirror state that frames follow. While
// damage is pending, EVDI holds the desktop's commits until the next grab,
// so neither the render thread (which grabs) nor the EVDI event thread
// (which hears that an update is ready) may wait for a device that is slow
// to answer. Each device gets a thread of its own that makes these requests
// one after another.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "state.h"

// Why a resolution is sent; decides the line printed when the device
// refuses it.
enum class resolution_reason { mode_change, dpms_on, display_off };

struct device_requests_t {
    // The simplest exclusion for the few fields the requesting threads and
    // the request thread share: one mutex, and a condition variable to wake
    // the request thread.
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    // The latest wanted resolution replaces one not sent yet; a mode
    // change's tag then waits for the answer to whatever is sent next.
    bool resolution_wanted = false;
    uint16_t width = 0, height = 0;
    resolution_reason reason = resolution_reason::mode_change;
    // The device discarded frames while its display was off: once it
    // accepts the resolution, the screen is sent again.
    bool resend_wanted = false;
    bool mode_tag_wanted = false;
    uint32_t mode_tag = 0;
    int screen_id = -1;
    // The outcome of the last resolution sent for a mode change: its tag
    // shifted left by one, ok in bit 0.
    std::atomic<uint64_t> mode_resolution_done{0};
    // The mirror state the device reported last (HMIRROR devices; the
    // orientation of VMIRROR devices goes straight to rotate_state).
    std::atomic<uint8_t> mirror{MIRROR_DISABLE};
    std::thread thread;
};

extern device_requests_t device_requests[MAX_DEVICES];

// Starts the slot's request thread (after the render thread's probing, when
// monitor_type is known) and stops it, waiting for the request in progress.
void start_device_requests(thread_context_t &cxt, int screen_id);
void stop_device_requests(thread_context_t &cxt);

// Sends width x height to the device from its request thread; `tag` names
// a mode change's request in mode_resolution_done; `resend` sends the whole
// screen again once the device has accepted it.
void request_resolution(thread_context_t &cxt, uint16_t width, uint16_t height,
                        resolution_reason reason, uint32_t tag = 0, bool resend = false);

// For a mode change's tag: true once the device answered, with *accepted.
bool mode_resolution_answered(const thread_context_t &cxt, uint32_t tag, bool *accepted);
