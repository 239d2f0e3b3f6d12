// Emulated EVDI kernel interface: controls of the virtual outputs that the
// real, unmodified libevdi opens through the interposer libtorvel-evdi-emu.so.
//
// API summary
//   evdiemu::Control           the operations a display server would perform on
//                              the virtual outputs (modeset, DPMS, painting, the
//                              cursor), fault injection and observation.
//   evdiemu::local()           the emulator of this process; only in a process
//                              that loads libtorvel-evdi-emu.so (preloaded, or
//                              linked first: see evdi/CMakeLists.txt).
//   evdiemu::RemoteControl     the same operations from another process, over
//                              the control socket (library torvel_evdi_control):
//                              listen() before starting the program with
//                              TORVEL_EVDI_CONTROL=<socket path> in its
//                              environment, accept() once it runs.
//
// Outputs are addressed by their index in creation order (0, 1, ...); the
// device node of output i is /dev/dri/card<CardState::number>, numbered from
// 47 up (TORVEL_EVDI_CARD_BASE overrides) so that libevdi's search for a
// display server never confuses them with real cards. Every call returns 0
// (or a count) on success and -errno on failure.
//
// Running a program under it (and under the emulated USB devices too):
//   separate process, as torvel-sim does it:
//     LD_PRELOAD=[libasan.so.8:|libtsan.so.2:]<build>/testbed/evdi/libtorvel-evdi-emu.so:libumockdev-preload.so.0
//     UMOCKDEV_DIR=<testbed root> TORVEL_EVDI_CONTROL=<socket> program
//   (a sanitizer runtime first whenever the program or this library was built
//   with one: a ThreadSanitizer build of this library preloaded into a plain
//   program dies at start without libtsan in front);
//   (the interposer must come before umockdev's preload: that one calls libc
//   directly and never hands a call on); one process (gtest):
//     torvel_add_test(... LINK_FIRST torvel-evdi-emu [PRELOAD_UMOCKDEV] ...)
//
// Environment read by the interposer: TORVEL_EVDI_CONTROL (control socket to
// connect to; removed from the environment so that children do not inherit
// it), TORVEL_EVDI_ROOT (directory for the private sysfs/dev tree, default
// $TMPDIR or /tmp), TORVEL_EVDI_CARD_BASE. torvel-sim hands the card base on
// to the program: two runs at once with two-digit bases 16 apart never take
// each other's cards for ones with a display server (libevdi matches the
// node's path as a substring of what other processes hold open).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace evdiemu {

// Calls that fail_next() can make fail. Connect and Disconnect are the same
// ioctl told apart by its `connected` field.
enum class Op : int {
    Open,  // open() of the card node
    Add,   // writing the sysfs "add" attribute creates no card
    Connect,
    Disconnect,
    RequestUpdate,
    Grab,
    EnableCursor,
    Version,
    AuthMagic,
    DropMaster,
    MapDumb,
    Mmap,
    Count
};
const char *op_name(Op op);
bool op_from_name(std::string_view name, Op *op);

constexpr int kMaxOutputs = 16;
constexpr int kMaxRects = 16;
constexpr int kMaxCursor = 256;  // cursor images up to 256 x 256

struct Rect {
    int x1, y1, x2, y2;
};

struct CardState {
    int number;  // N of /dev/dri/cardN
    bool connected;
    bool cursor_events;          // the client enabled cursor events
    bool update_armed;           // an update was requested while nothing was dirty
    int width, height, refresh;  // 0 until a modeset; back to 0 at disconnect
    int dpms;                    // last DPMS state sent (0 on, 3 off), -1 none
    int dirty_rects;             // pending damage
    uint32_t edid_length;
    uint32_t pixel_area_limit, pixel_per_second_limit;
    uint64_t opens, connects, disconnects;
    uint64_t update_requests;  // request_update calls
    uint64_t updates_ready;    // update_ready events sent
    uint64_t grabs;            // successful grabs
    uint64_t grab_failures;
    uint64_t events_dropped;  // event queue full, or no connected file
    int last_grab_count;
    Rect last_grab[kMaxRects];
};

class Control {
  public:
    virtual ~Control() = default;
    // Fills up to `max` states (index order); returns the number of outputs.
    virtual int cards(CardState *out, int max) = 0;
    // Copies the EDID the client connected with; returns its length.
    virtual int edid(int card, uint8_t *out, size_t cap) = 0;
    // Sets the mode (whole screen dirty, cleared to black); sends DPMS on,
    // mode_changed, DPMS on. Needs a connected client.
    virtual int modeset(int card, int width, int height, int refresh) = 0;
    // Turns the output off: DPMS off twice.
    virtual int output_off(int card) = 0;
    virtual int dpms(int card, int mode) = 0;
    // Paints XRGB8888 pixels (`stride_px` pixels per source row) into the
    // screen and marks the rectangle dirty; sends update_ready when an update
    // is armed. The rectangle is clipped to the mode.
    virtual int paint(int card, int x, int y, int w, int h, const uint32_t *px, int stride_px) = 0;
    // ARGB8888 image of w x h (ignored when !enabled). With cursor events
    // enabled the client gets cursor events; otherwise the cursor is drawn
    // into grabbed pixels, as the kernel does.
    virtual int cursor_set(int card, int hot_x, int hot_y, int w, int h, bool enabled,
                           const uint32_t *argb) = 0;
    virtual int cursor_move(int card, int x, int y) = 0;
    // The next `count` calls of `op` (any output) fail with `err`.
    virtual int fail_next(Op op, int err, int count) = 0;
    // Copies the screen content (width x height pixels, rows packed).
    virtual int read_screen(int card, uint32_t *out, size_t cap_px) = 0;
};

Control &local();

// Client end of the control socket.
class RemoteControl final : public Control {
  public:
    RemoteControl() = default;
    ~RemoteControl() override;
    RemoteControl(const RemoteControl &) = delete;
    RemoteControl &operator=(const RemoteControl &) = delete;

    // Creates the listening socket at `path`; returns 0 or -errno.
    int listen(const std::string &path);
    // Waits up to `timeout_ms` for the program to connect; 0, or -ETIMEDOUT.
    int accept(int timeout_ms);
    bool is_connected() const;
    void close();

    int cards(CardState *out, int max) override;
    int edid(int card, uint8_t *out, size_t cap) override;
    int modeset(int card, int width, int height, int refresh) override;
    int output_off(int card) override;
    int dpms(int card, int mode) override;
    int paint(int card, int x, int y, int w, int h, const uint32_t *px, int stride_px) override;
    int cursor_set(int card, int hot_x, int hot_y, int w, int h, bool enabled,
                   const uint32_t *argb) override;
    int cursor_move(int card, int x, int y) override;
    int fail_next(Op op, int err, int count) override;
    int read_screen(int card, uint32_t *out, size_t cap_px) override;

  private:
    int call(uint32_t op, int card, const int32_t *args, int nargs, const void *payload,
             size_t payload_len, void *reply, size_t reply_cap);

    // One request at a time on the socket: the simplest exclusion for callers
    // on several threads (the painter and the test).
    std::mutex mu_;
    int listen_fd_ = -1;
    int fd_ = -1;
    std::string path_;
};

}  // namespace evdiemu
