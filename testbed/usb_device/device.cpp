// An emulated device: plugging, live settings, faults, observation and the
// service thread that decodes the accepted frame streams.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "device_ids.h"
#include "emulator_internal.h"

namespace torvel::testbed {
namespace {

constexpr size_t kMaxViolationLines = 256;
constexpr size_t kMaxViolationEventsPerTransfer = 32;

std::string hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

// The device node: a symbolic link to the slave of a new pseudo-terminal
// whose output starts stopped (see Attachment::pty_master). The harness's
// own descriptors come from raw system calls, which the umockdev preload
// does not wrap.
bool make_node(const std::string &path, Attachment &a, std::string *error) {
    auto fail = [&](const char *what) {
        if (error) *error = std::string(what) + " for " + path + ": " + std::strerror(errno);
        return false;
    };
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    ::unlink(path.c_str());
    UniqueFd master(static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, "/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)));
    if (master.get() < 0) return fail("cannot open /dev/ptmx");
    int unlock = 0;
    unsigned number = 0;
    if (syscall(SYS_ioctl, master.get(), TIOCSPTLCK, &unlock) != 0 ||
        syscall(SYS_ioctl, master.get(), TIOCGPTN, &number) != 0)
        return fail("cannot unlock a pseudo-terminal");
    UniqueFd slave(static_cast<int>(
        syscall(SYS_ioctl, master.get(), TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)));
    if (slave.get() < 0) return fail("cannot open a pseudo-terminal's slave");
    if (syscall(SYS_ioctl, slave.get(), TCXONC, TCOOFF) != 0)
        return fail("cannot stop a pseudo-terminal");
    const std::string target = "/dev/pts/" + std::to_string(number);
    if (::symlink(target.c_str(), path.c_str()) != 0) return fail("cannot link");
    a.pty_master = std::move(master);
    a.pty_slave = std::move(slave);
    return true;
}

}  // namespace

DeviceImpl::DeviceImpl(TestbedImpl *testbed, int index, const DeviceConfig &config)
    : EmulatedDevice(index),
      testbed_(testbed),
      config_(config),
      vendor_id_(config.vendor_id.value_or(static_cast<uint16_t>(VENDOR_ID))),
      product_id_(config.product_id.value_or(static_cast<uint16_t>(
          PRODUCT_ID[config.model >= 0 && config.model < PID_NUM ? config.model : 0]))),
      descriptors_(usb_descriptors(vendor_id_, product_id_)),
      edid_(config.edid.empty() ? make_edid() : config.edid),
      device_id_(config.initial_id),
      feature_(config.feature),
      orientation_(config.orientation),
      mirror_(config.mirror),
      busy_(config.busy_statuses.begin(), config.busy_statuses.end()),
      busy_forever_(config.busy_forever),
      link_rate_(config.link_bytes_per_second > 0 ? config.link_bytes_per_second : 0),
      holder_(config.interface_holder) {
    decoder_.set_decode_tag_only(config.decode_tag_only);
    service_thread_ = std::thread([this] { service_loop(); });
    link_thread_ = std::thread([this] { link_loop(); });
}

DeviceImpl::~DeviceImpl() {
    stop_service_thread();
}

void DeviceImpl::stop_service_thread() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    service_cv_.notify_all();
    if (service_thread_.joinable()) service_thread_.join();
    if (link_thread_.joinable()) link_thread_.join();
}

bool DeviceImpl::plug(std::string *error) {
    std::lock_guard plug_lock(testbed_->plug_mutex());
    {
        std::lock_guard lock(mutex_);
        if (current_) return true;
    }
    if (testbed_->plugged_devices() >= kMaxPluggedDevices) {
        if (error) *error = "at most " + std::to_string(kMaxPluggedDevices) + " devices plugged";
        return false;
    }
    const auto [bus, address] = testbed_->next_address();
    auto attachment = std::make_unique<Attachment>();
    Attachment &a = *attachment;
    a.device = this;
    a.bus = bus;
    a.address = address;
    char node[64], sys[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, address);
    std::snprintf(sys, sizeof sys, "/sys/devices/usb-torvel-%03d-%03d", bus, address);
    a.devnode = node;
    a.syspath = sys;
    // Node and handler first: libusb may open the device as soon as it sees
    // the "add" uevent.
    if (!make_node(testbed_->root_dir() + a.devnode, a, error)) return false;
    {
        std::lock_guard lock(mutex_);
        attachments_.push_back(std::move(attachment));
    }
    if (!testbed_->attach(a, error)) return false;

    const std::string serial =
        config_.serial.empty() ? "TVL" + std::to_string(1000 + index()) : config_.serial;
    char record[2048];
    std::snprintf(record, sizeof record,
                  "P: /devices/usb-torvel-%03d-%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVNAME=%s\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: PRODUCT=%x/%x/100\n"
                  "E: TYPE=0/0/0\n"
                  "E: BUSNUM=%03d\n"
                  "E: DEVNUM=%03d\n"
                  "A: busnum=%d\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=480\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "A: manufacturer=Torvel\\n\n"
                  "A: product=USB display\\n\n"
                  "A: serial=%s\\n\n"
                  "H: descriptors=%s\n",
                  bus, address, a.devnode.c_str(), vendor_id_, product_id_, bus, address, bus,
                  address, vendor_id_, product_id_, serial.c_str(), hex(descriptors_).c_str());
    {
        // A fresh power-up: the id lives in the device's flash, the rest not.
        std::lock_guard lock(mutex_);
        current_ = &a;
        holder_ = config_.interface_holder;  // a kernel driver binds at every plug
        halted_ = false;
        link_free_ = {};
        link_blocked_ = false;
        assembly_.clear();
        assembly_client_ = nullptr;
        cut_client_ = nullptr;
        resolution_ = {};
        resolution_set_ = false;
        quant_index_ = -1;
        quant_blob_.clear();
        busy_.assign(config_.busy_statuses.begin(), config_.busy_statuses.end());
        Job reset;
        reset.kind = Job::Kind::kReset;
        jobs_.push_back(std::move(reset));
        service_cv_.notify_all();
        Event e;
        e.kind = EventKind::kPlugged;
        e.value = static_cast<uint32_t>(bus << 8 | address);
        emit(std::move(e));
        changed();
    }
    if (!testbed_->add_sysfs_entry(a, record, error)) {
        std::lock_guard lock(mutex_);
        current_ = nullptr;
        a.gone = true;
        return false;
    }
    return true;
}

void DeviceImpl::unplug() {
    std::lock_guard plug_lock(testbed_->plug_mutex());
    Attachment *a = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!current_) return;
        a = current_;
        // A disconnect as usb_disconnect makes it: the URB on the wire fails
        // with a transfer error (-EPROTO), usb_hcd_flush_endpoint ends the
        // rest with -ESHUTDOWN; then usbdev_remove takes the files off the
        // device (POLLERR | POLLHUP, ENODEV for all but reaping).
        const auto now = Clock::now();
        bool on_wire = true;
        for (auto &urb : a->urbs) {
            if (urb.stage == Urb::Stage::kReady) continue;
            if (urb.type == USBDEVFS_URB_TYPE_BULK) {
                fail_bulk_urb(*a, urb, on_wire ? -EPROTO : -ESHUTDOWN,
                              std::max(urb.delivered, bytes_through(urb, now)));
                on_wire = false;
            } else {
                make_ready(*a, urb, -ESHUTDOWN, 0);
            }
        }
        end_assembly(true);
        current_ = nullptr;
        a->gone = true;
        a->pty_master = UniqueFd();  // hangs the node up
        Event e;
        e.kind = EventKind::kUnplugged;
        e.value = static_cast<uint32_t>(a->bus << 8 | a->address);
        emit(std::move(e));
        changed();
    }
    testbed_->remove_sysfs_entry(*a);
}

