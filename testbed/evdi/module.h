// The emulated EVDI module's state, shared by its parts as the module's own
// files share struct evdi_device:
//   drm_file.cpp   files of a card, the ioctl table, event delivery, mmap
//   painter.cpp    damage, update requests, grabs, held commits (evdi_painter.c)
//   modeset.cpp    CRTC, primary plane, framebuffers and their formats
//                  (evdi_modeset.c, evdi_fb.c, the DRM core's checks)
//   cursor.cpp     the cursor plane, its events and its blending (evdi_cursor.c)
//   cards.cpp      adding cards: the sysfs tree, the node, the holder
//                  (evdi_sysfs.c, evdi_platform_drv.c)
//   display.cpp    the display server's side: evdiemu::local()
// All of it sits behind one mutex: calls are short (the longest is a grab,
// about a millisecond for a full 1080p screen), and one lock keeps the event
// order of each card identical to the order of the calls that caused them.
// Every function here expects that lock held unless it says otherwise.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "evdi_abi.h"
#include "evdi_emu.h"

namespace evdiemu::internal {

namespace abi = evdiabi;
using Clock = std::chrono::steady_clock;

// A framebuffer the display server made, with its buffer object: pixels in
// the memory layout of `format`, rows packed (pitch 4 x width).
struct Framebuffer {
    int width = 0, height = 0;
    uint32_t format = abi::kFormatXrgb8888;
    std::vector<uint32_t> pixels;
};
using FbPtr = std::shared_ptr<Framebuffer>;

// The state a commit leaves on the CRTC and the primary plane.
struct CrtcState {
    bool enabled = false;  // has a mode
    bool active = false;
    int width = 0, height = 0, refresh = 0;
};
struct PlaneState {
    FbPtr fb;
    bool on_crtc = false;
    int src_width = 0, src_height = 0;  // the source evdi_plane_atomic_update set
};

// struct evdi_painter.
struct Painter {
    bool is_connected = false;
    int drm_filp = -1;  // file slot of the connected client, -1 none
    std::vector<uint8_t> edid;
    abi::ClipRect dirty_rects[abi::kMaxDirts] = {};
    int num_dirts = 0;
    FbPtr scanout_fb;
    bool was_update_requested = false;
    bool needs_full_modeset = true;
    // The CRTC's completion event held until the next grab (crtc, vblank).
    bool vblank_held = false;
    Clock::time_point held_since;
    // Events not yet taken by the file (pending_events), oldest first, in a
    // ring of fixed slots: at most kPendingEvents wait (the module's list has
    // no bound; the oldest goes when the ring is full).
    struct PendingEvent {
        uint8_t bytes[48];
        uint32_t length;
    };
    static constexpr int kPendingEvents = 256;
    PendingEvent pending_events[kPendingEvents];
    int pending_first = 0, pending_count = 0;
};

// struct evdi_cursor, with what the cursor plane shows.
struct Cursor {
    bool enabled = false;
    int32_t x = 0, y = 0;  // top left, on the CRTC
    uint32_t width = 0, height = 0;
    int32_t hot_x = 0, hot_y = 0;
    uint32_t pixel_format = abi::kFormatArgb8888;
    uint32_t stride = 0;
    FbPtr obj;  // the cursor plane's framebuffer, null when hidden
};

// Cursor buffer objects given out to the client by handle (cursor_set
// events), for DRM_IOCTL_MODE_MAP_DUMB and mmap.
struct DumbBuffer {
    uint32_t handle = 0;
    uint32_t length = 0;  // page-aligned, as GEM objects are
    FbPtr fb;
};
constexpr int kDumbRing = 4;

struct Card {
    bool exists = false;
    int number = 0;
    Painter painter;
    CrtcState crtc;
    PlaneState primary;
    Cursor cursor;
    // The display server's pointer: where it is and where the image's hot
    // spot lies; the cursor plane sits at pointer - hot spot.
    int pointer_x = 0, pointer_y = 0, pointer_hot_x = 0, pointer_hot_y = 0;
    bool cursor_events_enabled = false;
    uint32_t pixel_area_limit = 0, pixel_per_second_limit = 0;
    // The display server's second framebuffer (it flips between two) and
    // the rectangles it lacks: what the last flip painted into the other.
    FbPtr back;
    std::vector<abi::ClipRect> back_lacks;
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

// A commit that waited longer than this for its completion is a stall.
constexpr double kCommitStallMs = 1000.0;

constexpr int kMaxFiles = 64;
constexpr int kFdTable = 4096;
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
    uint32_t leniency = 0;
    std::atomic<int8_t> fd_file[kFdTable] = {};  // fd -> file slot + 1, lock-free lookup
    iovec local_iov[kIov];
    iovec remote_iov[kIov];
    // Emulator ends of released files, closed only when the ring wraps: a
    // thread still blocked in read() on a closed card descriptor stays
    // blocked, as it does on a DRM file (closing our end would wake it with
    // end of file).
    int released[kMaxFiles];
    int released_next = 0;
    Module();
};

Module &mod();
Card *card_at(int index);
bool take_fault(Op op);  // true (errno set) when an injected fault fires

// Copies to and from the client's memory: a bad pointer gives -EFAULT
// instead of a crash, as copy_to_user does.
int put_user(uint64_t dst, const void *src, size_t len);
int get_user(void *dst, uint64_t src, size_t len);
int put_user_pieces(const iovec *local, const iovec *remote, int n, size_t total);

// printk of the module: "evdi: [W] function:line text" lines in the kernel
// log stand-in. `level` is 'E', 'W' or 'I' (all shown at the default level).
void klog(char level, const char *function, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
#define EVDI_WARN(...) klog('W', __func__, __LINE__, __VA_ARGS__)
#define EVDI_ERROR(...) klog('E', __func__, __LINE__, __VA_ARGS__)
#define EVDI_INFO(...) klog('I', __func__, __LINE__, __VA_ARGS__)

// drm_file.cpp: an event for the card's connected file (queued when the file
// cannot take it yet, dropped when no file is connected).
void queue_event(Card &c, const void *event, size_t length);
void drop_pending_events(Card &c);

// painter.cpp
void painter_mark_dirty(Card &c, const abi::ClipRect &dirty_rect);
int painter_num_dirts(const Card &c);
abi::ClipRect painter_framebuffer_size(const Card &c);
void painter_set_scanout_buffer(Card &c, FbPtr fb);
void painter_set_vblank(Card &c, bool has_event);
void painter_send_update_ready_if_needed(Card &c);
void painter_dpms_notify(Card &c, int mode);
void painter_mode_changed_notify(Card &c, const CrtcState &mode);
int painter_connect(Card &c, int file, uint64_t edid, uint32_t edid_length, uint32_t area_limit,
                    uint32_t pps_limit);
int painter_disconnect(Card &c, int file);
int painter_request_update(Card &c);
int painter_grabpix(Card &c, uint64_t arg);

// modeset.cpp
// One atomic commit of the CRTC and the primary plane (the display server's
// mode sets, page flips and DPMS changes), with `damage` as the plane's
// damage clips.
struct Commit {
    CrtcState crtc;
    FbPtr fb;
    bool plane_on_crtc = false;
    const abi::ClipRect *damage = nullptr;
    int num_damage = 0;
};
void atomic_commit(Card &c, const Commit &commit);
// The display server turns off an output whose connector went away.
void output_disabled(Card &c);
bool format_supported(uint32_t format);
uint32_t from_xrgb(uint32_t xrgb, uint32_t format);
uint32_t to_xrgb(uint32_t pixel, uint32_t format);
// 0, or -EINVAL for a framebuffer size the mode configuration refuses.
int check_framebuffer_size(int width, int height);

// cursor.cpp
// A legacy cursor update of the display server: the cursor plane shows `fb`
// (null: hidden) with its top left at x, y.
void cursor_commit(Card &c, FbPtr fb, int x, int y);
// evdi_cursor_compose_and_copy: blends the cursor into a grab's buffer.
int cursor_compose_and_copy(const Card &c, const Framebuffer &fb, uint64_t buffer,
                            int buf_byte_stride);
// The cursor blended over one pixel as the module does (the alpha byte of
// the result is 0).
uint32_t cursor_blend(uint32_t fb_value, uint32_t cursor_value);
uint32_t new_gem_handle(Card &c, const FbPtr &fb, uint32_t *length);

}  // namespace evdiemu::internal
