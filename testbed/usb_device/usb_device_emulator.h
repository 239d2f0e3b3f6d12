// Emulated USB display devices for the real, unmodified libusb-1.0, built on
// umockdev: a fake sysfs with udev uevents for discovery and hot-plug, and a
// usbdevfs ioctl handler that answers the vendor control requests and takes
// the bulk frame stream on endpoint 0x01, which it validates and decodes
// exactly as the device would.
//
// Library: torvel_usb_device (links umockdev, torvel_stream_decoder and
// torvel_ids).
//
// Two ways to run a client against it:
//  - Same process: the binary links libumockdev-preload first (tests:
//    torvel_add_test(... PRELOAD_UMOCKDEV)); create the UsbTestbed before
//    libusb_init.
//  - Separate processes: the harness owns the UsbTestbed and starts the
//    program under test with LD_PRELOAD=...:libumockdev-preload.so.0 and
//    UMOCKDEV_DIR=<UsbTestbed::root_dir()> (see child_environment()). The
//    harness itself must run with the preload too, or hot-plug uevents never
//    reach the client. A client built with AddressSanitizer then needs
//    ASAN_OPTIONS=...:verify_asan_link_order=0 (or libasan first in
//    LD_PRELOAD): the preload otherwise comes before the sanitizer runtime
//    and the client aborts at start.
//
// Rules that follow from umockdev (0.17) and are enforced or documented here:
//  - One UsbTestbed per process (UMOCKDEV_DIR is process-wide). Inside a
//    preloaded process all of /sys is the fake one and ioctls on real /dev
//    files fail with ENOTTY.
//  - A process intercepts at most 50 device file descriptors.
//  - Device model callbacks run on umockdev's single worker thread and never
//    block; delays are timers on the device's own service thread.
//  - The testbed is only torn down when no client holds a device open (a
//    client whose device handler vanishes is aborted by umockdev): the
//    destructor waits up to 2 s for clients to close, then leaves the
//    testbed in place with a message on standard error.
//  - The device node is a symbolic link to a pseudo-terminal whose output is
//    stopped while no URB waits to be reaped: libusb polls it for POLLOUT,
//    so an idle event loop sleeps, and an unplug hangs it up, which reports
//    POLLERR | POLLHUP as usbdev_poll does for a removed device. Two clients
//    on one device wake each other until the owner reaps. A client that is
//    a session leader without a controlling terminal would take the node as
//    its terminal (and get SIGHUP at an unplug): run clients as ordinary
//    children, as ctest and torvel-sim do.
//
// Thread safety: every public member of UsbTestbed and EmulatedDevice may be
// called from any thread. EmulatedDevice objects live as long as their
// UsbTestbed (an unplugged device keeps its state and can be plugged again).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stream_decoder.h"