bool DeviceImpl::plugged() const {
    std::lock_guard lock(mutex_);
    return current_ != nullptr;
}

int DeviceImpl::bus_number() const {
    std::lock_guard lock(mutex_);
    return attachments_.empty() ? 0 : attachments_.back()->bus;
}

int DeviceImpl::device_address() const {
    std::lock_guard lock(mutex_);
    return attachments_.empty() ? 0 : attachments_.back()->address;
}

std::string DeviceImpl::devnode() const {
    std::lock_guard lock(mutex_);
    return attachments_.empty() ? std::string() : attachments_.back()->devnode;
}

std::string DeviceImpl::syspath() const {
    std::lock_guard lock(mutex_);
    return attachments_.empty() ? std::string() : attachments_.back()->syspath;
}

void DeviceImpl::set_orientation(uint8_t orientation) {
    std::lock_guard lock(mutex_);
    orientation_ = orientation;
    changed();
}

void DeviceImpl::set_mirror(uint8_t mirror) {
    std::lock_guard lock(mutex_);
    mirror_ = mirror;
    changed();
}

void DeviceImpl::set_feature(uint8_t feature) {
    std::lock_guard lock(mutex_);
    feature_ = feature;
    changed();
}

void DeviceImpl::set_busy(std::vector<uint8_t> statuses, bool forever) {
    std::lock_guard lock(mutex_);
    busy_.assign(statuses.begin(), statuses.end());
    busy_forever_ = forever;
    changed();
}

