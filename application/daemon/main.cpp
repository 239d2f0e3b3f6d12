// torvel-displayd: drives up to four USB display devices, each showing one
// virtual screen of the desktop.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "build_info.h"
#include "capture.h"
#include "encoder_worker.h"
#include "hotplug.h"
#include "registry.h"
#include "rotation.h"
#include "setup.h"
#include "state.h"

namespace {

constexpr useconds_t LOOP_SLEEP_US = 100000;
// One round of USB event handling. libusb_handle_events would block for up
// to a minute when nothing happens; a short bound keeps SIGINT prompt.
constexpr timeval EVENT_WAIT = {0, 100000};
constexpr int32_t ERROR_THRESHOLD = 2;
// Rounds of event handling that do not wait, after the one that does, and
// the descriptors looked at between them (libusb's own, then one a device).
constexpr int DRAIN_ROUNDS = 64;
constexpr nfds_t DRAIN_FDS = 16;
// An unplugged device fails its transfers in flight a moment before libusb
// reports its departure; such failures must not end the daemon. A device
// ends it only when it is still failing, and still present, this long after
// its count first went over the threshold.
constexpr auto ERROR_GRACE = std::chrono::milliseconds(500);
// Transfers end within their 500 ms time-out; shutdown waits a little longer
// for their completions before it closes the devices.
constexpr auto DRAIN_LIMIT = std::chrono::milliseconds(1500);

void sigint_handler(int) {
    quenfa.store(true);
}

// True when one of libusb's descriptors has something for it now.
bool usb_events_pending() {
    const libusb_pollfd **fds = libusb_get_pollfds(nullptr);
    if (fds == nullptr) return false;
    pollfd ready[DRAIN_FDS];
    nfds_t n = 0;
    for (; fds[n] != nullptr && n < DRAIN_FDS; ++n)
        ready[n] = pollfd{fds[n]->fd, fds[n]->events, 0};
    libusb_free_pollfds(fds);
    return poll(ready, n, 0) > 0;
}

void handle_usb_events() {
    timeval tv = EVENT_WAIT;
    int rc = libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
    // One round reaps at most 26 URBs of a device, and a host without
    // scatter-gather has libusb split a frame into 16 KiB URBs: go on while
    // completions wait, so slots and usbfs memory come free as they end.
    for (int round = 0; rc >= 0 && round < DRAIN_ROUNDS && usb_events_pending(); ++round) {
        timeval zero = {0, 0};
        rc = libusb_handle_events_timeout_completed(nullptr, &zero, nullptr);
    }
    // A signal (SIGINT, the start-up timer) interrupting the wait is no error.
    if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED)
        printf("libusb_handle_events() failed: %s\n", libusb_error_name(rc));
}

bool transfers_in_flight() {
    for (auto &device : xfer_info)
        for (auto &slot : device)
            if (slot.occupied.load()) return true;
    return false;
}

void shutdown() {
    finish_startup();
    stop_device_threads();
    // Let the last transfers complete (or time out) so that their callbacks
    // have run before the devices are closed.
    const auto deadline = std::chrono::steady_clock::now() + DRAIN_LIMIT;
    while (transfers_in_flight() && std::chrono::steady_clock::now() < deadline)
        handle_usb_events();
    if (!transfers_in_flight()) {
        for (thread_context_t &cxt : g_context) {
            if (cxt.usb_handle == nullptr) continue;
            libusb_close(cxt.usb_handle);
            cxt.usb_handle = nullptr;
        }
    }
    release_devices();
    libusb_exit(nullptr);
    puts("Quenfa...");
}

}  // namespace

int main(int, char **) {
    // Progress lines must reach a pipe or log file as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("\ntag: %s\ncommit sha: %s\nbuild time: %s\n", TORVEL_BUILD_TAG, TORVEL_BUILD_COMMIT,
           TORVEL_BUILD_TIME);
    puts("Hello libusb + evdi screen");
    signal(SIGINT, sigint_handler);
    note_wayland_session();
    registry_reset();
    create_rgb2ycc_table();

    const int found = find_usb_devices();
    if (found == -1) return -1;
    get_previous_device_id();
    if (found > 0)
        create_thread();
    else
        puts("Device not found");

    // When each slot's failure count was first seen over the threshold.
    std::chrono::steady_clock::time_point failing_since[MAX_DEVICES];
    bool failing[MAX_DEVICES] = {};
    while (!quenfa.load()) {
        usleep(LOOP_SLEEP_US);
        handle_usb_events();
        run_pending_departures();
        const uint8_t attached = device_attached_state.load();
        if (attached & 1) quenfa.store(true);
        if (attached != 0) continue;
        bool restart = false;
        const auto now = std::chrono::steady_clock::now();
        for (int i = 0; i < MAX_DEVICES; ++i) {
            const bool over = g_threads[i].running() && !slot_departed[i].load() &&
                              g_context[i].usb_error.load() > ERROR_THRESHOLD;
            if (over && !failing[i]) failing_since[i] = now;
            failing[i] = over;
            if (over && now - failing_since[i] >= ERROR_GRACE) {
                restart = true;
                break;
            }
        }
        if (restart) quenfa.store(true);
    }

    shutdown();
    return 0;
}
