#include "state.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

thread_context_t g_context[MAX_DEVICES];
std::atomic<libusb_device *> usb_dev_array[MAX_DEVICES];
device_info_t device_info[MAX_DEVICES];

thread_cell g_threads[MAX_DEVICES];
thread_cell g_rot_threads[MAX_DEVICES];
thread_cell eevt_threads[MAX_DEVICES];

std::atomic<evdi_handle> evdihndl[MAX_DEVICES];
evdi_event_context evtctx[MAX_DEVICES];
evdi_buffer buffers[MAX_DEVICES][2];
std::atomic<bool> buffersRegistered[MAX_DEVICES];
int32_t evdi_buf_id[MAX_DEVICES];

std::atomic<bool> quenfa{false};
std::atomic<uint8_t> device_attached_state{0};
timer_t timer_id;
std::atomic<bool> timer_created{false};
std::atomic<bool> slot_departed[MAX_DEVICES];

int thread_cell::start(entry_fn fn, void *arg) {
    if (held_.load(std::memory_order_acquire)) return EBUSY;
    const int rc = pthread_create(&tid_, nullptr, fn, arg);
    if (rc == 0) held_.store(true, std::memory_order_release);
    return rc;
}

void thread_cell::join() {
    if (!held_.load(std::memory_order_acquire)) return;
    pthread_join(tid_, nullptr);
    held_.store(false, std::memory_order_release);
}

void thread_cell::cancel_and_join() {
    if (!held_.load(std::memory_order_acquire)) return;
    pthread_cancel(tid_);
    pthread_join(tid_, nullptr);
    held_.store(false, std::memory_order_release);
}

void request_stop(thread_context_t &cxt) {
    cxt.stop_requested.store(true);
    cxt.keep_going.store(false);
    cxt.render_wake.tick();
}

void end_process_now(int status) {
    std::fflush(stdout);
    _exit(status);
}
