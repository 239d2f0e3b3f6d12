// The files of a card (evdi_drm_drv.c and the DRM core's file operations):
// open and release, the ioctl table, event delivery and the mapping of the
// cursor's buffer objects. A file is one end of a SOCK_SEQPACKET pair, so
// read, poll and epoll on it behave natively; an event is one packet.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "emu_internal.h"
#include "module.h"

namespace evdiemu {

namespace internal {

namespace {

constexpr uint64_t kDumbOffsetShift = 20;  // page-aligned, room for 256x256x4

File *file_of(int fd) {
    if (fd < 0 || fd >= kFdTable) return nullptr;
    int slot = mod().fd_file[fd].load(std::memory_order_acquire) - 1;
    if (slot < 0 || !mod().files[slot].used || mod().files[slot].client_fd != fd) return nullptr;
    return &mod().files[slot];
}

// evdi_painter_flush_pending_events: in order, as many as the file takes.
bool flush_pending_events(Card &c) {
    Painter &p = c.painter;
    if (p.drm_filp < 0) return true;
    const File &f = mod().files[p.drm_filp];
    while (p.pending_count > 0) {
        const Painter::PendingEvent &e = p.pending_events[p.pending_first];
        if (send(f.server_fd, e.bytes, e.length, MSG_DONTWAIT | MSG_NOSIGNAL) !=
            static_cast<ssize_t>(e.length))
            break;
        p.pending_first = (p.pending_first + 1) % Painter::kPendingEvents;
        --p.pending_count;
    }
    return p.pending_count == 0;
}

// evdi_send_events_work: tries again every 5 ms while any card has events
// its file has not taken. Runs for the life of the process once started.
void start_flush_worker() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::lock_guard lock(mod().mu);
                for (int i = 0; i < mod().card_count; ++i) flush_pending_events(mod().cards[i]);
            }
        }).detach();
    });
}

bool squashable(uint32_t type) {
    return type == abi::kEventCursorSet || type == abi::kEventCursorMove;
}

int ioctl_version(uint64_t arg) {
    abi::DrmVersion v{};
    if (get_user(&v, arg, sizeof(v))) return -EFAULT;
    static constexpr char kName[] = "evdi";
    static constexpr char kDate[] = "20220725";
    static constexpr char kDesc[] = "Extensible Virtual Display Interface";
    v.version_major = 1;
    v.version_minor = 12;
    v.version_patchlevel = 0;
    struct Field {
        uint64_t *len;
        uint64_t ptr;
        const char *text;
        size_t size;
    } fields[] = {{&v.name_len, v.name, kName, sizeof(kName) - 1},
                  {&v.date_len, v.date, kDate, sizeof(kDate) - 1},
                  {&v.desc_len, v.desc, kDesc, sizeof(kDesc) - 1}};
    for (Field &f : fields) {
        size_t n = std::min<uint64_t>(*f.len, f.size);
        if (f.ptr && n && put_user(f.ptr, f.text, n)) return -EFAULT;
        *f.len = f.size;
    }
    return put_user(arg, &v, sizeof(v)) ? -EFAULT : 0;
}

// evdi_painter_connect_ioctl.
int ioctl_connect(File &f, Card &c, uint64_t arg) {
    abi::Connect cmd{};
    if (get_user(&cmd, arg, sizeof(cmd))) return -EFAULT;
    const int file = static_cast<int>(&f - mod().files);
    if (!cmd.connected) {
        if (take_fault(Op::Disconnect)) return -errno;
        return painter_disconnect(c, file);
    }
    if (take_fault(Op::Connect)) return -errno;
    return painter_connect(c, file, cmd.edid, cmd.edid_length, cmd.pixel_area_limit,
                           cmd.pixel_per_second_limit);
}

int ioctl_map_dumb(Card &c, uint64_t arg) {
    abi::DrmModeMapDumb m{};
    if (get_user(&m, arg, sizeof(m))) return -EFAULT;
    if (take_fault(Op::MapDumb)) return -errno;
    for (const DumbBuffer &d : c.dumb) {
        if (d.handle != 0 && d.handle == m.handle) {
            m.offset = static_cast<uint64_t>(d.handle) << kDumbOffsetShift;
            return put_user(arg, &m, sizeof(m)) ? -EFAULT : 0;
        }
    }
    return -ENOENT;
}