void DeviceImpl::fail_bulk(BulkFault fault, int count) {
    std::lock_guard lock(mutex_);
    bulk_fault_ = fault;
    bulk_fault_count_ = count;
}

void DeviceImpl::hold_bulk(bool hold) {
    {
        std::lock_guard lock(mutex_);
        hold_bulk_ = hold;
        if (!hold) pump_link(Clock::now());
    }
    service_cv_.notify_all();
}

void DeviceImpl::set_bulk_delay(std::chrono::microseconds delay) {
    std::lock_guard lock(mutex_);
    bulk_delay_ = delay;
}

void DeviceImpl::set_link_rate(double bytes_per_second) {
    std::lock_guard lock(mutex_);
    link_rate_ = bytes_per_second > 0 ? bytes_per_second : 0;
}

void DeviceImpl::fail_control(uint8_t request, ControlFault fault, int count,
                              uint16_t short_length) {
    std::lock_guard lock(mutex_);
    control_faults_[request] = {fault, count, short_length};
}

void DeviceImpl::clear_faults() {
    {
        std::lock_guard lock(mutex_);
        bulk_fault_count_ = 0;
        control_faults_.clear();
        bulk_delay_ = {};
        busy_forever_ = false;
        busy_.clear();
    }
    hold_bulk(false);
}

DeviceState DeviceImpl::state() const {
    std::lock_guard lock(mutex_);
    DeviceState s;
    s.counters = counters_;
    s.plugged = current_ != nullptr;
    s.open_clients = open_clients_;
    for (const auto &a : attachments_) s.urbs_in_flight += static_cast<int>(a->urbs.size());
    s.decode_backlog = backlog_;
    s.device_id = device_id_;
    s.ids_set = ids_set_;
    s.resolutions_set = resolutions_set_;
    s.resolution = resolution_;
    s.display_off = resolution_set_ && resolution_.width == 0 && resolution_.height == 0;
    s.quant_index = quant_index_;
    s.quant_blob = quant_blob_;
    s.violations.assign(violations_.begin(), violations_.end());
    s.feature = feature_;
    s.orientation = orientation_;
    s.mirror = mirror_;
    s.halted = halted_;
    if (current_) {
        for (const Client &c : current_->clients) s.interface_claimed |= c.claimed;
    }
    auto us = [](Clock::time_point t) {
        return t == Clock::time_point{}
                   ? uint64_t{0}
                   : static_cast<uint64_t>(
                         std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch())
                             .count());
    };
    s.first_frame_us = us(first_frame_);
    s.last_frame_us = us(last_frame_);
    s.generation = generation_;
    return s;
}

FrameBuffer DeviceImpl::frame() const {
    std::lock_guard lock(frame_mutex_);
    return frame_;
}

bool DeviceImpl::write_png(const std::string &path, std::string *error) const {
    std::lock_guard lock(frame_mutex_);
    return torvel::testbed::write_png(frame_, path, error);
}

bool DeviceImpl::wait_idle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return idle_cv_.wait_for(lock, timeout, [this] { return backlog_ == 0 && jobs_.empty(); });
}

void DeviceImpl::changed() {
    ++generation_;
    testbed_->changed();
}

void DeviceImpl::emit(Event event) {
    event.device = index();
    testbed_->emit(std::move(event));
}

void DeviceImpl::note_violation(const std::string &line) {
    ++counters_.format_errors;
    remember_line(line);
}