namespace torvel::testbed {

// The daemon serves up to four devices; more may be plugged (to test that a
// fifth is ignored). The preload intercepts at most 50 device files per
// client process, which bounds how many devices one client can open.
inline constexpr int kMaxDevices = 4;
inline constexpr int kMaxPluggedDevices = 8;
inline constexpr int kMaxEmulatedDevices = 64;  // created over a testbed's life
inline constexpr uint8_t kBulkEndpoint = 0x01;
inline constexpr const char *kPreloadLibrary = "libumockdev-preload.so.0";

// Vendor request codes (bRequest) the device answers. Request type 0xC1 for
// device-to-host, 0x41 for host-to-device; wIndex 0.
namespace request {
inline constexpr uint8_t kGetStatus = 0x40;          // in, wValue 0, wLength 2
inline constexpr uint8_t kGetEdid = 0x41;            // in, wValue 0/wLength 2 = size,
                                                     //     wValue bank>=1/wLength 128 = block
inline constexpr uint8_t kGetMonitorOrient = 0x49;   // in, 1
inline constexpr uint8_t kGetDeviceId = 0x50;        // in, 4
inline constexpr uint8_t kGetProductType = 0x51;     // in, 1
inline constexpr uint8_t kGetMonitorFeature = 0x52;  // in, 1
inline constexpr uint8_t kGetMonitorMirror = 0x53;   // in, 1
inline constexpr uint8_t kSetResolution = 0x81;      // out, 4
inline constexpr uint8_t kGetResolution = 0x82;      // in, 4
inline constexpr uint8_t kSetQuantTable = 0x83;      // out, wValue index, wLength 138
inline constexpr uint8_t kSetDeviceId = 0x8F;        // out, 4
}  // namespace request

inline constexpr uint32_t kNoDeviceId = 0xFFFFFFFFu;

struct Resolution {
    uint16_t width = 0;
    uint16_t height = 0;
    bool operator==(const Resolution &) const = default;
};

// ---------------------------------------------------------------------------
// EDID
// ---------------------------------------------------------------------------

struct EdidOptions {
    int width = 1920;  // preferred (first detailed) timing, 60 Hz
    int height = 1080;
    bool extension_block = false;  // append a CEA-861 block; byte 126 = 1
};

// A valid EDID (128 bytes, or 256 with the extension) with correct checksums.
std::vector<uint8_t> make_edid(const EdidOptions &options = {});

// ---------------------------------------------------------------------------
// Device configuration
// ---------------------------------------------------------------------------

enum class InterfaceHolder {
    kNone,
    kKernelDriver,  // a kernel driver is bound (GETDRIVER names it; detachable)
    kOtherProgram,  // another program claimed it through usbfs (not detachable)
};

// The name GETDRIVER reports for a bound kernel driver.
inline constexpr const char *kKernelDriverName = "torvel_fb";

struct DeviceConfig {
    // Index into PRODUCT_ID (0..5; 4 is the rotating model). Ignored when
    // product_id is set.
    int model = 0;
    std::optional<uint16_t> product_id;  // e.g. a foreign id the daemon must ignore
    std::optional<uint16_t> vendor_id;   // default VENDOR_ID
    // Id answered by GetDeviceId until SetDeviceId stores another;
    // kNoDeviceId (FF FF FF FF) means "no id yet".
    uint32_t initial_id = kNoDeviceId;
    uint8_t feature = 0;       // GetMonitorFeature (MONITOR_TYPE_*)
    uint8_t orientation = 0;   // GetMonitorOrient (MONITOR_ROTATE_*)
    uint8_t mirror = 0;        // GetMonitorMirror (MIRROR_*)
    uint8_t product_type = 0;  // GetProductType
    // EDID banks: bank b (1, 2, ...) answers bytes 128 * (b - 1) ... Empty
    // means make_edid() (1920 x 1080, 128 bytes).
    std::vector<uint8_t> edid;
    std::optional<uint16_t> edid_size;  // what get_EDID_size answers (a lie if set)
    uint16_t failing_edid_bank = 0;     // this bank stalls (0 = none)
    // GetStatus answers: each poll takes the next value of busy_statuses,
    // then 0 (ready); with busy_forever every poll answers 1.
    std::vector<uint8_t> busy_statuses;
    bool busy_forever = false;
    uint8_t status_high_byte = 0;  // second status byte (carries no meaning)
    std::string serial;            // string descriptor 3; default "TVL<1000 + index>"
    // Bulk transfers accepted but not yet decoded; further transfers are
    // completed only when one is done (back-pressure, as a real device).
    // Decoding here is slower than a device's hardware (a whole 1920 x 1080
    // frame takes some 5-70 ms, by content and load); a small depth can hold
    // a client's transfers past its time-out, so the default is generous.
    int decode_queue_depth = 64;
    // Who holds interface 0 besides the clients of the node: a kernel driver
    // bound to it (libusb can detach it) or another program (EBUSY always).
    InterfaceHolder interface_holder = InterfaceHolder::kNone;
    // The host controller does scatter-gather (libusb then submits a bulk
    // transfer as one URB); without it libusb splits transfers into URBs of
    // 16 KiB.
    bool scatter_gather = true;
    // Bytes per second the link carries to the device; 0: no limit (the
    // device takes data as fast as the machine copies it).
    double link_bytes_per_second = 0;
    // StreamDecoder::set_decode_tag_only for this device's streams.
    bool decode_tag_only = false;
    // Called on the decoding thread after each transfer was drawn, with the
    // frame as it stands (valid during the call only; keep it short).
    std::function<void(const FrameBuffer &)> on_decoded;
};

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------

// A bulk fault acts on the next COUNT bulk URBs as the device meets them
// (in submission order, after the URBs before them).
enum class BulkFault {
    kError,     // URB status -EPROTO  -> LIBUSB_TRANSFER_ERROR
    kTimeout,   // the device never takes it; libusb cancels it -> LIBUSB_TRANSFER_TIMED_OUT
    kStall,     // the endpoint halts: this URB and every later one end with -EPIPE
                // (LIBUSB_TRANSFER_STALL) until USBDEVFS_CLEAR_HALT; COUNT is the
                // number of halts, one per URB met after each clear
    kNoDevice,  // -ENODEV             -> LIBUSB_TRANSFER_NO_DEVICE (device stays)
    kPartial,   // half of its data (in whole 512-byte packets) reaches the device,
                // then it hangs until libusb cancels it (TIMED_OUT, actual_length > 0)
};

enum class ControlFault {
    kStall,       // -EPIPE -> LIBUSB_ERROR_PIPE
    kTimeout,     // never completed -> LIBUSB_ERROR_TIMEOUT after the client's timeout
    kShortReply,  // in requests: only `short_length` bytes of the reply
    kEmptyReply,  // in requests: zero bytes; out requests: zero bytes taken
};

inline constexpr int kForever = -1;

// ---------------------------------------------------------------------------
// Observation
// ---------------------------------------------------------------------------

struct DeviceCounters {
    uint64_t transfers = 0;           // bulk URBs received (including failed ones)
    uint64_t bytes = 0;               // bytes of bulk data received
    uint64_t failed_transfers = 0;    // bulk URBs failed by a fault, cancelled or cut by unplug
    uint64_t frames = 0;              // transfers decoded without any format violation
    uint64_t blocks = 0;              // blocks decoded and drawn
    uint64_t format_errors = 0;       // format violations (lines), stream and control side
    uint64_t decode_errors = 0;       // blocks libjpeg-turbo rejected or warned about
    uint64_t control_requests = 0;    // control URBs received
    uint64_t stalls = 0;              // control requests answered with a stall
    uint64_t status_polls = 0;        // GetStatus requests answered
    uint64_t clear_halts = 0;         // USBDEVFS_CLEAR_HALT on any endpoint
    uint64_t clear_halts_active = 0;  // ... while URBs were pending on the endpoint
    uint64_t halts = 0;               // times the bulk endpoint halted (stall faults)
    uint64_t submit_nomem = 0;        // URBs refused with ENOMEM (usbfs memory limit)
    uint64_t partial_transfers = 0;   // transfers cut short after part of their data arrived
    uint64_t unclaimed_bulk = 0;      // bulk use without a claim of interface 0
    uint64_t bytes_delivered = 0;     // bulk bytes that reached the device
};

struct DeviceState {
    DeviceCounters counters;
    bool plugged = false;
    int open_clients = 0;    // device file descriptors held by clients
    int urbs_in_flight = 0;  // submitted, not yet reaped
    int decode_backlog = 0;  // accepted transfers not yet decoded
    uint32_t device_id = kNoDeviceId;
    std::vector<uint32_t> ids_set;            // every SetDeviceId, in order
    std::vector<Resolution> resolutions_set;  // every SetResolution (0 x 0 = display off)
    Resolution resolution;                    // last set
    bool display_off = false;                 // last SetResolution was 0 x 0
    int quant_index = -1;                     // index of the last SetQuantTable, -1 = none
    std::vector<uint8_t> quant_blob;          // its bytes
    std::vector<std::string> violations;      // the most recent 256 violation lines
    uint8_t feature = 0, orientation = 0, mirror = 0;
    bool halted = false;             // the bulk endpoint is halted
    bool interface_claimed = false;  // a client holds interface 0
    // When the first and the last frame were decoded (steady clock, µs;
    // 0 before the first).
    uint64_t first_frame_us = 0, last_frame_us = 0;
    uint64_t generation = 0;  // grows with every change
};

enum class EventKind {
    kPlugged,
    kUnplugged,
    kClientOpened,
    kClientClosed,
    kControl,      // any control request; `request`, `value` (wValue), `length` (wLength)
    kResolution,   // SetResolution; `resolution`
    kQuantTable,   // SetQuantTable; `value` = index
    kDeviceIdSet,  // SetDeviceId; `value` = id
    kBulk,         // bulk transfer received; `length` = bytes
    kFrame,        // transfer decoded; `length` = blocks drawn, `text` empty if clean
    kViolation,    // `text` = one violation line
};

struct Event {
    EventKind kind = EventKind::kControl;
    int device = -1;  // index in the testbed (order of add_device)
    uint8_t request = 0;
    uint32_t value = 0;
    uint32_t length = 0;
    Resolution resolution;
    std::string text;
};

const char *event_kind_name(EventKind kind);

// ---------------------------------------------------------------------------
// Devices and the testbed
// ---------------------------------------------------------------------------

class UsbTestbed;

class EmulatedDevice {
  public:
    virtual ~EmulatedDevice() = default;