int dispatch(File &f, unsigned long request, uint64_t arg) {
    Card &c = mod().cards[f.card];
    switch (request) {
        case abi::kIoctlVersion:
            if (take_fault(Op::Version)) return -errno;
            return ioctl_version(arg);
        case abi::kIoctlAuthMagic:
            if (take_fault(Op::AuthMagic)) return -errno;
            return f.master ? -EINVAL : -EACCES;  // magic 0 is never valid
        case abi::kIoctlDropMaster:
            if (take_fault(Op::DropMaster)) return -errno;
            if (!f.master) return -EINVAL;
            f.master = false;
            return 0;
        case abi::kIoctlSetMaster:
            f.master = true;
            return 0;
        case abi::kIoctlConnect:
            return ioctl_connect(f, c, arg);
        case abi::kIoctlRequestUpdate:
            if (take_fault(Op::RequestUpdate)) return -errno;
            return painter_request_update(c);
        case abi::kIoctlGrabPix: {
            const int r = painter_grabpix(c, arg);
            if (r < 0)
                ++c.stats.grab_failures;
            else
                ++c.stats.grabs;
            return r;
        }
        case abi::kIoctlEnableCursorEvents: {
            // evdi_painter_enable_cursor_events_ioctl.
            abi::EnableCursorEvents cmd{};
            if (get_user(&cmd, arg, sizeof(cmd))) return -EFAULT;
            if (take_fault(Op::EnableCursor)) return -errno;
            c.cursor_events_enabled = cmd.enable != 0;
            return 0;
        }
        case abi::kIoctlDdcciResponse:
            return 0;
        case abi::kIoctlMapDumb:
            return ioctl_map_dumb(c, arg);
        default:
            return -EINVAL;
    }
}

}  // namespace

// evdi_painter_send_event: dropped unless a connected file is there to take
// it; a cursor event replaces one of its kind still waiting at the end of
// the queue (evdi_painter_add_event_to_pending_list). Events are at most 44
// bytes.
void queue_event(Card &c, const void *event, size_t length) {
    Painter &p = c.painter;
    if (p.drm_filp < 0 || !p.is_connected) {
        ++c.stats.events_dropped;
        return;
    }
    const uint32_t type = static_cast<const abi::EventHeader *>(event)->type;
    Painter::PendingEvent *slot = nullptr;
    if (p.pending_count > 0) {
        Painter::PendingEvent &last =
            p.pending_events[(p.pending_first + p.pending_count - 1) % Painter::kPendingEvents];
        uint32_t last_type;
        std::memcpy(&last_type, last.bytes, sizeof(last_type));
        if (last_type == type && squashable(type)) slot = &last;
    }
    if (!slot) {
        if (p.pending_count == Painter::kPendingEvents) {
            p.pending_first = (p.pending_first + 1) % Painter::kPendingEvents;
            --p.pending_count;
            ++c.stats.events_dropped;
        }
        slot = &p.pending_events[(p.pending_first + p.pending_count++) % Painter::kPendingEvents];
    }
    std::memcpy(slot->bytes, event, std::min(length, sizeof(slot->bytes)));
    slot->length = static_cast<uint32_t>(std::min(length, sizeof(slot->bytes)));
    if (!flush_pending_events(c)) start_flush_worker();
}

// evdi_painter_events_cleanup.
void drop_pending_events(Card &c) {
    c.painter.pending_first = c.painter.pending_count = 0;
}

uint32_t new_gem_handle(Card &c, const FbPtr &fb, uint32_t *length) {
    DumbBuffer &d = c.dumb[c.dumb_next];
    c.dumb_next = (c.dumb_next + 1) % kDumbRing;
    d.handle = mod().next_handle++;
    d.fb = fb;
    const uint32_t bytes = static_cast<uint32_t>(fb->pixels.size() * 4);
    d.length = (bytes + 4095u) & ~4095u;  // GEM objects are whole pages
    *length = d.length;
    return d.handle;
}

