// Adding cards (evdi_sysfs.c add_store, evdi_platform_drv.c): the private
// tree standing in for /sys and /dev, each card's sysfs entries and device
// node, and the stand-in display server that opens a new card's node.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "emu_internal.h"
#include "module.h"

namespace evdiemu::internal {

namespace {

// evdi_platform_drv.c EVDI_DEVICE_COUNT_MAX.
constexpr int kDeviceCountMax = 16;

char g_root[256];
pid_t g_root_owner = 0;
std::once_flag g_root_once;
int g_card_base = 47;
// How long after a card appears the stand-in display server opens it (a
// real one opens it once udev has told it about the new card); < 0: never.
double g_holder_delay = 0.5;

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
    DIR *d = opendir(base);
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
// node open, which is what libevdi's scan of /proc (wait_for_master) looks
// for. It opens the node after the holder delay and ends when this process
// ends (death signal, and the pipe it waits on closes).
void start_holder(const char *node) {
    if (g_holder_delay < 0) return;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    const pid_t parent = getpid();
    const long delay_ns = static_cast<long>(g_holder_delay * 1e9);
    pid_t pid = fork();
    if (pid == 0) {
        // Only raw system calls here: other threads of the parent may have
        // held locks of libc or of other preloads at the fork.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, "evdi-holder");
        if (getppid() != parent) _exit(0);
        timespec wait{delay_ns / 1000000000L, delay_ns % 1000000000L};
        while (syscall(SYS_nanosleep, &wait, &wait) != 0) {
        }
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

// The sysfs and device entries of a new card, and its holder. Returns the
// card's number or -errno.
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

}  // namespace

void init_cards_from_environment() {
    if (const char *b = std::getenv("TORVEL_EVDI_CARD_BASE")) {
        int v = std::atoi(b);
        if (v >= 0 && v + kMaxOutputs <= 64) g_card_base = v;
    }
    if (const char *d = std::getenv("TORVEL_EVDI_HOLDER_DELAY")) {
        char *end = nullptr;
        const double v = std::strtod(d, &end);
        if (std::string_view(d) == "none")
            g_holder_delay = -1;
        else if (end != d && *end == '\0' && v >= 0 && v <= 5)
            g_holder_delay = v;
        else
            std::fprintf(stderr, "[evdi-emu] TORVEL_EVDI_HOLDER_DELAY: 0 to 5 or none, not %s\n",
                         d);
    }
}

void remove_tree_at_exit() {
    if (g_root[0] && g_root_owner == getpid()) nftw(g_root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int card_base() {
    return g_card_base;
}

const char *tree_root() {
    std::call_once(g_root_once, create_root);
    return g_root;
}

// add_store: "N" adds N cards (evdi_platform_add_devices), refused as a
// whole when they would be more than the module takes. Each card exists
// before the write returns.
int emu_add_cards(const char *text, size_t length) {
    char buf[16] = {};
    std::memcpy(buf, text, std::min(length, sizeof(buf) - 1));
    char *end = nullptr;
    const long count = std::strtol(buf, &end, 10);
    if (end == buf || count < 0) {
        EVDI_ERROR("Invalid device count \"%s\"\n", buf);
        return -EINVAL;
    }
    std::lock_guard lock(mod().mu);
    if (take_fault(Op::Add)) return -errno;
    if (count == 0) {
        EVDI_WARN("Adding 0 devices has no effect\n");
        return 0;
    }
    if (count > kDeviceCountMax - mod().card_count) {
        EVDI_ERROR("Evdi device add failed. Too many devices.\n");
        return -EINVAL;
    }
    EVDI_INFO("Increasing device count to %d\n", mod().card_count + static_cast<int>(count));
    for (long i = 0; i < count; ++i) {
        const int number = tree_add_card(mod().card_count);
        if (number < 0) return number;
        Card &c = mod().cards[mod().card_count++];
        c.exists = true;
        c.number = number;
        c.stats.number = number;
        c.stats.dpms = -1;
    }
    return 0;
}

}  // namespace evdiemu::internal
