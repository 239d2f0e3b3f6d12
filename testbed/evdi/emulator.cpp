// The emulated EVDI module: cards, the files opened on them, the ioctls
// libevdi 1.12 issues, and the display-server side (modeset, painting,
// cursor). All state sits behind one mutex: calls are short (the longest is a
// grab, about a millisecond for a full 1080p screen), and one lock keeps the
// event order of each card identical to the order of the calls that caused
// them.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "emu_internal.h"
#include "evdi_abi.h"
#include "evdi_emu.h"

namespace evdiemu {

namespace abi = evdiabi;
using namespace internal;

namespace {

constexpr int kMaxFiles = 64;
constexpr int kFdTable = 4096;
constexpr int kDumbRing = 4;
constexpr uint64_t kDumbOffsetShift = 20;  // page-aligned, room for 256x256x4

struct DumbBuffer {
    uint32_t handle = 0;
    uint32_t length = 0;
    std::vector<uint32_t> pixels;
};

struct Card {
    bool exists = false;
    int number = 0;
    int connected_file = -1;  // file slot that connected, -1 none
    std::vector<uint8_t> edid;
    uint32_t area_limit = 0, pps_limit = 0;
    int width = 0, height = 0, refresh = 0;
    std::vector<uint32_t> fb;  // the scan-out buffer, width x height
    abi::ClipRect dirty[abi::kMaxDirts] = {};
    int num_dirts = 0;
    bool update_requested = false;
    bool cursor_events = false;
    int dpms = -1;
    // Cursor as the display server set it.
    bool cursor_enabled = false;
    int hot_x = 0, hot_y = 0, cur_w = 0, cur_h = 0, cur_x = 0, cur_y = 0;
    std::vector<uint32_t> cursor;
    DumbBuffer dumb[kDumbRing];
    int dumb_next = 0;
    CardState stats{};
};

struct File {
    bool used = false;
    int client_fd = -1;
    int server_fd = -1;
    int card = -1;  // card index
    bool master = false;
};

struct Fault {
    int err = 0;
    int remaining = 0;
};

// Rows of a grab, gathered for one process_vm_writev call.
constexpr int kIov = 1024;

// The module's state. It is never destroyed: the program's threads (event
// threads blocked in read, the control thread answering the harness) may
// still use it while the process runs its exit-time destructors.
struct Module {
    std::mutex mu;
    Card cards[kMaxOutputs];
    int card_count = 0;
    File files[kMaxFiles];
    Fault faults[static_cast<int>(Op::Count)];
    uint32_t next_handle = 1;
    std::atomic<int8_t> fd_file[kFdTable] = {};  // fd -> file slot + 1, lock-free lookup
    iovec local_iov[kIov];
    iovec remote_iov[kIov];
    // Emulator ends of released files, closed only when the ring wraps: a
    // thread still blocked in read() on a closed card descriptor stays
    // blocked, as it does on a DRM file (closing our end would wake it with
    // end of file).
    int released[kMaxFiles];
    int released_next = 0;
    Module() { std::fill(std::begin(released), std::end(released), -1); }
};

Module &mod() {
    alignas(Module) static unsigned char storage[sizeof(Module)];
    static Module *m = new (storage) Module();
    return *m;
}

std::atomic<bool> g_vm_refused{false};

bool take_fault(Op op) {
    Fault &f = mod().faults[static_cast<int>(op)];
    if (f.remaining <= 0) return false;
    --f.remaining;
    errno = f.err;
    return true;
}

// Copies to/from the client's memory: a bad pointer gives EFAULT instead of
// a crash, as a copy_to_user would. Falls back to memcpy when the system
// refuses the call (seccomp, ptrace restrictions).
int vm_write(const iovec *local, const iovec *remote, int n, size_t total) {
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
    return vm_write(&l, &r, 1, len);
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

void send_event(Card &c, const void *ev, size_t len) {
    if (c.connected_file < 0) {
        ++c.stats.events_dropped;
        return;
    }
    const File &f = mod().files[c.connected_file];
    if (send(f.server_fd, ev, len, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(len))
        ++c.stats.events_dropped;
}

void send_dpms(Card &c, int mode) {
    abi::EventDpms ev{{abi::kEventDpms, sizeof(ev)}, mode};
    send_event(c, &ev, sizeof(ev));
    c.dpms = mode;
}

int rect_area(const abi::ClipRect &r) {
    return (r.x2 - r.x1) * (r.y2 - r.y1);
}

void expand(abi::ClipRect &a, const abi::ClipRect &b) {
    a.x1 = std::min(a.x1, b.x1);
    a.y1 = std::min(a.y1, b.y1);
    a.x2 = std::max(a.x2, b.x2);
    a.y2 = std::max(a.y2, b.y2);
}

// Joins two rectangles whenever their bounding box is no larger than both.
void merge_rects(abi::ClipRect *r, int *count) {
    for (int a = 0; a < *count - 1; ++a) {
        for (int b = a + 1; b < *count;) {
            abi::ClipRect box = r[a];
            expand(box, r[b]);
            if (rect_area(box) <= rect_area(r[a]) + rect_area(r[b])) {
                r[a] = box;
                r[b] = r[*count - 1];
                --*count;
                b = a + 1;
            } else {
                ++b;
            }
        }
    }
}

void collapse_rects(abi::ClipRect *r, int *count) {
    for (int i = 1; i < *count; ++i) expand(r[0], r[i]);
    *count = std::min(*count, 1);
}

void maybe_update_ready(Card &c) {
    if (c.update_requested && c.num_dirts > 0) {
        abi::EventHeader ev{abi::kEventUpdateReady, sizeof(ev)};
        send_event(c, &ev, sizeof(ev));
        ++c.stats.updates_ready;
        c.update_requested = false;
    }
}

void mark_dirty(Card &c, int x1, int y1, int x2, int y2) {
    if (c.fb.empty()) return;
    x1 = std::clamp(x1, 0, c.width);
    x2 = std::clamp(x2, 0, c.width);
    y1 = std::clamp(y1, 0, c.height);
    y2 = std::clamp(y2, 0, c.height);
    if (x1 >= x2 || y1 >= y2) return;
    if (c.num_dirts == abi::kMaxDirts) merge_rects(c.dirty, &c.num_dirts);
    if (c.num_dirts == abi::kMaxDirts) collapse_rects(c.dirty, &c.num_dirts);
    c.dirty[c.num_dirts++] = abi::ClipRect{static_cast<uint16_t>(x1), static_cast<uint16_t>(y1),
                                           static_cast<uint16_t>(x2), static_cast<uint16_t>(y2)};
    maybe_update_ready(c);
}

void mark_cursor_dirty(Card &c) {
    if (!c.cursor_enabled || c.cursor_events) return;
    mark_dirty(c, c.cur_x - c.hot_x, c.cur_y - c.hot_y, c.cur_x - c.hot_x + c.cur_w,
               c.cur_y - c.hot_y + c.cur_h);
}

Card *card_at(int index) {
    if (index < 0 || index >= mod().card_count || !mod().cards[index].exists) return nullptr;
    return &mod().cards[index];
}

File *file_of(int fd) {
    if (fd < 0 || fd >= kFdTable) return nullptr;
    int slot = mod().fd_file[fd].load(std::memory_order_acquire) - 1;
    if (slot < 0 || !mod().files[slot].used || mod().files[slot].client_fd != fd) return nullptr;
    return &mod().files[slot];
}

void disconnect(Card &c) {
    c.connected_file = -1;
    c.fb.clear();
    c.fb.shrink_to_fit();
    c.width = c.height = c.refresh = 0;
    c.num_dirts = 0;
    c.update_requested = false;
    c.cursor_events = false;
    c.dpms = -1;
    ++c.stats.disconnects;
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

int ioctl_connect(File &f, Card &c, uint64_t arg) {
    abi::Connect cmd{};
    if (get_user(&cmd, arg, sizeof(cmd))) return -EFAULT;
    if (!cmd.connected) {
        if (take_fault(Op::Disconnect)) return -errno;
        if (c.connected_file < 0 || &mod().files[c.connected_file] != &f) return -EFAULT;
        disconnect(c);
        return 0;
    }
    if (take_fault(Op::Connect)) return -errno;
    if (cmd.edid_length < 128 || cmd.edid_length > abi::kMaxEdid) return -EINVAL;
    std::vector<uint8_t> edid(cmd.edid_length);
    if (get_user(edid.data(), cmd.edid, edid.size())) return -EFAULT;
    if (128u + 128u * edid[126] != cmd.edid_length) return -EINVAL;
    if (c.connected_file >= 0 && &mod().files[c.connected_file] != &f)
        std::fprintf(stderr, "[evdi-emu] card%d: double connect, replacing the connected file\n",
                     c.number);
    c.connected_file = static_cast<int>(&f - mod().files);
    c.edid = std::move(edid);
    c.area_limit = cmd.pixel_area_limit;
    c.pps_limit = cmd.pixel_per_second_limit;
    ++c.stats.connects;
    return 0;
}

int ioctl_request_update(Card &c) {
    if (take_fault(Op::RequestUpdate)) return -errno;
    ++c.stats.update_requests;
    if (c.update_requested) return 0;  // already armed: ignored
    if (c.num_dirts > 0) return 1;
    c.update_requested = true;
    return 0;
}

// Draws the cursor over the copied pixels, as the module does for clients
// that did not ask for cursor events.
int compose_cursor(const Card &c, uint64_t buffer, int stride) {
    if (!c.cursor_enabled || c.cursor_events || c.cursor.empty()) return 0;
    const int x0 = c.cur_x - c.hot_x, y0 = c.cur_y - c.hot_y;
    const int xa = std::max(x0, 0), xb = std::min(x0 + c.cur_w, c.width);
    const int ya = std::max(y0, 0), yb = std::min(y0 + c.cur_h, c.height);
    if (xa >= xb || ya >= yb) return 0;
    std::array<uint32_t, kMaxCursor> row{};
    for (int y = ya; y < yb; ++y) {
        for (int x = xa; x < xb; ++x) {
            uint32_t s = c.cursor[static_cast<size_t>(y - y0) * c.cur_w + (x - x0)];
            uint32_t d = c.fb[static_cast<size_t>(y) * c.width + x];
            uint32_t a = s >> 24, out = 0;
            for (int sh = 0; sh < 24; sh += 8) {
                uint32_t sc = (s >> sh) & 0xff, dc = (d >> sh) & 0xff;
                out |= ((sc * a + dc * (255 - a) + 127) / 255) << sh;
            }
            row[static_cast<size_t>(x - xa)] = out;
        }
        if (put_user(buffer + static_cast<uint64_t>(y) * stride + static_cast<uint64_t>(xa) * 4,
                     row.data(), static_cast<size_t>(xb - xa) * 4))
            return -EFAULT;
    }
    return 0;
}

int ioctl_grab(Card &c, uint64_t arg) {
    abi::GrabPix cmd{};
    if (get_user(&cmd, arg, sizeof(cmd))) return -EFAULT;
    if (take_fault(Op::Grab)) return -errno;
    if (cmd.mode != abi::kGrabModeDirty || cmd.num_rects < 1) return -EINVAL;
    merge_rects(c.dirty, &c.num_dirts);
    if (c.num_dirts > cmd.num_rects) collapse_rects(c.dirty, &c.num_dirts);
    if (c.fb.empty()) return -EAGAIN;  // no scan-out buffer yet
    abi::ClipRect rects[abi::kMaxDirts];
    const int n = c.num_dirts;
    std::copy(c.dirty, c.dirty + n, rects);
    c.num_dirts = 0;  // the damage is consumed whatever follows
    cmd.num_rects = n;
    if (put_user(arg, &cmd, sizeof(cmd))) return -EFAULT;
    if (cmd.buf_width != c.width || cmd.buf_height != c.height) return -EINVAL;
    if (put_user(cmd.rects, rects, sizeof(rects[0]) * n)) return -EFAULT;
    int k = 0;
    size_t total = 0;
    for (int i = 0; i < n; ++i) {
        const abi::ClipRect &r = rects[i];
        if (r.x2 > cmd.buf_width || r.y2 > cmd.buf_height) return -EFAULT;
        const size_t span = static_cast<size_t>(r.x2 - r.x1) * 4;
        // Full-width rows that are packed alike on both sides travel as one
        // piece.
        const bool packed =
            r.x1 == 0 && r.x2 == c.width && static_cast<size_t>(cmd.buf_byte_stride) == span;
        const int rows_per_piece = packed ? r.y2 - r.y1 : 1;
        for (int y = r.y1; y < r.y2; y += rows_per_piece) {
            const size_t len = span * static_cast<size_t>(rows_per_piece);
            mod().local_iov[k] = {&c.fb[static_cast<size_t>(y) * c.width + r.x1], len};
            mod().remote_iov[k] = {
                reinterpret_cast<void *>(cmd.buffer +
                                         static_cast<uint64_t>(y) *
                                             static_cast<uint32_t>(cmd.buf_byte_stride) +
                                         static_cast<uint64_t>(r.x1) * 4),
                len};
            total += len;
            if (++k == kIov) {
                if (vm_write(mod().local_iov, mod().remote_iov, k, total)) return -EFAULT;
                k = 0;
                total = 0;
            }
        }
    }
    if (vm_write(mod().local_iov, mod().remote_iov, k, total)) return -EFAULT;
    if (compose_cursor(c, cmd.buffer, cmd.buf_byte_stride)) return -EFAULT;
    c.stats.last_grab_count = n;
    for (int i = 0; i < n; ++i)
        c.stats.last_grab[i] = Rect{rects[i].x1, rects[i].y1, rects[i].x2, rects[i].y2};
    return 0;
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
            return ioctl_request_update(c);
        case abi::kIoctlGrabPix: {
            int r = ioctl_grab(c, arg);
            if (r < 0)
                ++c.stats.grab_failures;
            else
                ++c.stats.grabs;
            return r;
        }
        case abi::kIoctlEnableCursorEvents: {
            abi::EnableCursorEvents cmd{};
            if (get_user(&cmd, arg, sizeof(cmd))) return -EFAULT;
            if (take_fault(Op::EnableCursor)) return -errno;
            c.cursor_events = cmd.enable != 0;
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

class Local final : public Control {
  public:
    int cards(CardState *out, int max) override {
        std::lock_guard lock(mod().mu);
        for (int i = 0; i < mod().card_count && i < max; ++i) {
            const Card &c = mod().cards[i];
            CardState s = c.stats;
            s.number = c.number;
            s.connected = c.connected_file >= 0;
            s.cursor_events = c.cursor_events;
            s.update_armed = c.update_requested;
            s.width = c.width;
            s.height = c.height;
            s.refresh = c.refresh;
            s.dpms = c.dpms;
            s.dirty_rects = c.num_dirts;
            s.edid_length = static_cast<uint32_t>(c.edid.size());
            s.pixel_area_limit = c.area_limit;
            s.pixel_per_second_limit = c.pps_limit;
            out[i] = s;
        }
        return mod().card_count;
    }

    int edid(int card, uint8_t *out, size_t cap) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        std::memcpy(out, c->edid.data(), std::min(cap, c->edid.size()));
        return static_cast<int>(c->edid.size());
    }

    int modeset(int card, int width, int height, int refresh) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (c->connected_file < 0) return -ENOTCONN;
        if (width < 1 || height < 1 || width > 8192 || height > 8192 || refresh < 1) return -EINVAL;
        const uint64_t area = static_cast<uint64_t>(width) * height;
        if (area > c->area_limit || area * refresh > c->pps_limit) return -E2BIG;
        c->width = width;
        c->height = height;
        c->refresh = refresh;
        c->fb.assign(area, 0);
        c->num_dirts = 0;
        send_dpms(*c, 0);
        abi::EventModeChanged ev{
            {abi::kEventModeChanged, sizeof(ev)}, width, height, refresh, 32, abi::kFormatXrgb8888};
        send_event(*c, &ev, sizeof(ev));
        send_dpms(*c, 0);
        mark_dirty(*c, 0, 0, width, height);
        return 0;
    }

    int output_off(int card) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (c->connected_file < 0) return -ENOTCONN;
        send_dpms(*c, 3);
        send_dpms(*c, 3);
        return 0;
    }

    int dpms(int card, int mode) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (c->connected_file < 0) return -ENOTCONN;
        send_dpms(*c, mode);
        return 0;
    }

    int paint(int card, int x, int y, int w, int h, const uint32_t *px, int stride_px) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (c->fb.empty()) return -ENOTCONN;
        const int xa = std::max(x, 0), xb = std::min(x + w, c->width);
        const int ya = std::max(y, 0), yb = std::min(y + h, c->height);
        if (xa >= xb || ya >= yb) return 0;
        for (int row = ya; row < yb; ++row)
            std::memcpy(&c->fb[static_cast<size_t>(row) * c->width + xa],
                        px + static_cast<size_t>(row - y) * stride_px + (xa - x),
                        static_cast<size_t>(xb - xa) * 4);
        mark_dirty(*c, xa, ya, xb, yb);
        return 0;
    }

    int cursor_set(int card, int hot_x, int hot_y, int w, int h, bool enabled,
                   const uint32_t *argb) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (enabled && (!argb || w < 1 || h < 1 || w > kMaxCursor || h > kMaxCursor))
            return -EINVAL;
        mark_cursor_dirty(*c);  // where it was
        c->cursor_enabled = enabled;
        c->hot_x = hot_x;
        c->hot_y = hot_y;
        c->cur_w = enabled ? w : 0;
        c->cur_h = enabled ? h : 0;
        c->cursor.assign(argb, argb + (enabled ? static_cast<size_t>(w) * h : 0));
        abi::EventCursorSet ev{};
        ev.base = {abi::kEventCursorSet, sizeof(ev)};
        ev.hot_x = hot_x;
        ev.hot_y = hot_y;
        ev.width = static_cast<uint32_t>(c->cur_w);
        ev.height = static_cast<uint32_t>(c->cur_h);
        ev.enabled = enabled ? 1 : 0;
        ev.pixel_format = abi::kFormatArgb8888;
        ev.stride = static_cast<uint32_t>(c->cur_w) * 4;
        if (enabled) {
            DumbBuffer &d = c->dumb[c->dumb_next];
            c->dumb_next = (c->dumb_next + 1) % kDumbRing;
            d.handle = mod().next_handle++;
            d.pixels = c->cursor;
            d.length = static_cast<uint32_t>(d.pixels.size() * 4);
            ev.buffer_handle = d.handle;
            ev.buffer_length = d.length;
        }
        if (c->cursor_events)
            send_event(*c, &ev, sizeof(ev));
        else
            mark_cursor_dirty(*c);
        return 0;
    }

