// torvel-sim: runs a display daemon between the emulated USB display devices
// (testbed/usb_device) and the emulated EVDI module (testbed/evdi), playing
// the desktop on the virtual outputs, and reports what each device showed.
//
// API summary (library torvel_sim; a gtest binary using it is built with
// torvel_add_test(... PRELOAD_UMOCKDEV LIBS torvel_sim): the harness process
// must run with the umockdev preload)
//   Options / parse_args / parse_device / parse_script   the command line
//   Sim::create(options)      sets up the devices, the control socket, the
//                             fake xrandr and xrefresh and the private
//                             /var/tmp content
//   sim->start()              forks and execs options.command in a private
//                             mount namespace under both emulations; the
//                             desktop thread then answers each new output with
//                             mode sets (the EDID's preferred mode, then
//                             options.width x options.height) and paints the
//                             content
//   waiting (bounded, true when met):
//     wait_until(pred, timeout), wait_output(dev), wait_resolution(dev, w, h),
//     wait_frames(dev, n), wait_update_requested(dev), wait_exit(timeout)
//   acting: plug/unplug/add_device, set_orientation, set_mirror, dpms,
//     output_off/output_on, set_mode, set_format, pan, move_cursor, paint
//     (own content; stops the scene on that output), freeze (keep the content
//     and the cursor still), fail_evdi (inject an ioctl fault), device(i) and
//     evdi() for anything else. Every action on an output first waits, as a
//     display server does, until the output's last commit has completed.
//   observation: output_of(dev) (virtual output index serving device dev, or
//     -1), xrandr_commands(), xrandr_environments(), xrefresh_runs(),
//     daemon_log(), kernel_log(), identity_file()
//   ending: stop() (SIGINT, wait), capture() (screens and device frames, call
//     while the daemon still runs), write_outputs(report) (screen-N.png,
//     device-N.png, report.json and kernel.log in options.out_dir; the
//     daemon's output is daemon.log there)
//   run()                     the whole program: start, script, content still
//                             for the last second, capture, SIGINT, report.
//
// The desktop behaves as a display server on the EVDI module does: each
// output's next commit (paint, mode set, DPMS change, cursor move) waits
// until its last one has completed, which the module holds back while damage
// is pending until the program grabs (at most 10 s, the kernel's own limit);
// it paints by page flips with damage rectangles; it repaints only when
// xrefresh asks it to (or with Options::repaint_after_modeset); and its
// cursor is drawn into the grabs unless the program takes cursor events.
//
// Devices are numbered by their --device option from 0. A device is mapped to
// the virtual output whose client connected with that device's EDID (each
// emulated device gets a distinct EDID serial number).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "evdi_emu.h"
#include "usb_device_emulator.h"
#include "workload.h"

