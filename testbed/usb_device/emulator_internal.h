// Internals of the emulated USB display device, shared by its source files.
//
// Threads and locks:
//  - umockdev's worker thread runs every usbdevfs ioctl of every client
//    (usbdevfs.cpp) and the periodic client check; it alone touches umockdev
//    objects of clients (IoctlClient, IoctlData): refs are taken and dropped
//    there only.
//  - each device has a link thread (device.cpp) that moves bulk URBs along
//    the link (bulk_endpoint.cpp, also run from the worker), and a service
//    thread that decodes the transfers that arrived.
//  - API callers (tests, the harness) may be on any thread.
// Locks, always taken in this order and held only briefly:
//   TestbedImpl::plug_mutex_   serialises plugging (umockdev testbed calls)
//   DeviceImpl::mutex_         a device's model, faults, URBs, job queue, counters
//   TestbedImpl::events_mutex_ the event queue and the change generation
// The usbfs memory of all devices is one atomic counter (no lock).
// DeviceImpl::frame_mutex_ guards the frame buffer and is never held with
// another lock (the service thread decodes under it alone).
#pragma once

#include <glib-object.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stream_decoder.h"
#include "usb_device_emulator.h"

namespace torvel::testbed {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> usb_descriptors(uint16_t vendor_id, uint16_t product_id);
std::vector<uint8_t> string_descriptor(const std::string &text);

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

// A URB submitted by a client and not yet reaped. Destroyed on the worker
// thread only (it drops umockdev references).
struct Urb {
    enum class Stage {
        kQueued,          // bulk: waits for the device, behind the URBs before it
        kTransit,         // bulk: its data is crossing the link, done at `due`
        kNeverCompleted,  // a fault: only a discard ends it
        kReady,           // waiting to be reaped
    };
    GPtr<UMockdevIoctlClient> client;
    GPtr<UMockdevIoctlData> data;  // the resolved struct usbdevfs_urb
    gulong user_addr = 0;          // the URB's address in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    bool continuation = false;  // USBDEVFS_URB_BULK_CONTINUATION
    Stage stage = Stage::kReady;
    int status = 0;
    int actual_length = 0;
    uint64_t ready_seq = 0;
    uint64_t transfer = 0;           // bulk: the client's transfer it belongs to
    std::optional<BulkFault> fault;  // met when the device reaches it
    Clock::time_point submitted{};
    Clock::time_point start{}, due{};  // kTransit
    size_t delivered = 0;          // bytes that reached the device (a partial fault: at most this)
    size_t mem_usage = 0;          // usbfs memory charged until it is reaped
    std::vector<uint8_t> payload;  // bulk data copied at submission
};

// One client's open file of the node (the kernel's usb_dev_state).
struct Client {
    GPtr<UMockdevIoctlClient> client;
    bool claimed = false;        // interface 0 (the device has no other)
    bool bulk_disabled = false;  // cancel_bulk_urbs disabled the endpoint
    uint64_t transfers = 0;      // bulk transfers begun (non-continuation URBs)
};

class DeviceImpl;

// One plug of a device: its bus address, device node, the clients that
// opened that node and their URBs. Kept after unplug for clients that
// still hold the node open.
struct Attachment {
    DeviceImpl *device = nullptr;
    int bus = 0;
    int address = 0;
    std::string devnode;  // /dev/bus/usb/BBB/DDD
    std::string syspath;  // /sys/devices/usb-torvel-BBB-DDD
    // The device node is a symbolic link to the slave of this
    // pseudo-terminal. Its output is stopped (no POLLOUT) while no URB is
    // ready to be reaped and started while one is, as usbdev_poll reports
    // POLLOUT for a non-empty async_completed list; closing the master
    // hangs the node up, POLLERR | POLLHUP as for a removed device.
    UniqueFd pty_master;
    UniqueFd pty_slave;
    bool gone = false;  // unplugged: new requests fail with ENODEV
    std::vector<Client> clients;
    std::list<Urb> urbs;
    int ready = 0;

    Client *find_client(UMockdevIoctlClient *client);
};

class TestbedImpl;

class DeviceImpl final : public EmulatedDevice {
  public:
    DeviceImpl(TestbedImpl *testbed, int index, const DeviceConfig &config);
    ~DeviceImpl() override;

    uint16_t vendor_id() const override { return vendor_id_; }
    uint16_t product_id() const override { return product_id_; }
    bool plug(std::string *error) override;
    void unplug() override;
    bool plugged() const override;
    int bus_number() const override;
    int device_address() const override;
    std::string devnode() const override;
    std::string syspath() const override;
    void set_orientation(uint8_t orientation) override;
    void set_mirror(uint8_t mirror) override;
    void set_feature(uint8_t feature) override;
    void set_busy(std::vector<uint8_t> statuses, bool forever) override;
    void fail_bulk(BulkFault fault, int count) override;
    void hold_bulk(bool hold) override;
    void set_bulk_delay(std::chrono::microseconds delay) override;
    void set_link_rate(double bytes_per_second) override;
    void fail_control(uint8_t request, ControlFault fault, int count,
                      uint16_t short_length) override;
    void clear_faults() override;
    DeviceState state() const override;
    FrameBuffer frame() const override;
    bool write_png(const std::string &path, std::string *error) const override;
    bool wait_idle(std::chrono::milliseconds timeout) const override;

