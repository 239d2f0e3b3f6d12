#include "setup.h"

#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "registry.h"
#include "render.h"
#include "rotation.h"
#include "screen.h"
#include "state.h"
#include "usb_scrn.h"

namespace {

constexpr long long freq_nanosecs = 3000000000LL;
constexpr int QT_BLOB_LEN = 138;
constexpr useconds_t STEP_US = 100000;

// The timer's signal handler posts; timer_work waits.
sem_t timer_sem;
std::atomic<bool> timer_abort{false};
thread_cell timer_worker;
thread_cell setup_thread;
// Guards timer_id and timer_armed between the arming thread and the timer
// work: the kernel's signal delivery orders them, but not in a way every tool
// can see.
std::mutex timer_mutex;
// A timer exists: glibc numbers a process's timers from 0, so the first
// timer_id is 0 and cannot tell "no timer" by itself.
bool timer_armed = false;

// Devices whose render thread set-up started, in start order (set-up
// thread only).
started_screen_t started[MAX_DEVICES];
int started_count = 0;

// Serialises "slot still wanted? then start its thread" in the set-up thread
// against tear-down marking the slot gone: either tear-down sees the thread
// and joins it, or set-up sees the mark and starts nothing.
std::mutex start_mutex;

// The daemon is ending: interrupted, failing, or a device arrived (the main
// loop turns an arrival into quenfa at its next pass). Set-up then opens and
// starts nothing more.
bool ending() {
    return quenfa.load() || (device_attached_state.load() & 1) != 0;
}

// Sleeps about `seconds`, returning early once the daemon is ending.
void sleep_unless_ending(int seconds) {
    for (int i = 0; i < seconds * 10 && !ending(); ++i) usleep(STEP_US);
}

void timer_handler(int, siginfo_t *, void *) {
    const int saved = errno;
    sem_post(&timer_sem);
    errno = saved;
}

void delete_timer() {
    std::lock_guard<std::mutex> guard(timer_mutex);
    if (timer_armed) {
        timer_delete(timer_id);
        timer_armed = false;
    }
    timer_id = nullptr;
}

void prepare_slot(int slot) {
    prepare_encoder(&g_context[slot], slot);
    // The screen's grabs tell what changed, and the cursor is drawn here.
    g_context[slot].damage.limit_scan = !full_scan_requested();
    g_context[slot].draw_cursor = !full_scan_requested();
}

void *timer_work(void *) {
    while (sem_wait(&timer_sem) != 0 && errno == EINTR) {
    }
    delete_timer();
    if (timer_abort.load()) return nullptr;
    for (int slot = 0; slot < MAX_DEVICES; ++slot)
        if (usb_dev_array[slot].load() != nullptr) prepare_slot(slot);
    setup_thread.start(create_render_thread, nullptr);
    timer_created.store(false);
    return nullptr;
}

// A device that has no id yet gets a fresh one, stored in the device.
void open_and_identify(int slot) {
    thread_context_t &cxt = g_context[slot];
    libusb_device_handle *handle = nullptr;
    const int rc = libusb_open(cxt.usb_dev, &handle);
    if (rc != 0 || handle == nullptr) {
        printf("libusb_open() failed: %s\n", libusb_error_name(rc));
        return;
    }
    // usbfs would claim the interface at the first bulk transfer, with a
    // warning in the kernel log, and fail every transfer while a kernel
    // driver or another program holds it: claim it now, detaching a bound
    // kernel driver as libusb can.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    const int claim = libusb_claim_interface(handle, 0);
    if (claim != 0) {
        printf(
            "libusb_claim_interface() failed: %s: interface 0 is held by another driver or "
            "program, the device is not served\n",
            libusb_error_name(claim));
        libusb_close(handle);
        return;
    }
    cxt.usb_handle = handle;
    uint64_t device_id = NO_DEVICE_ID;
    int32_t screen_id = -1;
    if (GetDeviceId(handle, &device_id)) {
        if (device_id == NO_DEVICE_ID) {
            device_id = draw_new_device_id();
            SetDeviceId(handle, device_id);
        }
        set_previous_device_id(slot, device_id, &screen_id);
    } else {
        screen_id = claim_free_entry(slot);
    }
    printf(">>> index: %d, position: %d, devID: 0x%08lx\n", cxt.id, screen_id,
           static_cast<unsigned long>(device_id));
}

// Closes the handle of a device that left before it got its threads, and
// gives its registry entry back.
void drop_departed(int slot, int entry) {
    device_info[entry].index.store(-1);
    thread_context_t &cxt = g_context[slot];
    if (cxt.usb_handle != nullptr) {
        libusb_close(cxt.usb_handle);
        cxt.usb_handle = nullptr;
    }
}

// The rotating model's follower starts once its screen exists (keep_going).
void start_rotation_follower(int slot) {
    thread_context_t &cxt = g_context[slot];
    while (!cxt.keep_going.load() && !cxt.stop_requested.load() && !slot_departed[slot].load() &&
           !ending())
        usleep(STEP_US);
    std::lock_guard<std::mutex> guard(start_mutex);
    if (!cxt.keep_going.load() || cxt.stop_requested.load() || slot_departed[slot].load()) return;
    const int rc = g_rot_threads[slot].start(rotate_thread, &cxt);
    if (rc != 0) printf("Create rotate thread failed, error: %s\n", strerror(rc));
}

// Starts the device whose registry entry has position `order`, if any.
void start_position(int order) {
    for (int entry = 0; entry < MAX_DEVICES; ++entry) {
        const int32_t slot = device_info[entry].index.load();
        if (slot == -1 || device_info[entry].position != order) continue;
        thread_context_t &cxt = g_context[slot];
        if (!slot_departed[slot].load() && !send_quant_table(cxt))
            printf("Screen#%d, quantisation table not taken after %d tries\n", order,
                   QUANT_TABLE_TRIES);
        {
            std::lock_guard<std::mutex> guard(start_mutex);
            if (slot_departed[slot].load()) {
                drop_departed(slot, entry);
                return;
            }
            const int rc = g_threads[slot].start(render_thread, &cxt);
            if (rc != 0) {
                printf("Create thread failed, error: %s\n", strerror(rc));
                return;
            }
        }
        if (started_count < MAX_DEVICES) started[started_count++] = {slot, entry};
        if (cxt.usb_pid == static_cast<uint32_t>(PRODUCT_ID[4])) start_rotation_follower(slot);
        return;
    }
}

}  // namespace

