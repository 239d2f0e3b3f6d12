// libc overrides that put the emulated EVDI module under libevdi: the sysfs
// and device paths it uses are redirected into a private tree, open() of a
// card node returns one end of a SOCK_SEQPACKET pair (so read, poll and epoll
// behave natively), and ioctl/mmap/close on those descriptors reach the
// emulator. Every other call goes on to the next definition (dlsym
// RTLD_NEXT), so further preloads behind this one (umockdev) keep working.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "emu_internal.h"
#include "evdi_emu.h"

namespace {

using namespace evdiemu::internal;

template <class F>
F next_fn(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// One accessor per function passed through, so that resolve_next_functions
// fills the very pointer each interposer reads.
#define DEFINE_NEXT_AS(name, type)                   \
    type next_##name() {                             \
        static const auto fn = next_fn<type>(#name); \
        return fn;                                   \
    }
#define DEFINE_NEXT(name) DEFINE_NEXT_AS(name, decltype(&::name))
#define NEXT(name) next_##name()
DEFINE_NEXT(access)
DEFINE_NEXT(close)
DEFINE_NEXT(fopen)
DEFINE_NEXT(fopen64)
// ioctl_fn (emu_internal.h) is declared by hand: sys/ioctl.h declares ioctl
// noexcept, which decltype would carry into the pointer's type.
DEFINE_NEXT_AS(ioctl, ioctl_fn)
DEFINE_NEXT(lstat)
DEFINE_NEXT(lstat64)
DEFINE_NEXT(mmap)
DEFINE_NEXT(mmap64)
DEFINE_NEXT(open)
DEFINE_NEXT(open64)
DEFINE_NEXT(openat)
DEFINE_NEXT(opendir)
DEFINE_NEXT(readlink)
DEFINE_NEXT(stat)
DEFINE_NEXT(stat64)

constexpr std::string_view kPlatform = "/sys/bus/platform/devices";
constexpr std::string_view kEvdiClass = "/sys/devices/evdi";
constexpr std::string_view kCardPrefix = "/dev/dri/card";

bool starts_with_dir(std::string_view path, std::string_view dir, std::string_view *rest) {
    if (path.substr(0, dir.size()) != dir) return false;
    if (path.size() > dir.size() && path[dir.size()] != '/') return false;
    *rest = path.substr(dir.size());
    return true;
}

// Parses "/dev/dri/cardN" of an emulated number; returns N or -1.
int card_number_of(std::string_view path) {
    if (path.substr(0, kCardPrefix.size()) != kCardPrefix) return -1;
    std::string_view digits = path.substr(kCardPrefix.size());
    if (digits.empty() || digits.size() > 3) return -1;
    int n = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return -1;
        n = n * 10 + (ch - '0');
    }
    return n >= card_base() && n < card_base() + evdiemu::kMaxOutputs ? n : -1;
}

// Fills `out` with the path inside the private tree when `path` is one the
// emulation owns.
bool redirect(const char *path, char *out, size_t cap) {
    if (!path) return false;
    std::string_view p(path), rest;
    bool ours = false;
    if (starts_with_dir(p, kPlatform, &rest)) {
        // The listing itself, and the evdi entries in it.
        ours = rest.empty() || rest == "/" || rest.substr(0, 5) == "/evdi";
    } else if (starts_with_dir(p, kEvdiClass, &rest)) {
        ours = true;
    } else {
        ours = card_number_of(p) >= 0;
    }
    if (!ours) return false;
    const char *root = tree_root();
    if (!*root) return false;
    int n = std::snprintf(out, cap, "%s%s", root, path);
    return n > 0 && static_cast<size_t>(n) < cap;
}

// Every pass-through resolved here, on the only thread there is: a thread
// that calls one first would write its pointer without the others seeing it
// happen before, and ThreadSanitizer's symbolizer, which calls open and
// readlink while it holds its thread registry for a report, would then
// report that race from within the report and wait on itself for ever.
void resolve_next_functions() {
    (void)NEXT(access), (void)NEXT(close), (void)NEXT(fopen), (void)NEXT(fopen64);
    (void)NEXT(ioctl), (void)NEXT(lstat), (void)NEXT(lstat64), (void)NEXT(mmap);
    (void)NEXT(mmap64), (void)NEXT(open), (void)NEXT(open64), (void)NEXT(openat);
    (void)NEXT(opendir), (void)NEXT(readlink), (void)NEXT(stat), (void)NEXT(stat64);
}

__attribute__((constructor)) void emu_init() {
    resolve_next_functions();
    init_cards_from_environment();
    if (const char *ctl = std::getenv("TORVEL_EVDI_CONTROL")) {
        static char path[256];
        std::snprintf(path, sizeof(path), "%s", ctl);
        // Children (shells of popen, helpers) must not take the control socket.
        unsetenv("TORVEL_EVDI_CONTROL");
        if (*path) start_control_thread(path);
    }
}

__attribute__((destructor)) void emu_fini() {
    remove_tree_at_exit();
}

int open_impl(const char *path, int flags, mode_t mode, int (*next)(const char *, int, ...)) {
    char buf[512];
    if (redirect(path, buf, sizeof(buf))) {
        int number = card_number_of(path);
        if (number >= 0) {
            struct stat st;
            if (real_stat(buf, &st) != 0) return -1;
            int fd = emu_open(number, flags);
            if (fd < 0) {
                errno = -fd;
                return -1;
            }
            return fd;
        }
        return next(buf, flags, mode);
    }
    return next(path, flags, mode);
}

mode_t mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

// The sysfs "add" attribute: a card exists before the writer's fclose
// returns, as with the real attribute.
ssize_t add_write(void *, const char *buf, size_t size) {
    if (size == 0) return 0;
    int r = emu_add_cards(buf, size);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

FILE *fopen_impl(const char *path, const char *mode, FILE *(*next)(const char *, const char *)) {
    char buf[512];
    if (!redirect(path, buf, sizeof(buf))) return next(path, mode);
    std::string_view p(path);
    if (p == "/sys/devices/evdi/add" && mode && (mode[0] == 'w' || mode[0] == 'a')) {
        cookie_io_functions_t io{nullptr, add_write, nullptr, nullptr};
        return fopencookie(nullptr, mode, io);
    }
    return next(buf, mode);
}

}  // namespace

namespace evdiemu::internal {

int real_open(const char *path, int flags, mode_t mode) {
    return NEXT(open)(path, flags, mode);
}
int real_close(int fd) {
    return NEXT(close)(fd);
}
int real_stat(const char *path, struct stat *st) {
    return NEXT(stat)(path, st);
}

}  // namespace evdiemu::internal

extern "C" {

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_impl(path, flags, mode, NEXT(open));
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_impl(path, flags, mode, NEXT(open64));
}

int __open_2(const char *path, int flags) {
    return open_impl(path, flags, 0, NEXT(open));
}
int __open64_2(const char *path, int flags) {
    return open_impl(path, flags, 0, NEXT(open64));
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    char buf[512];
    if (path[0] == '/' && redirect(path, buf, sizeof(buf)))
        return open_impl(path, flags, mode, NEXT(open));
    return NEXT(openat)(dirfd, path, flags, mode);
}

FILE *fopen(const char *path, const char *mode) {
    return fopen_impl(path, mode, NEXT(fopen));
}
FILE *fopen64(const char *path, const char *mode) {
    return fopen_impl(path, mode, NEXT(fopen64));
}

DIR *opendir(const char *path) {
    char buf[512];
    return NEXT(opendir)(redirect(path, buf, sizeof(buf)) ? buf : path);
}

int stat(const char *path, struct stat *st) {
    char buf[512];
    return NEXT(stat)(redirect(path, buf, sizeof(buf)) ? buf : path, st);
}

int stat64(const char *path, struct stat64 *st) {
    char buf[512];
    return NEXT(stat64)(redirect(path, buf, sizeof(buf)) ? buf : path, st);
}

int lstat(const char *path, struct stat *st) {
    char buf[512];
    return NEXT(lstat)(redirect(path, buf, sizeof(buf)) ? buf : path, st);
}

int lstat64(const char *path, struct stat64 *st) {
    char buf[512];
    return NEXT(lstat64)(redirect(path, buf, sizeof(buf)) ? buf : path, st);
}

int access(const char *path, int amode) {
    char buf[512];
    return NEXT(access)(redirect(path, buf, sizeof(buf)) ? buf : path, amode);
}

ssize_t readlink(const char *path, char *out, size_t len) {
    char buf[512];
    return NEXT(readlink)(redirect(path, buf, sizeof(buf)) ? buf : path, out, len);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (emu_owns_fd(fd)) return emu_ioctl(fd, request, arg);
    // usbfs's ioctl type; the emulated usbfs's cost is clocked (usbfs_clock.cpp).
    if (_IOC_TYPE(request) == 'U') return timed_usbfs_ioctl(NEXT(ioctl), fd, request, arg);
    return NEXT(ioctl)(fd, request, arg);
}

int close(int fd) {
    if (emu_owns_fd(fd)) emu_release(fd);
    return NEXT(close)(fd);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset) {
    if (emu_owns_fd(fd)) return emu_mmap(fd, len, prot, flags, offset);
    return NEXT(mmap)(addr, len, prot, flags, fd, offset);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t offset) {
    if (emu_owns_fd(fd)) return emu_mmap(fd, len, prot, flags, offset);
    return NEXT(mmap64)(addr, len, prot, flags, fd, offset);
}

}  // extern "C"
