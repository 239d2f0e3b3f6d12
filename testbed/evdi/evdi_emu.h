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
// $TMPDIR or /tmp), TORVEL_EVDI_CARD_BASE, TORVEL_EVDI_HOLDER_DELAY (seconds,
// 0 to 5, default 0.5, after which the stand-in display server opens a new
// card; "none": no process ever does, and libevdi waits out its five
// seconds). torvel-sim hands the card base on to the program: two runs at
// once with two-digit bases 16 apart never take each other's cards for ones
// with a display server (libevdi matches the node's path as a substring of
// what other processes hold open).
//
// The module's log lines (its warnings at the default log level, a few of
// its informational ones) go to <private tree>/kernel.log, the stand-in for
// the kernel log.
#pragma once

#include <atomic>
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

// Pixel formats of the primary plane (fourcc codes; all 32 bits per pixel).
constexpr uint32_t kXR24 = 0x34325258;  // bytes B, G, R, unused
constexpr uint32_t kAR24 = 0x34325241;  // bytes B, G, R, A
constexpr uint32_t kXB24 = 0x34324258;  // bytes R, G, B, unused
constexpr uint32_t kAB24 = 0x34324241;  // bytes R, G, B, A
// "XR24" and the like; false for a format the planes do not take.
bool format_from_name(std::string_view name, uint32_t *format);

struct Rect {
    int x1, y1, x2, y2;
};

// A mode set by the display server: the CRTC's mode and the new framebuffer
// scanned out at it. A framebuffer larger than the mode is a panning
// screen, of which the mode shows the top left part.
struct ModeSet {
    int width = 0, height = 0, refresh = 60;
    uint32_t format = kXR24;
    int fb_width = 0, fb_height = 0;  // 0: the mode's size
};

// Behaviours a test may switch off when it needs a kinder world than the
// module's (set_leniency); none is off by default.
enum Leniency : uint32_t {
    // Framebuffers of any size from 1 x 1, not only the 64 x 64 to
    // 7680 x 4320 the module's mode configuration takes.
    kAnyFramebufferSize = 1u << 0,
};

struct CardState {
    int number;  // N of /dev/dri/cardN
    bool connected;
    bool cursor_events;          // the client enabled cursor events
    bool update_armed;           // an update was requested while nothing was dirty
    int width, height, refresh;  // the CRTC's mode; 0 while the output is off
    int fb_width, fb_height;     // the scanned-out framebuffer
    uint32_t pixel_format;       // its format (fourcc), 0 while there is none
    bool crtc_active;            // false after DPMS off
    int dpms;                    // last DPMS state sent (0 on, 3 off), -1 none
    int dirty_rects;             // pending damage
    uint32_t edid_length;
    uint32_t pixel_area_limit, pixel_per_second_limit;
    uint64_t opens, connects, disconnects;
    uint64_t update_requests;            // request_update calls
    uint64_t redundant_update_requests;  // of those, made while one was armed
    uint64_t updates_ready;              // update_ready events sent
    uint64_t grabs;                      // successful grabs
    uint64_t grab_failures;
    uint64_t events_dropped;  // sent while no file was connected, or 256 waited
    // Commits of the display server whose completion waited for a grab
    // (evdi_painter_set_vblank holds it while damage is pending): the one
    // held now, the longest wait, and the waits over one second. A held
    // commit counts with its age so far.
    bool commit_pending;
    double commit_held_ms;  // how long the one held now has waited, 0 none
    double commit_wait_max_ms;
    uint64_t commit_stalls;
    uint64_t commits;  // commits the display server made
    bool cursor_visible;
    int cursor_x, cursor_y;  // top left of the cursor image on the screen
    int last_grab_count;
    Rect last_grab[kMaxRects];
};

// The thread CPU time the program spent in usbfs ioctls (type 'U') on
// their way through this interposer to umockdev's, and how many there were.
struct UsbfsClock {
    int64_t cpu_ns = 0;
    uint64_t calls = 0;
};

