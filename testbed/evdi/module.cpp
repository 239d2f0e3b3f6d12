// The module's shared state, its copies to and from the client and its log.
#include "module.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "emu_internal.h"

namespace evdiemu::internal {

namespace {

std::atomic<bool> g_vm_refused{false};
int g_klog_fd = -1;

}  // namespace

Module::Module() {
    std::fill(std::begin(released), std::end(released), -1);
}

Module &mod() {
    alignas(Module) static unsigned char storage[sizeof(Module)];
    static Module *m = new (storage) Module();
    return *m;
}

Card *card_at(int index) {
    if (index < 0 || index >= mod().card_count || !mod().cards[index].exists) return nullptr;
    return &mod().cards[index];
}

bool take_fault(Op op) {
    Fault &f = mod().faults[static_cast<int>(op)];
    if (f.remaining <= 0) return false;
    --f.remaining;
    errno = f.err;
    return true;
}

// Falls back to memcpy when the system refuses the call (seccomp, ptrace
// restrictions).
int put_user_pieces(const iovec *local, const iovec *remote, int n, size_t total) {
    if (n == 0) return 0;
    if (!g_vm_refused.load(std::memory_order_relaxed)) {
        ssize_t r = process_vm_writev(getpid(), local, n, remote, n, 0);
        if (r >= 0) return static_cast<size_t>(r) == total ? 0 : -EFAULT;
        if (errno != ENOSYS && errno != EPERM) return -EFAULT;
        g_vm_refused.store(true, std::memory_order_relaxed);
    }
    for (int i = 0; i < n; ++i)
        std::memcpy(remote[i].iov_base, local[i].iov_base, local[i].iov_len);
    return 0;
}

int put_user(uint64_t dst, const void *src, size_t len) {
    if (len == 0) return 0;
    iovec l{const_cast<void *>(src), len};
    iovec r{reinterpret_cast<void *>(dst), len};
    return put_user_pieces(&l, &r, 1, len);
}

int get_user(void *dst, uint64_t src, size_t len) {
    if (len == 0) return 0;
    if (src == 0) return -EFAULT;
    iovec l{dst, len};
    iovec r{reinterpret_cast<void *>(src), len};
    if (!g_vm_refused.load(std::memory_order_relaxed)) {
        ssize_t n = process_vm_readv(getpid(), &l, 1, &r, 1, 0);
        if (n >= 0) return static_cast<size_t>(n) == len ? 0 : -EFAULT;
        if (errno != ENOSYS && errno != EPERM) return -EFAULT;
        g_vm_refused.store(true, std::memory_order_relaxed);
    }
    std::memcpy(dst, reinterpret_cast<const void *>(src), len);
    return 0;
}

// EVDI_PRINTK: the warnings and errors carry function and line, the
// informational lines do not.
void klog(char level, const char *function, int line, const char *fmt, ...) {
    if (g_klog_fd < 0) {
        const char *root = tree_root();
        if (!*root) return;
        char path[512];
        std::snprintf(path, sizeof(path), "%s/kernel.log", root);
        g_klog_fd = real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (g_klog_fd < 0) return;
    }
    char text[512];
    int n = level == 'I'
                ? std::snprintf(text, sizeof(text), "evdi: [I] ")
                : std::snprintf(text, sizeof(text), "evdi: [%c] %s:%d ", level, function, line);
    va_list ap;
    va_start(ap, fmt);
    n += std::vsnprintf(text + n, sizeof(text) - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    n = std::min(n, static_cast<int>(sizeof(text)) - 2);
    if (text[n - 1] != '\n') text[n++] = '\n';
    ssize_t w = ::write(g_klog_fd, text, static_cast<size_t>(n));
    (void)w;
}

}  // namespace evdiemu::internal