void create_thread() {
    if (timer_created.exchange(true)) return;

    struct sigaction sa = {};
    sa.sa_flags = SA_SIGINFO;
    sa.sa_sigaction = timer_handler;
    sigemptyset(&sa.sa_mask);
    sem_init(&timer_sem, 0, 0);
    if (sigaction(SIGRTMIN, &sa, nullptr) == -1) {
        puts("sigaction failed");
        return;
    }
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGRTMIN);
    if (pthread_sigmask(SIG_SETMASK, &mask, nullptr) != 0) {
        puts("sigprocmask failed");
        return;
    }
    // Started with SIGRTMIN blocked, like every thread started from here on;
    // the signal is taken by the main thread once it unblocks it below.
    if (timer_worker.start(timer_work, nullptr) != 0) {
        puts("timer_create failed");
        return;
    }
    struct sigevent sev = {};
    sev.sigev_notify = SIGEV_SIGNAL;
    sev.sigev_signo = SIGRTMIN;
    sev.sigev_value.sival_ptr = &timer_id;
    {
        std::lock_guard<std::mutex> guard(timer_mutex);
        if (timer_create(CLOCK_REALTIME, &sev, &timer_id) == -1) {
            timer_id = nullptr;
            puts("timer_create failed");
            return;
        }
        timer_armed = true;
        printf("timer ID is %#jx\n", static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(timer_id)));
        struct itimerspec its = {};
        its.it_value.tv_sec = freq_nanosecs / 1000000000;
        its.it_value.tv_nsec = freq_nanosecs % 1000000000;
        its.it_interval = its.it_value;
        if (timer_settime(timer_id, 0, &its, nullptr) == -1) {
            puts("timer_settime failed");
            return;
        }
    }
    if (pthread_sigmask(SIG_UNBLOCK, &mask, nullptr) != 0) puts("sigprocmask failed");
}

void finish_startup() {
    if (timer_worker.running()) {
        timer_abort.store(true);
        sem_post(&timer_sem);
        timer_worker.join();
    }
    setup_thread.join();
}

void *create_render_thread(void *) {
    const uint8_t state = device_attached_state.fetch_and(static_cast<uint8_t>(~1u)) & ~1u;
    printf("******************************* attached state: %d\n", state);

    for (int slot = 0; slot < MAX_DEVICES && !ending(); ++slot) {
        // A device that left before it was opened stays in its slot; it is
        // not opened. A device that arrived since start-up has a slot but no
        // record (usb_dev): it belongs to the next start of the daemon.
        if (usb_dev_array[slot].load() == nullptr || slot_departed[slot].load() ||
            g_context[slot].usb_dev == nullptr)
            continue;
        open_and_identify(slot);
    }

    for (int order = 0; order < MAX_DEVICES && !ending(); ++order) {
        start_position(order);
        sleep_unless_ending(1);
    }
    // X lists the outputs in the order their screens came up.
    if (!ending()) name_started_outputs(started, started_count);

    const uint8_t masked = device_attached_state.fetch_and(1) & 1;
    printf(">>> %s: My job finished, see you later --- %d\n", "create_render_thread", masked);
    return nullptr;
}

bool send_quant_table(thread_context_t &cxt) {
    // Without its table the device cannot decode a single block, so a
    // request lost on the way is sent again.
    for (int i = 0; i < QUANT_TABLE_TRIES; ++i)
        if (SetQuantTable(cxt.usb_handle, cxt.qt_table, QT_BLOB_LEN, 1)) return true;
    return false;
}

void stop_device_threads() {
    // Render threads are indexed by slot and event threads by screen id: a
    // render thread still creating its screen starts that screen's event
    // thread, so every render thread has ended before any event thread is
    // cancelled.
    for (int i = 0; i < MAX_DEVICES; ++i) {
        if (!g_threads[i].running()) continue;
        request_stop(g_context[i]);
        g_threads[i].join();
    }
    for (thread_cell &events : eevt_threads) events.cancel_and_join();
    // The followers stop within a poll step once keep_going is false.
    for (int i = 0; i < MAX_DEVICES; ++i) {
        request_stop(g_context[i]);
        g_rot_threads[i].join();
    }
}

void destroy_thread(int index, int screen_id, bool close_device) {
    {
        std::lock_guard<std::mutex> guard(start_mutex);
        slot_departed[index].store(true);  // a torn-down slot is not started again
    }
    if (!g_threads[index].running()) return;
    thread_context_t &cxt = g_context[index];
    request_stop(cxt);
    g_threads[index].join();
    if (cxt.usb_pid == static_cast<uint32_t>(PRODUCT_ID[4])) g_rot_threads[index].join();
    if (screen_id >= 0 && screen_id < MAX_DEVICES) eevt_threads[screen_id].cancel_and_join();
    if (close_device && cxt.usb_handle != nullptr) {
        libusb_clear_halt(cxt.usb_handle, USB_SCRN_BULK_EP);
        libusb_close(cxt.usb_handle);
        cxt.usb_handle = nullptr;
    }
}