class Control {
  public:
    virtual ~Control() = default;
    // Fills up to `max` states (index order); returns the number of outputs.
    virtual int cards(CardState *out, int max) = 0;
    // Copies the EDID the client connected with; returns its length.
    virtual int edid(int card, uint8_t *out, size_t cap) = 0;
    // A mode set: the CRTC on at `m`, scanning out a new framebuffer that
    // holds `xrgb` (fb_width x fb_height pixels 0x00RRGGBB, rows packed;
    // null: zeros). At the size and format of the current framebuffer and
    // without `xrgb`, the display server keeps its framebuffer and what it
    // shows. Events as the module sends them: on the first enable DPMS on,
    // mode_changed, DPMS on; a mode change while on, mode_changed only.
    // Needs a connected client.
    virtual int modeset(int card, const ModeSet &m, const uint32_t *xrgb) = 0;
    int modeset(int card, int width, int height, int refresh) {
        return modeset(card, ModeSet{width, height, refresh}, nullptr);
    }
    // The same picture in a new framebuffer of another format, at the same
    // mode: mode_changed (and DPMS on) again at the same size.
    virtual int set_format(int card, uint32_t format) = 0;
    // Turns the output off (the CRTC and the plane): DPMS off twice.
    virtual int output_off(int card) = 0;
    // DPMS: 0 on, anything else off (an atomic CRTC knows only active or
    // not, so the module never reports standby or suspend).
    virtual int dpms(int card, int mode) = 0;
    // Paints XRGB pixels (`stride_px` pixels per source row) at x, y of the
    // framebuffer and commits them as a page flip with that damage. The
    // rectangle is clipped to the framebuffer.
    virtual int paint(int card, int x, int y, int w, int h, const uint32_t *px, int stride_px) = 0;
    // One page flip with several damage rectangles; `packed` holds each
    // rectangle's pixels in turn, rows packed.
    virtual int paint_rects(int card, const Rect *rects, int count, const uint32_t *packed) = 0;
    // The cursor plane: an ARGB8888 image of w x h whose hot spot x, y sits
    // at the pointer (ignored when !enabled). With cursor events enabled the
    // client gets cursor events; otherwise each change marks the whole
    // framebuffer dirty and grabs blend the cursor in, as the module does.
    virtual int cursor_set(int card, int hot_x, int hot_y, int w, int h, bool enabled,
                           const uint32_t *argb) = 0;
    // Moves the pointer to x, y.
    virtual int cursor_move(int card, int x, int y) = 0;
    // The next `count` calls of `op` (any output) fail with `err`.
    virtual int fail_next(Op op, int err, int count) = 0;
    // The part of the framebuffer the mode shows, as 0x00RRGGBB (width x
    // height pixels, rows packed), with a visible cursor blended in as grabs
    // blend it: what a device should show, whether the module draws the
    // cursor or the client does (cursor events).
    virtual int read_screen(int card, uint32_t *out, size_t cap_px) = 0;
    // Leniency flags (all outputs); returns the previous ones.
    virtual int set_leniency(uint32_t flags) = 0;
    // Starts the card's longest commit wait and stall count afresh (a commit
    // held now counts from when it began).
    virtual int reset_commit_waits(int card) = 0;
    // The program's usbfs clock so far (see UsbfsClock).
    virtual int usbfs_clock(UsbfsClock *out) = 0;
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
    using Control::modeset;
    int modeset(int card, const ModeSet &m, const uint32_t *xrgb) override;
    int set_format(int card, uint32_t format) override;
    int output_off(int card) override;
    int dpms(int card, int mode) override;
    int paint(int card, int x, int y, int w, int h, const uint32_t *px, int stride_px) override;
    int paint_rects(int card, const Rect *rects, int count, const uint32_t *packed) override;
    int cursor_set(int card, int hot_x, int hot_y, int w, int h, bool enabled,
                   const uint32_t *argb) override;
    int cursor_move(int card, int x, int y) override;
    int fail_next(Op op, int err, int count) override;
    int read_screen(int card, uint32_t *out, size_t cap_px) override;
    int set_leniency(uint32_t flags) override;
    int reset_commit_waits(int card) override;
    int usbfs_clock(UsbfsClock *out) override;

  private:
    int call(uint32_t op, int card, const int32_t *args, int nargs, const void *payload,
             size_t payload_len, void *reply, size_t reply_cap);

    // One request at a time on the socket: the simplest exclusion for callers
    // on several threads (the painter and the test).
    std::mutex mu_;
    int listen_fd_ = -1;
    // Written under mu_; atomic so that is_connected() may look without it
    // while another thread's call() waits for a reply.
    std::atomic<int> fd_{-1};
    std::string path_;
};

}  // namespace evdiemu