    int cursor_move(int card, int x, int y) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        mark_cursor_dirty(*c);
        c->cur_x = x;
        c->cur_y = y;
        if (c->cursor_events) {
            abi::EventCursorMove ev{{abi::kEventCursorMove, sizeof(ev)}, x, y};
            send_event(*c, &ev, sizeof(ev));
        } else {
            mark_cursor_dirty(*c);
        }
        return 0;
    }

    int fail_next(Op op, int err, int count) override {
        if (static_cast<int>(op) < 0 || op >= Op::Count || err <= 0 || count < 0) return -EINVAL;
        std::lock_guard lock(mod().mu);
        mod().faults[static_cast<int>(op)] = Fault{err, count};
        return 0;
    }

    int read_screen(int card, uint32_t *out, size_t cap_px) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        std::memcpy(out, c->fb.data(), std::min(cap_px, c->fb.size()) * 4);
        return static_cast<int>(c->fb.size());
    }
};

}  // namespace

Control &local() {
    // Never destroyed, like the module (see Module).
    alignas(Local) static unsigned char storage[sizeof(Local)];
    static Local *instance = new (storage) Local();
    return *instance;
}

namespace internal {

int emu_add_card() {
    std::lock_guard lock(mod().mu);
    if (take_fault(Op::Add)) return -errno;
    if (mod().card_count >= kMaxOutputs) return -ENOSPC;
    int number = tree_add_card(mod().card_count);
    if (number < 0) return number;
    Card &c = mod().cards[mod().card_count++];
    c.exists = true;
    c.number = number;
    c.stats.number = number;
    c.stats.dpms = -1;
    return number;
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
    ++mod().cards[index].stats.opens;
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

void emu_release(int fd) {
    std::lock_guard lock(mod().mu);
    File *f = file_of(fd);
    if (!f) return;
    mod().fd_file[fd].store(0, std::memory_order_release);
    Card &c = mod().cards[f->card];
    if (c.connected_file == static_cast<int>(f - mod().files)) disconnect(c);
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
    std::memcpy(p, d->pixels.data(), len);
    if (!(prot & PROT_WRITE)) mprotect(p, len, prot);
    return p;
}

}  // namespace internal

}  // namespace evdiemu