    int index() const { return index_; }
    virtual uint16_t vendor_id() const = 0;
    virtual uint16_t product_id() const = 0;

    // Plugging. plug() gives the device a new bus address each time (as a
    // real bus does), writes its sysfs entry and device node and sends the
    // "add" uevent; the device id survives, the resolution, quantisation
    // tables and frame buffer start afresh. Fails when kMaxPluggedDevices
    // are plugged. unplug() completes every
    // in-flight URB as a disconnect does (the one on the wire with -EPROTO,
    // the rest with -ESHUTDOWN), hangs the node up (POLLERR | POLLHUP), then
    // answers ENODEV, sends "remove" and removes the sysfs entry.
    virtual bool plug(std::string *error) = 0;
    virtual void unplug() = 0;
    virtual bool plugged() const = 0;
    virtual int bus_number() const = 0;  // of the current (or last) plug
    virtual int device_address() const = 0;
    virtual std::string devnode() const = 0;  // "/dev/bus/usb/BBB/DDD"
    virtual std::string syspath() const = 0;  // "/sys/devices/..."

    // Live changes, seen by the next request.
    virtual void set_orientation(uint8_t orientation) = 0;
    virtual void set_mirror(uint8_t mirror) = 0;
    virtual void set_feature(uint8_t feature) = 0;
    virtual void set_busy(std::vector<uint8_t> statuses, bool forever) = 0;

