// The harness's end of the control socket.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "control_protocol.h"
#include "evdi_emu.h"
#include "io_util.h"

namespace evdiemu {

using namespace wire;

RemoteControl::~RemoteControl() {
    close();
}

int RemoteControl::listen(const std::string &path) {
    std::lock_guard lock(mu_);
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return -ENAMETOOLONG;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, 1) != 0) {
        int e = errno;
        ::close(fd);
        return -e;
    }
    listen_fd_ = fd;
    path_ = path;
    return 0;
}

int RemoteControl::accept(int timeout_ms) {
    std::lock_guard lock(mu_);
    if (fd_ >= 0) return 0;
    if (listen_fd_ < 0) return -EBADF;
    pollfd p{listen_fd_, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return -errno;
    if (r == 0) return -ETIMEDOUT;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return -errno;
    fd_ = fd;
    return 0;
}

bool RemoteControl::is_connected() const {
    return fd_ >= 0;
}

void RemoteControl::close() {
    std::lock_guard lock(mu_);
    if (fd_ >= 0) ::close(fd_);
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        ::unlink(path_.c_str());
    }
    fd_ = listen_fd_ = -1;
}

int RemoteControl::call(uint32_t op, int card, const int32_t *args, int nargs, const void *payload,
                        size_t payload_len, void *reply, size_t reply_cap) {
    std::lock_guard lock(mu_);
    if (fd_ < 0) return -ENOTCONN;
    Request q{};
    q.magic = kMagic;
    q.op = op;
    q.card = card;
    std::copy(args, args + std::min(nargs, kArgs), q.args);
    q.payload_len = payload_len;
    Reply r{};
    if (!io::write_all(fd_, &q, sizeof(q)) ||
        (payload_len && !io::write_all(fd_, payload, payload_len)) ||
        !io::read_all(fd_, &r, sizeof(r)) || r.payload_len > kMaxPayload) {
        ::close(fd_);  // the program ended, or the stream is out of step
        fd_ = -1;
        return -ENOTCONN;
    }
    // Keeps what fits and drains the rest, so the stream stays in step.
    uint64_t keep = std::min<uint64_t>(r.payload_len, reply_cap);
    if (keep && !io::read_all(fd_, reply, keep)) {
        ::close(fd_);
        fd_ = -1;
        return -ENOTCONN;
    }
    char sink[4096];
    for (uint64_t left = r.payload_len - keep; left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof(sink)));
        if (!io::read_all(fd_, sink, n)) {
            ::close(fd_);
            fd_ = -1;
            return -ENOTCONN;
        }
        left -= n;
    }
    return r.status;
}

int RemoteControl::cards(CardState *out, int max) {
    return call(kCards, -1, nullptr, 0, nullptr, 0, out,
                sizeof(CardState) * static_cast<size_t>(std::max(max, 0)));
}

int RemoteControl::edid(int card, uint8_t *out, size_t cap) {
    return call(kEdid, card, nullptr, 0, nullptr, 0, out, cap);
}

int RemoteControl::modeset(int card, const ModeSet &m, const uint32_t *xrgb) {
    int32_t a[] = {m.width,    m.height,   m.refresh, static_cast<int32_t>(m.format),
                   m.fb_width, m.fb_height};
    const size_t len = xrgb ? static_cast<size_t>(m.fb_width ? m.fb_width : m.width) *
                                  static_cast<size_t>(m.fb_height ? m.fb_height : m.height) * 4
                            : 0;
    return call(kModeset, card, a, 6, xrgb, len, nullptr, 0);
}

int RemoteControl::set_format(int card, uint32_t format) {
    int32_t a[] = {static_cast<int32_t>(format)};
    return call(kSetFormat, card, a, 1, nullptr, 0, nullptr, 0);
}

int RemoteControl::output_off(int card) {
    return call(kOutputOff, card, nullptr, 0, nullptr, 0, nullptr, 0);
}

int RemoteControl::dpms(int card, int mode) {
    int32_t a[] = {mode};
    return call(kDpms, card, a, 1, nullptr, 0, nullptr, 0);
}

int RemoteControl::paint(int card, int x, int y, int w, int h, const uint32_t *px, int stride_px) {
    if (w <= 0 || h <= 0) return 0;
    const Rect r{x, y, x + w, y + h};
    if (stride_px == w) return paint_rects(card, &r, 1, px);
    std::vector<uint32_t> packed(static_cast<size_t>(w) * h);
    for (int row = 0; row < h; ++row)
        std::copy(px + static_cast<size_t>(row) * stride_px,
                  px + static_cast<size_t>(row) * stride_px + w,
                  packed.begin() + static_cast<ptrdiff_t>(row) * w);
    return paint_rects(card, &r, 1, packed.data());
}

// Payload: the rectangles (four int32 each), then their pixels in turn.
int RemoteControl::paint_rects(int card, const Rect *rects, int count, const uint32_t *packed) {
    if (count <= 0) return 0;
    size_t pixels = 0;
    for (int i = 0; i < count; ++i)
        pixels += static_cast<size_t>(std::max(rects[i].x2 - rects[i].x1, 0)) *
                  static_cast<size_t>(std::max(rects[i].y2 - rects[i].y1, 0));
    std::vector<uint8_t> payload(sizeof(Rect) * static_cast<size_t>(count) + pixels * 4);
    std::memcpy(payload.data(), rects, sizeof(Rect) * static_cast<size_t>(count));
    if (pixels) std::memcpy(payload.data() + sizeof(Rect) * count, packed, pixels * 4);
    int32_t a[] = {count};
    return call(kPaintRects, card, a, 1, payload.data(), payload.size(), nullptr, 0);
}

int RemoteControl::cursor_set(int card, int hot_x, int hot_y, int w, int h, bool enabled,
                              const uint32_t *argb) {
    int32_t a[] = {hot_x, hot_y, w, h, enabled ? 1 : 0};
    size_t len = enabled && w > 0 && h > 0 ? static_cast<size_t>(w) * h * 4 : 0;
    return call(kCursorSet, card, a, 5, argb, len, nullptr, 0);
}

int RemoteControl::cursor_move(int card, int x, int y) {
    int32_t a[] = {x, y};
    return call(kCursorMove, card, a, 2, nullptr, 0, nullptr, 0);
}

int RemoteControl::fail_next(Op op, int err, int count) {
    int32_t a[] = {static_cast<int32_t>(op), err, count};
    return call(kFailNext, -1, a, 3, nullptr, 0, nullptr, 0);
}

int RemoteControl::read_screen(int card, uint32_t *out, size_t cap_px) {
    return call(kReadScreen, card, nullptr, 0, nullptr, 0, out, cap_px * 4);
}

int RemoteControl::reset_commit_waits(int card) {
    return call(kResetCommitWaits, card, nullptr, 0, nullptr, 0, nullptr, 0);
}

int RemoteControl::set_leniency(uint32_t flags) {
    int32_t a[] = {static_cast<int32_t>(flags)};
    return call(kLeniency, -1, a, 1, nullptr, 0, nullptr, 0);
}

int RemoteControl::usbfs_clock(UsbfsClock *out) {
    *out = UsbfsClock{};
    return call(kUsbfsClock, -1, nullptr, 0, nullptr, 0, out, sizeof(*out));
}

}  // namespace evdiemu