int emu_open(int card_number, int flags) {
    std::lock_guard lock(mod().mu);
    int index = -1;
    for (int i = 0; i < mod().card_count; ++i)
        if (mod().cards[i].number == card_number) index = i;
    if (index < 0) return -ENOENT;
    if (take_fault(Op::Open)) return -errno;
    int slot = -1;
    for (int i = 0; i < kMaxFiles && slot < 0; ++i)
        if (!mod().files[i].used) slot = i;
    if (slot < 0) return -ENFILE;
    int sv[2];
    int type = SOCK_SEQPACKET | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0);
    if (socketpair(AF_UNIX, type, 0, sv) != 0) return -errno;
    if (flags & O_NONBLOCK) {
        int fl = fcntl(sv[0], F_GETFL);
        fcntl(sv[0], F_SETFL, fl | O_NONBLOCK);
    }
    // The emulator's end never blocks and never leaks into children.
    fcntl(sv[1], F_SETFD, FD_CLOEXEC);
    fcntl(sv[1], F_SETFL, fcntl(sv[1], F_GETFL) | O_NONBLOCK);
    if (sv[0] >= kFdTable) {
        real_close(sv[0]);
        real_close(sv[1]);
        return -EMFILE;
    }
    mod().files[slot] = File{true, sv[0], sv[1], index, false};
    mod().fd_file[sv[0]].store(static_cast<int8_t>(slot + 1), std::memory_order_release);
    Card &c = mod().cards[index];
    ++c.stats.opens;
    EVDI_INFO("(card%d) Opened by file %d\n", c.number, slot);
    return sv[0];
}

bool emu_owns_fd(int fd) {
    return fd >= 0 && fd < kFdTable && mod().fd_file[fd].load(std::memory_order_acquire) != 0;
}

int emu_ioctl(int fd, unsigned long request, void *arg) {
    std::lock_guard lock(mod().mu);
    File *f = file_of(fd);
    if (!f) {
        errno = EBADF;
        return -1;
    }
    int r = dispatch(*f, request, reinterpret_cast<uint64_t>(arg));
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}

// evdi_driver_postclose -> evdi_painter_close: the connected file's release
// disconnects.
void emu_release(int fd) {
    std::lock_guard lock(mod().mu);
    File *f = file_of(fd);
    if (!f) return;
    mod().fd_file[fd].store(0, std::memory_order_release);
    Card &c = mod().cards[f->card];
    const int slot = static_cast<int>(f - mod().files);
    if (c.painter.drm_filp == slot) painter_disconnect(c, slot);
    EVDI_INFO("(card%d) Closed by file %d\n", c.number, slot);
    Module &m = mod();
    const int oldest = m.released[m.released_next];
    m.released[m.released_next] = f->server_fd;
    m.released_next = (m.released_next + 1) % kMaxFiles;
    if (oldest >= 0) real_close(oldest);
    *f = File{};
}

void *emu_mmap(int fd, size_t len, int prot, int flags, off_t offset) {
    std::lock_guard lock(mod().mu);
    File *f = file_of(fd);
    if (!f) {
        errno = EBADF;
        return MAP_FAILED;
    }
    if (take_fault(Op::Mmap)) return MAP_FAILED;
    Card &c = mod().cards[f->card];
    const DumbBuffer *d = nullptr;
    for (const DumbBuffer &b : c.dumb)
        if (b.handle != 0 &&
            (static_cast<uint64_t>(b.handle) << kDumbOffsetShift) == static_cast<uint64_t>(offset))
            d = &b;
    if (!d || len == 0 || len > d->length) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    (void)flags;
    // A private copy stands in for the shared mapping of the cursor's buffer
    // object: the client only reads it, and munmap works on it unchanged.
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return p;
    std::memcpy(p, d->fb->pixels.data(), std::min(len, d->fb->pixels.size() * 4));
    if (!(prot & PROT_WRITE)) mprotect(p, len, prot);
    return p;
}

}  // namespace internal

}  // namespace evdiemu