    // Faults. `count` is a number of transfers/requests or kForever.
    virtual void fail_bulk(BulkFault fault, int count) = 0;
    // While held, bulk URBs stay in flight (libusb times them out after the
    // client's timeout); release completes the held ones in order.
    virtual void hold_bulk(bool hold) = 0;
    virtual void set_bulk_delay(std::chrono::microseconds delay) = 0;
    // The link's rate in bytes per second (0: no limit), from the next URB on.
    virtual void set_link_rate(double bytes_per_second) = 0;
    virtual void fail_control(uint8_t request, ControlFault fault, int count = 1,
                              uint16_t short_length = 1) = 0;
    virtual void clear_faults() = 0;

    // Observation.
    virtual DeviceState state() const = 0;
    virtual FrameBuffer frame() const = 0;  // a copy of the decoded frame buffer
    virtual bool write_png(const std::string &path, std::string *error) const = 0;
    // Waits until every accepted transfer has been decoded (held, delayed or
    // not yet accepted ones do not count).
    virtual bool wait_idle(std::chrono::milliseconds timeout) const = 0;

  protected:
    explicit EmulatedDevice(int index) : index_(index) {}

  private:
    int index_;
};

class UsbTestbed {
  public:
    // Creates the umockdev testbed of this process (sets UMOCKDEV_DIR). Fails
    // when one already exists in the process. Also sets the calling thread's
    // timer slack to 1 ns, which threads and child processes started later
    // inherit: it halves the time of a control transfer.
    static std::unique_ptr<UsbTestbed> create(std::string *error);
    virtual ~UsbTestbed() = default;

    // The testbed root: the value of UMOCKDEV_DIR for clients.
    virtual const std::string &root_dir() const = 0;
    virtual std::string sys_dir() const = 0;
    // "UMOCKDEV_DIR=<root>" and "LD_PRELOAD=<extra_preload:>libumockdev-preload.so.0"
    // for a child process under test.
    virtual std::vector<std::string> child_environment(const std::string &extra_preload) const = 0;

    // Adds a device (at most kMaxEmulatedDevices over the testbed's life);
    // plugs it unless `plug` is false. Devices are never removed, only
    // unplugged. Returns null with a one-line reason on failure.
    virtual EmulatedDevice *add_device(const DeviceConfig &config, bool plug,
                                       std::string *error) = 0;
    virtual EmulatedDevice *device(int index) = 0;
    virtual int device_count() const = 0;

    // Events of all devices in order. Bounded: when the queue overflows the
    // oldest events are dropped and counted.
    virtual bool next_event(Event &out, std::chrono::milliseconds timeout) = 0;
    virtual uint64_t dropped_events() const = 0;
    // Readable while events are queued (for a poll loop).
    virtual int event_fd() const = 0;

    // Re-evaluates `done` after every change of any device until it returns
    // true (then true) or `timeout` passes (then false).
    virtual bool wait_until(const std::function<bool()> &done,
                            std::chrono::milliseconds timeout) const = 0;

    // Number of device files held open by clients, over all devices.
    virtual int open_clients() const = 0;

    // The usbfs memory limit over all devices (usbcore's usbfs_memory_mb;
    // default 16, 0 = no limit), also shown as
    // /sys/module/usbcore/parameters/usbfs_memory_mb. URBs beyond it are
    // refused with ENOMEM.
    virtual void set_usbfs_memory_mb(unsigned mb) = 0;
    // Bytes charged to usbfs memory now (URBs submitted and not yet reaped).
    virtual uint64_t usbfs_memory_used() const = 0;

  protected:
    UsbTestbed() = default;
};

}  // namespace torvel::testbed
