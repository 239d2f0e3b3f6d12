// libc overrides that put the emulated EVDI module under libevdi: the sysfs
// and device paths it uses are redirected into a private tree, open() of a
// card node returns one end of a SOCK_SEQPACKET pair (so read, poll and epoll
// behave natively), and ioctl/mmap/close on those descriptors reach the
// emulator. Every other call goes on to the next definition (dlsym
// RTLD_NEXT), so further preloads behind this one (umockdev) keep working.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

#define NEXT(name)                                                \
    ([] {                                                         \
        static const auto fn = next_fn<decltype(&::name)>(#name); \
        return fn;                                                \
    }())

constexpr std::string_view kPlatform = "/sys/bus/platform/devices";
constexpr std::string_view kEvdiClass = "/sys/devices/evdi";
constexpr std::string_view kCardPrefix = "/dev/dri/card";

char g_root[256];
pid_t g_root_owner = 0;
std::once_flag g_root_once;
int g_card_base = 47;

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
    return n >= g_card_base && n < g_card_base + evdiemu::kMaxOutputs ? n : -1;
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

void make_dir(const char *root, int index, const char *suffix) {
    char path[512];
    std::snprintf(path, sizeof(path), "%s/sys/bus/platform/devices/evdi.%d%s", root, index, suffix);
    mkdir(path, 0755);
}

void make_file(const char *path) {
    int fd = real_open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) real_close(fd);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

// Trees are named after their process ("torvel-evdi-<pid>-XXXXXX"); one whose
// process has gone without removing it (killed, aborted) is removed by the
// next process that makes a tree in the same place.
void remove_stale_trees(const char *base) {
    DIR *d = NEXT(opendir)(base);
    if (!d) return;
    constexpr std::string_view kPrefix = "torvel-evdi-";
    while (dirent *e = readdir(d)) {
        std::string_view name(e->d_name);
        if (name.substr(0, kPrefix.size()) != kPrefix) continue;
        long pid = std::strtol(e->d_name + kPrefix.size(), nullptr, 10);
        if (pid <= 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        char path[512];
        std::snprintf(path, sizeof(path), "%s/%s", base, e->d_name);
        nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    closedir(d);
}

void create_root() {
    const char *base = std::getenv("TORVEL_EVDI_ROOT");
    if (!base || !*base) base = std::getenv("TMPDIR");
    if (!base || !*base) base = "/tmp";
    remove_stale_trees(base);
    std::snprintf(g_root, sizeof(g_root), "%s/torvel-evdi-%d-XXXXXX", base,
                  static_cast<int>(getpid()));
    if (!mkdtemp(g_root)) {
        std::fprintf(stderr, "[evdi-emu] cannot create a private tree in %s: %s\n", base,
                     std::strerror(errno));
        g_root[0] = '\0';
        return;
    }
    g_root_owner = getpid();
    for (const char *d : {"/sys", "/sys/bus", "/sys/bus/platform", "/sys/bus/platform/devices",
                          "/sys/devices", "/sys/devices/evdi", "/dev", "/dev/dri"}) {
        char path[512];
        std::snprintf(path, sizeof(path), "%s%s", g_root, d);
        mkdir(path, 0755);
    }
    char add[512];
    std::snprintf(add, sizeof(add), "%s/sys/devices/evdi/add", g_root);
    make_file(add);
}

// The stand-in for the display server: a child that only holds the card
// node open, which is what libevdi's scan of /proc looks for. It ends when
// this process ends (death signal, and the pipe it waits on closes).
void start_holder(const char *node) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Only raw system calls here: other threads of the parent may have
        // held locks of libc or of other preloads at the fork.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, "evdi-holder");
        if (getppid() != parent) _exit(0);
        int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, node, O_RDONLY));
        int keep_lo = fd < p[0] ? fd : p[0], keep_hi = fd < p[0] ? p[0] : fd;
        if (keep_lo > 0) syscall(SYS_close_range, 0u, static_cast<unsigned>(keep_lo - 1), 0u);
        if (keep_hi - keep_lo > 1)
            syscall(SYS_close_range, static_cast<unsigned>(keep_lo + 1),
                    static_cast<unsigned>(keep_hi - 1), 0u);
        syscall(SYS_close_range, static_cast<unsigned>(keep_hi + 1), ~0u, 0u);
        char b;
        while (syscall(SYS_read, p[0], &b, 1) < 0) {
        }
        _exit(0);
    }
    real_close(p[0]);
    if (pid < 0) real_close(p[1]);
    // The write end stays open (close-on-exec) for the life of the process.
}

__attribute__((constructor)) void emu_init() {
    if (const char *b = std::getenv("TORVEL_EVDI_CARD_BASE")) {
        int v = std::atoi(b);
        if (v >= 0 && v + evdiemu::kMaxOutputs <= 64) g_card_base = v;
    }
    if (const char *ctl = std::getenv("TORVEL_EVDI_CONTROL")) {
        static char path[256];
        std::snprintf(path, sizeof(path), "%s", ctl);
        // Children (shells of popen, helpers) must not take the control socket.
        unsetenv("TORVEL_EVDI_CONTROL");
        if (*path) start_control_thread(path);
    }
}

__attribute__((destructor)) void emu_fini() {
    if (g_root[0] && g_root_owner == getpid()) nftw(g_root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
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
    (void)buf;
    int r = emu_add_card();
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
int card_base() {
    return g_card_base;
}

const char *tree_root() {
    std::call_once(g_root_once, create_root);
    return g_root;
}

int tree_add_card(int index) {
    const char *root = tree_root();
    if (!*root) return -EIO;
    int number = g_card_base + index;
    if (number >= 64) return -ENOSPC;
    make_dir(root, index, "");
    make_dir(root, index, "/drm");
    char path[512];
    std::snprintf(path, sizeof(path), "%s/sys/bus/platform/devices/evdi.%d/drm/card%d", root, index,
                  number);
    mkdir(path, 0755);
    std::snprintf(path, sizeof(path), "%s/dev/dri/card%d", root, number);
    make_file(path);
    start_holder(path);
    return number;
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
