// The emulator's end of the control socket: a thread that connects to the
// harness and answers its requests with the in-process controls.
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "control_protocol.h"
#include "emu_internal.h"
#include "evdi_emu.h"
#include "io_util.h"

namespace evdiemu::internal {

namespace {

using namespace evdiemu::wire;

bool reply(int fd, int status, const void *payload, size_t len) {
    Reply r{status, 0, len};
    return io::write_all(fd, &r, sizeof(r)) && (len == 0 || io::write_all(fd, payload, len));
}

void serve(int fd) {
    // The harness's work in the program's process (painting the desktop,
    // reading screens) goes by this name, so its CPU time can be told from
    // the program's own (torvel-sim's daemon_cpu.h).
    pthread_setname_np(pthread_self(), "evdi-control");
    Control &ctl = local();
    std::vector<uint32_t> in, out;
    UsbfsClock usbfs;
    Request q{};
    while (io::read_all(fd, &q, sizeof(q))) {
        if (q.magic != kMagic || q.payload_len > kMaxPayload) break;
        in.resize((q.payload_len + 3) / 4);
        if (q.payload_len && !io::read_all(fd, in.data(), q.payload_len)) break;
        const int32_t *a = q.args;
        int status = -EINVAL;
        const void *payload = nullptr;
        size_t payload_len = 0;
        switch (q.op) {
            case kCards: {
                static CardState states[kMaxOutputs];
                status = ctl.cards(states, kMaxOutputs);
                payload = states;
                payload_len = sizeof(CardState) * static_cast<size_t>(status > 0 ? status : 0);
                break;
            }
            case kEdid:
                out.resize(32768 / 4);
                status = ctl.edid(q.card, reinterpret_cast<uint8_t *>(out.data()), 32768);
                payload = out.data();
                payload_len = status > 0 ? static_cast<size_t>(status) : 0;
                break;
            case kModeset: {
                const ModeSet m{a[0], a[1], a[2], static_cast<uint32_t>(a[3]), a[4], a[5]};
                const uint64_t px = static_cast<uint64_t>(a[4] ? a[4] : a[0]) *
                                    static_cast<uint64_t>(a[5] ? a[5] : a[1]);
                if (q.payload_len == 0 || (a[0] > 0 && a[1] > 0 && px * 4 == q.payload_len))
                    status = ctl.modeset(q.card, m, q.payload_len ? in.data() : nullptr);
                break;
            }
            case kSetFormat:
                status = ctl.set_format(q.card, static_cast<uint32_t>(a[0]));
                break;
            case kOutputOff:
                status = ctl.output_off(q.card);
                break;
            case kDpms:
                status = ctl.dpms(q.card, a[0]);
                break;
            case kPaintRects: {
                const int count = a[0];
                const uint64_t head = sizeof(Rect) * static_cast<uint64_t>(count);
                if (count < 1 || count > 4096 || head > q.payload_len) break;
                const auto *rects = reinterpret_cast<const Rect *>(in.data());
                uint64_t pixels = 0;
                bool sane = true;
                for (int i = 0; i < count && sane; ++i) {
                    const int64_t w = rects[i].x2 - static_cast<int64_t>(rects[i].x1);
                    const int64_t h = rects[i].y2 - static_cast<int64_t>(rects[i].y1);
                    sane = w >= 0 && h >= 0 && w <= 8192 && h <= 8192;
                    pixels += sane ? static_cast<uint64_t>(w * h) : 0;
                }
                if (sane && head + pixels * 4 == q.payload_len)
                    status = ctl.paint_rects(q.card, rects, count, in.data() + head / 4);
                break;
            }
            case kCursorSet:
                if (!a[4] || (a[2] > 0 && a[3] > 0 &&
                              static_cast<uint64_t>(a[2]) * static_cast<uint64_t>(a[3]) * 4 ==
                                  q.payload_len))
                    status = ctl.cursor_set(q.card, a[0], a[1], a[2], a[3], a[4] != 0, in.data());
                break;
            case kCursorMove:
                status = ctl.cursor_move(q.card, a[0], a[1]);
                break;
            case kFailNext:
                status = ctl.fail_next(static_cast<Op>(a[0]), a[1], a[2]);
                break;
            case kResetCommitWaits:
                status = ctl.reset_commit_waits(q.card);
                break;
            case kLeniency:
                status = ctl.set_leniency(static_cast<uint32_t>(a[0]));
                break;
            case kUsbfsClock:
                status = ctl.usbfs_clock(&usbfs);
                payload = &usbfs;
                payload_len = sizeof(usbfs);
                break;
            case kReadScreen: {
                CardState states[kMaxOutputs];
                int n = ctl.cards(states, kMaxOutputs);
                status = -ENODEV;
                if (q.card >= 0 && q.card < n) {
                    out.resize(static_cast<size_t>(states[q.card].width) * states[q.card].height);
                    status = ctl.read_screen(q.card, out.data(), out.size());
                    payload = out.data();
                    payload_len = status > 0 ? std::min<size_t>(status, out.size()) * 4 : 0;
                }
                break;
            }
            default:
                break;
        }
        if (!reply(fd, status, payload, payload_len)) break;
    }
    ::close(fd);
}

}  // namespace

void start_control_thread(const char *socket_path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", socket_path);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        std::fprintf(stderr, "[evdi-emu] cannot reach the control socket %s: %s\n", socket_path,
                     std::strerror(errno));
        ::close(fd);
        return;
    }
    // Runs for the life of the process; ends when the harness closes its end.
    std::thread(serve, fd).detach();
}

}  // namespace evdiemu::internal