namespace torvel::sim {

using std::chrono::milliseconds;

struct DeviceSpec {
    int model = 0;  // PRODUCT_ID index 0..5 (4: the rotating model)
    std::optional<uint32_t> id;
    uint8_t feature = 0, orientation = 0, mirror = 0;
};

// kScene: the animated desktop; kMotion: full-screen natural motion
// (MotionScene); kWorkload: a workload of desktop use (workload.h); kPng: a
// still picture; kXvfb: a real X server's screen.
enum class ContentKind { kScene, kMotion, kWorkload, kPng, kXvfb };

struct Options {
    std::vector<DeviceSpec> devices;
    int width = 1920, height = 1080;
    uint32_t format = evdiemu::kXR24;  // the plane's pixel format
    ContentKind content = ContentKind::kScene;
    Workload workload = Workload::kStill;  // for kWorkload
    double paint_hz = 1000.0 / 30;         // the desktop's commits a second at most
    std::string png_path;
    std::string script_path;
    double seconds = 10;
    std::optional<std::string> id_file;  // initial identity file content comes from here
    std::string out_dir;                 // empty: nothing written
    std::vector<std::string> command;
    // libtorvel-evdi-emu.so; default: the one built with this library
    // (TORVEL_EVDI_EMU_LIB in the environment overrides).
    std::string evdi_library;
    // Answer new outputs with a modeset and paint content (the desktop).
    bool desktop = true;
    // Directories put in the program's PATH before the harness's own (which
    // holds the fake xrandr): a session helper found there runs the fake.
    std::string path_prefix;
    // The USB stack: usbcore's usbfs_memory_mb (0: no limit), hosts without
    // scatter-gather, the link's rate in MB/s (10^6 bytes; 0: no limit), and
    // devices (by --device index) whose interface 0 another program holds
    // or a kernel driver is bound to.
    unsigned usbfs_memory_mb = 16;
    bool no_sg = false;
    double link_mbps = 0;
    std::vector<int> interface_busy;
    std::vector<int> kernel_driver;
    // Seconds after a card appears until the stand-in display server opens
    // it (0 to 5); negative: it never does.
    double holder_delay = 0.5;
    // Kinder worlds, each for the test that needs one:
    bool edid_mode_first = true;         // a new output first gets its EDID's mode
    bool cursor = true;                  // the scene shows and moves a cursor
    bool repaint_after_modeset = false;  // the desktop repaints after each mode set
    uint32_t leniency = 0;               // evdiemu::Leniency flags for the module
    // The benchmark (run() only): once every device streams, the program's
    // own CPU time, the frames each device shows (those that showed a new
    // paint, or where nothing is painted, its streams) and the time from a
    // paint to its decode are measured for this many seconds (0: not measured);
    // each paint then carries a frame tag (frame_tag.h). run() prints
    // "measured: fps=F cpu_pct_per_device=C latency_p50_ms=L50
    // latency_p99_ms=L99 bytes_per_frame=B" and ends.
    double measure_seconds = 0;
    // The devices decode only the block of the frame tag: every stream is
    // still validated, but JPEG decoding, whose cost would dominate the
    // machine, is left out.
    bool decode_tag_only = false;
};

// "MODEL[:id=0xHEX][:feature=N][:orient=N][:mirror=N]", MODEL 0..5 or "rotating".
bool parse_device(std::string_view text, DeviceSpec *out, std::string *error);
// Returns false with a one-line error; `*help` is set for --help.
bool parse_args(int argc, const char *const *argv, Options *out, std::string *error,
                bool *help = nullptr);
const char *usage();

// Timed events, one per line "T ACTION ARGS" (T in seconds from the start;
// '#' starts a comment):
//   T plug DEV | T unplug DEV | T add DEVICE        (DEVICE as for --device)
//   T rotate DEV ORIENT | T mirror DEV 0|1 | T feature DEV N
//   T dpms off|on|standby|suspend [DEV]               (the CRTC off or on: the
//                                                     module reports off for all three)
//   T output off|on [DEV]                             (off: DPMS off twice; on: a mode
//                                                     set at the output's mode)
//   T mode WxH [DEV]
//   T format XR24|AR24|XB24|AB24 [DEV]                (the same picture in that format)
//   T pan WxH [DEV]                                   (a framebuffer of WxH at the same
//                                                     mode; WxH of the mode ends panning)
//   T cursor X Y [DEV]                                (the pointer to X, Y; the scene no
//                                                     longer moves it on that output)
//   T fault evdi OP ERRNO [COUNT]                     (OP as evdiemu::op_name, ERRNO a
//                                                     name like EIO or a number)
//   T fault usb DEV bulk error|timeout|stall|nodevice|partial [COUNT]
//   T fault usb DEV control REQ stall|timeout|short|empty [COUNT]
//   T freeze | T unfreeze
// DEV without a value means every device.
struct ScriptEvent {
    double at = 0;
    std::vector<std::string> words;  // the action and its arguments
    int line = 0;
};
bool parse_script(std::string_view text, std::vector<ScriptEvent> *out, std::string *error);

struct DeviceReport {
    int index = 0;
    uint16_t product_id = 0;
    int output = -1;  // virtual output serving it, -1 none
    std::vector<testbed::Resolution> resolutions;
    uint64_t frames = 0, transfers = 0, bytes = 0, blocks = 0;
    uint64_t format_errors = 0, decode_errors = 0;
    std::vector<std::string> violations;  // the device's last few violation lines
    // The USB stack as the device met it.
    uint64_t submit_nomem = 0, partial_transfers = 0, unclaimed_bulk = 0;
    uint64_t halts = 0, clear_halts = 0, failed_transfers = 0;
    // Delivered while it streamed (first to last decoded frame).
    double frames_per_second = 0, bytes_per_second = 0;
    uint32_t device_id = 0xffffffffu;
    // PSNR of what the device shows against its screen (turned by 180° or
    // mirrored as the device's state asks); 100 for identical frames, -1
    // when there is nothing to compare.
    double psnr = -1;
    bool display_off = false;  // at capture, as the pictures: its last SetResolution was 0 x 0
    std::string transform;     // "none", "rotate180" or "mirror"
    int card = -1;             // N of the /dev/dri/cardN serving it, -1 none
    std::vector<std::string> xrandr;  // commands naming its output
    testbed::FrameBuffer screen, shown;
};

struct Report {
    bool exited = false;       // the daemon ended (by itself or after SIGINT)
    int exit_status = -1;      // its status, or -1
    int signal = 0;            // the signal that ended it, if any
    bool ended_early = false;  // ended before --seconds
    double ended_at = -1;      // when it ended early: seconds from the start
    // How late the latest script line started (torvel-sim slowed down by a
    // line before it), and the lines never run before the end.
    double script_late = 0;
    int script_unrun = 0;
    std::vector<DeviceReport> devices;
    std::vector<std::string> xrandr;  // every command, in order
    std::vector<evdiemu::CardState> outputs;
    std::string identity_file;  // content at the end
    std::string kernel_log;     // the module's log lines, as at capture()
};

class Sim {
  public:
    static std::unique_ptr<Sim> create(const Options &options, std::string *error);
    virtual ~Sim() = default;

