// The usbfs clock. The program's usbfs ioctls pass this interposer on their
// way to umockdev's preload, whose emulation of each is a conversation of
// several messages over a socket with the device model in the harness (the
// request, a round trip for every piece of memory it reads, the writes
// back, the result), where a real usbfs ioctl is one system call. The thread
// CPU time they take is summed here, so that the harness can tell how much
// of the program's CPU time the emulated usbfs cost.
#include <time.h>

#include <atomic>
#include <cerrno>

#include "emu_internal.h"

namespace evdiemu::internal {

namespace {

std::atomic<int64_t> clock_ns{0};
std::atomic<uint64_t> clock_calls{0};

int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int timed_usbfs_ioctl(ioctl_fn next, int fd, unsigned long request, void *arg) {
    const int64_t start = thread_cpu_ns();
    const int rc = next(fd, request, arg);
    const int saved = errno;
    clock_ns.fetch_add(thread_cpu_ns() - start, std::memory_order_relaxed);
    clock_calls.fetch_add(1, std::memory_order_relaxed);
    errno = saved;
    return rc;
}

UsbfsClock usbfs_clock() {
    return UsbfsClock{clock_ns.load(std::memory_order_relaxed),
                      clock_calls.load(std::memory_order_relaxed)};
}

}  // namespace evdiemu::internal