void DeviceImpl::remember_line(const std::string &line) {
    violations_.push_back(line);
    if (violations_.size() > kMaxViolationLines) violations_.pop_front();
}

std::vector<uint8_t> DeviceImpl::take_buffer(size_t size) {
    std::vector<uint8_t> buffer;
    if (!spare_buffers_.empty()) {
        buffer = std::move(spare_buffers_.back());
        spare_buffers_.pop_back();
    }
    buffer.resize(size);
    return buffer;
}

void DeviceImpl::link_loop() {
    // The link runs beside the decoding: URBs cross it while the device
    // decodes what came before.
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const Clock::time_point next_due = pump_link(Clock::now());
        if (next_due == Clock::time_point::max()) {
            service_cv_.wait(lock);
        } else {
            service_cv_.wait_until(lock, next_due);
        }
    }
}

void DeviceImpl::service_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stop_) return;
        if (jobs_.empty()) {
            service_cv_.wait(lock);
            continue;
        }
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        switch (job.kind) {
            case Job::Kind::kTransfer:
                decode_transfer(job);
                break;
            case Job::Kind::kResolution: {
                decode_resolution_ = job.resolution;
                decode_resolution_set_ = true;
                // The picture survives a display-off and a repeated mode; a
                // new size starts black.
                std::lock_guard frame_lock(frame_mutex_);
                const auto &r = job.resolution;
                if ((r.width != 0 || r.height != 0) &&
                    (r.width != frame_.width() || r.height != frame_.height())) {
                    frame_.reset(r.width, r.height);
                }
                break;
            }
            case Job::Kind::kQuantTable: {
                std::string error;
                decoder_.set_quant_blob(job.quant_index, job.data, &error);
                break;
            }
            case Job::Kind::kReset: {
                decoder_.clear_quant_blobs();
                decode_resolution_ = {};
                decode_resolution_set_ = false;
                std::lock_guard frame_lock(frame_mutex_);
                frame_.reset(0, 0);
                break;
            }
        }
        lock.lock();
        if (job.kind == Job::Kind::kTransfer) {
            --backlog_;
            job.data.clear();
            spare_buffers_.push_back(std::move(job.data));
            if (spare_buffers_.size() > 8) spare_buffers_.resize(8);
        }
        if (backlog_ == 0 && jobs_.empty()) idle_cv_.notify_all();
        service_cv_.notify_all();  // room in the queue: the link goes on
    }
}

void DeviceImpl::decode_transfer(Job &job) {
    std::vector<std::string> lines;
    const bool off = decode_resolution_.width == 0 && decode_resolution_.height == 0;
    if (!decode_resolution_set_) {
        lines.push_back("stream received before any resolution was set");
    } else if (off) {
        lines.push_back("stream received while the display is off (0 x 0)");
    }
    DecodeReport report;
    {
        std::lock_guard frame_lock(frame_mutex_);
        FrameBuffer none;
        FrameBuffer &target = decode_resolution_set_ && !off ? frame_ : none;
        report = job.cut ? decoder_.decode_cut(job.data, target)
                         : decoder_.decode(job.data, TrailingByte::kRequired, target);
        if (config_.on_decoded) config_.on_decoded(frame_);
    }
    lines.insert(lines.end(), report.violations.begin(), report.violations.end());

    std::lock_guard lock(mutex_);
    counters_.blocks += report.blocks_drawn;
    counters_.decode_errors += report.decode_errors;
    if (lines.empty() && !job.cut) {
        ++counters_.frames;
        last_frame_ = Clock::now();
        if (first_frame_ == Clock::time_point{}) first_frame_ = last_frame_;
    }
    for (const auto &line : lines) note_violation(line);
    for (const auto &line : report.decode_messages) remember_line(line);
    Event frame_event;
    frame_event.kind = EventKind::kFrame;
    frame_event.length = static_cast<uint32_t>(report.blocks_drawn);
    if (!lines.empty()) frame_event.text = lines.front();
    emit(std::move(frame_event));
    size_t sent = 0;
    for (const auto &line : lines) {
        if (sent++ == kMaxViolationEventsPerTransfer) break;
        Event e;
        e.kind = EventKind::kViolation;
        e.text = line;
        emit(std::move(e));
    }
    changed();
}

}  // namespace torvel::testbed