    virtual bool start(std::string *error) = 0;
    virtual bool running() = 0;

    virtual bool wait_until(const std::function<bool()> &done, milliseconds timeout) = 0;
    virtual bool wait_output(int dev, milliseconds timeout) = 0;  // mode set on its output
    virtual bool wait_resolution(int dev, int width, int height, milliseconds timeout) = 0;
    virtual bool wait_frames(int dev, uint64_t frames, milliseconds timeout) = 0;
    virtual bool wait_update_requested(int dev, milliseconds timeout) = 0;  // armed
    virtual bool wait_exit(milliseconds timeout) = 0;

    virtual bool plug(int dev) = 0;
    virtual void unplug(int dev) = 0;
    virtual int add_device(const DeviceSpec &req, std::string *error) = 0;  // index or -1
    virtual void set_orientation(int dev, uint8_t orientation) = 0;
    virtual void set_mirror(int dev, uint8_t mirror) = 0;
    virtual int dpms(int dev, int mode) = 0;  // -errno when the device has no output
    virtual int output_off(int dev) = 0;
    virtual int output_on(int dev) = 0;  // a mode set at the output's last mode
    virtual int set_mode(int dev, int width, int height) = 0;  // also the mode for later outputs
    virtual int set_format(int dev, uint32_t format) = 0;
    // A framebuffer of fb_width x fb_height at the current mode (panning).
    virtual int pan(int dev, int fb_width, int fb_height) = 0;
    // The pointer to x, y; the scene no longer moves it on that output.
    virtual int move_cursor(int dev, int x, int y) = 0;
    virtual int paint(int dev, int x, int y, int w, int h, const uint32_t *xrgb) = 0;
    virtual void freeze(bool still) = 0;
    virtual int fail_evdi(evdiemu::Op op, int err, int count) = 0;

    virtual testbed::EmulatedDevice *device(int dev) = 0;
    virtual testbed::UsbTestbed &usb() = 0;
    virtual evdiemu::Control &evdi() = 0;
    virtual int output_of(int dev) = 0;
    virtual std::vector<std::string> xrandr_commands() = 0;
    // "DISPLAY=... XAUTHORITY=..." as each xrandr call saw them, in order.
    virtual std::vector<std::string> xrandr_environments() = 0;
    virtual int xrefresh_runs() = 0;  // times the program ran xrefresh
    virtual std::string daemon_log() = 0;
    virtual std::string kernel_log() = 0;  // the module's log lines
    virtual std::string identity_file() = 0;
    // The program's process id once started (it stays valid until the
    // program has been reaped), else -1.
    virtual pid_t pid() = 0;

    // SIGINT, then waits (SIGKILL after `timeout`); returns the exit status,
    // or -1 when a signal ended it.
    virtual int stop(milliseconds timeout) = 0;
    // Screens and device frames, PSNR; call while the daemon still runs.
    virtual Report capture() = 0;
    // Completes `report` with the daemon's end and writes the files.
    virtual bool write_outputs(Report &report, std::string *error) = 0;
    // The program: returns 0, or 1 with `error` set.
    virtual int run(std::string *error) = 0;
};

}  // namespace torvel::sim