    // Worker thread (usbdevfs.cpp).
    void client_connected(Attachment &attachment, UMockdevIoctlClient *client);
    void handle_ioctl(Attachment &attachment, UMockdevIoctlClient *client);
    // Drops clients that closed the device node, with their URBs. Returns
    // the number of clients still connected.
    int prune_clients();
    // Drops every umockdev reference (testbed teardown).
    void release_umockdev_objects();

    void stop_service_thread();

  private:
    struct Setup {
        uint8_t request_type, request;
        uint16_t value, index, length;
    };
    struct ControlFaultState {
        ControlFault fault = ControlFault::kStall;
        int count = 0;
        uint16_t short_length = 0;
    };
    struct Job {
        enum class Kind { kTransfer, kResolution, kQuantTable, kReset } kind = Kind::kTransfer;
        std::vector<uint8_t> data;
        bool cut = false;  // a transfer cut short: only its whole records count
        Resolution resolution;
        int quant_index = 0;
    };

    // usbdevfs.cpp, worker thread, mutex_ not held unless noted.
    void submit_urb(Attachment &attachment, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void reap_urb(Attachment &attachment, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void discard_urb(Attachment &attachment, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    // The ioctls that are neither URBs nor reaps; mutex_ held.
    int device_ioctl(Attachment &attachment, Client &client, gulong request,
                     UMockdevIoctlData *arg);
    // mutex_ held; 0 or an errno.
    int submit_control(Attachment &attachment, Urb urb, uint8_t *buffer, size_t length);
    int submit_bulk(Attachment &attachment, Client &client, Urb urb, const uint8_t *data,
                    size_t length);
    int claim_interface(Attachment &attachment, Client &client);
    int check_interface(Attachment &attachment, Client &client);
    void release_interface(Attachment &attachment, Client &client);
    void release_driver(Attachment &attachment);
    // mutex_ held:
    void make_ready(Attachment &attachment, Urb &urb, int status, int actual_length);
    void set_ready_count(Attachment &attachment, int ready);

    // bulk_endpoint.cpp, mutex_ held.
    // Moves bulk URBs along: starts the next one on the link when the
    // device has room, completes those whose data has arrived, meets
    // faults. Returns when the next one will be done (max: nothing timed).
    Clock::time_point pump_link(Clock::time_point now);
    // Ends a bulk URB that did not complete: the `delivered` bytes that
    // reached the device count, its transfer is cut there.
    void fail_bulk_urb(Attachment &attachment, Urb &urb, int status, size_t delivered);
    // Bytes of `urb` on the link that have reached the device by `now`.
    size_t bytes_through(const Urb &urb, Clock::time_point now) const;
    // cancel_bulk_urbs of the kernel, after a bulk URB of `client` failed.
    void cancel_bulk_urbs(Attachment &attachment, UMockdevIoctlClient *client);
    void take_data(Urb &urb, size_t bytes, bool ends_transfer);
    void arrive(Attachment &attachment, Urb &urb);  // all its data is there
    void end_assembly(bool cut);
    bool has_room() const;

    // control.cpp, mutex_ held. Returns the data stage length or -1 to stall.
    int answer_control(const Setup &setup, uint8_t *data, size_t capacity);
    int answer_standard(const Setup &setup, uint8_t *data, size_t capacity);

    // device.cpp
    void service_loop();
    void link_loop();
    void decode_transfer(Job &job);
    void note_violation(const std::string &line);   // mutex_ held; counts a format error
    void remember_line(const std::string &line);    // mutex_ held; keeps the line only
    void changed();                                 // mutex_ held
    void emit(Event event);                         // mutex_ held
    std::vector<uint8_t> take_buffer(size_t size);  // mutex_ held

    TestbedImpl *const testbed_;
    const DeviceConfig config_;
    const uint16_t vendor_id_;
    const uint16_t product_id_;
    const std::vector<uint8_t> descriptors_;
    const std::vector<uint8_t> edid_;

    mutable std::mutex mutex_;
    mutable std::condition_variable service_cv_;  // jobs, due times, room, stop
    mutable std::condition_variable idle_cv_;     // backlog reached 0
    bool stop_ = false;
    // Model.
    uint32_t device_id_;
    uint8_t feature_, orientation_, mirror_;
    std::deque<uint8_t> busy_;
    bool busy_forever_;
    Resolution resolution_;
    bool resolution_set_ = false;
    int quant_index_ = -1;
    std::vector<uint8_t> quant_blob_;
    std::vector<uint32_t> ids_set_;
    std::vector<Resolution> resolutions_set_;
    // Faults.
    BulkFault bulk_fault_ = BulkFault::kError;
    int bulk_fault_count_ = 0;
    bool hold_bulk_ = false;
    std::chrono::microseconds bulk_delay_{0};
    // The bulk endpoint and its link.
    bool halted_ = false;
    double link_rate_ = 0;  // bytes per second, 0: no limit
    // When the link finished its last URB; a URB starts then at the
    // earliest, or when it is met if the link was idle. Late wake-ups of
    // the link thread so never slow the link. `link_blocked_`: the head URB
    // waited for hold or room, and starts when it gets it.
    Clock::time_point link_free_{};
    bool link_blocked_ = false;
    InterfaceHolder holder_ = InterfaceHolder::kNone;
    // The transfer the device is putting together from the packets that
    // arrive (a transfer ends with a short packet), and whose it is.
    std::vector<uint8_t> assembly_;
    const void *assembly_client_ = nullptr;
    uint64_t assembly_transfer_ = 0;
    uint64_t cut_transfer_ = 0;  // the transfer last cut: its later data is dropped
    const void *cut_client_ = nullptr;
    Clock::time_point first_frame_{}, last_frame_{};
    std::map<uint8_t, ControlFaultState> control_faults_;
    // Plugging.
    std::vector<std::unique_ptr<Attachment>> attachments_;
    Attachment *current_ = nullptr;  // null while unplugged
    int open_clients_ = 0;
    // Observation.
    DeviceCounters counters_;
    std::deque<std::string> violations_;
    uint64_t generation_ = 0;
    uint64_t next_ready_seq_ = 1;
    // Decoding.
    std::deque<Job> jobs_;
    int backlog_ = 0;  // transfer jobs queued or being decoded
    std::vector<std::vector<uint8_t>> spare_buffers_;

    // Service thread state (touched by that thread only, frame_ also by
    // readers under frame_mutex_).
    StreamDecoder decoder_;
    Resolution decode_resolution_;
    bool decode_resolution_set_ = false;
    mutable std::mutex frame_mutex_;
    FrameBuffer frame_;
    std::thread service_thread_;
    std::thread link_thread_;
};

class TestbedImpl final : public UsbTestbed {
  public:
    TestbedImpl();
    ~TestbedImpl() override;
    bool start(std::string *error);

    const std::string &root_dir() const override { return root_dir_; }
    std::string sys_dir() const override { return root_dir_ + "/sys"; }
    std::vector<std::string> child_environment(const std::string &extra_preload) const override;
    EmulatedDevice *add_device(const DeviceConfig &config, bool plug, std::string *error) override;
    EmulatedDevice *device(int index) override;
    int device_count() const override;
    bool next_event(Event &out, std::chrono::milliseconds timeout) override;
    uint64_t dropped_events() const override;
    int event_fd() const override { return event_fd_.get(); }
    bool wait_until(const std::function<bool()> &done,
                    std::chrono::milliseconds timeout) const override;
    int open_clients() const override;
    void set_usbfs_memory_mb(unsigned mb) override;
    uint64_t usbfs_memory_used() const override { return usbfs_used_.load(); }

    // usbfs_increase_memory_usage / usbfs_decrease_memory_usage over all
    // devices: false when `bytes` more would pass the limit.
    bool charge_usbfs_memory(uint64_t bytes);
    void release_usbfs_memory(uint64_t bytes);

    // For devices.
    std::mutex &plug_mutex() { return plug_mutex_; }
    int plugged_devices() const;
    std::pair<int, int> next_address();
    bool attach(Attachment &attachment, std::string *error);
    bool add_sysfs_entry(const Attachment &attachment, const std::string &record,
                         std::string *error);
    void remove_sysfs_entry(const Attachment &attachment);
    void emit(Event event);  // events_mutex_ only
    void changed();          // events_mutex_ only

  private:
    static gboolean on_handle_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client,
                                    gpointer self);
    static void on_client_connected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client,
                                    gpointer self);
    static gboolean on_check_clients(gpointer self);
    bool learn_worker_context(std::string *error);
    bool run_on_worker(void (*fn)(TestbedImpl *), std::chrono::milliseconds timeout);

    UMockdevTestbed *testbed_ = nullptr;  // released on the worker thread
    UMockdevIoctlBase *handler_ = nullptr;
    GMainContext *worker_ctx_ = nullptr;
    GSource *check_source_ = nullptr;
    std::string root_dir_;

    std::mutex plug_mutex_;
    int next_address_ = 0;

    mutable std::mutex devices_mutex_;  // the device table and the node map
    std::vector<std::unique_ptr<DeviceImpl>> devices_;
    std::map<std::string, Attachment *, std::less<>> nodes_;

    // Worker context discovery and teardown hand-shakes.
    std::mutex worker_mutex_;
    std::condition_variable worker_cv_;
    bool worker_done_ = false;

    mutable std::mutex events_mutex_;
    mutable std::condition_variable events_cv_;
    std::deque<Event> events_;
    uint64_t dropped_ = 0;
    uint64_t generation_ = 0;
    UniqueFd event_fd_;
    std::atomic<int> clients_connected_{0};
    std::atomic<uint64_t> usbfs_limit_{16ull << 20};  // 0: no limit
    std::atomic<uint64_t> usbfs_used_{0};
};

}  // namespace torvel::testbed
