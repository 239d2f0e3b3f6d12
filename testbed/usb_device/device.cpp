// An emulated device: plugging, live settings, faults, observation and the
// service thread that decodes the accepted frame streams.
#include <fcntl.h>
#include <sys/stat.h>
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

// A FIFO of one page holding one byte: see Attachment::fifo.
bool make_fifo(const std::string &path, UniqueFd &out, std::string *error) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    ::fcntl(fd.get(), F_SETPIPE_SZ, 4096);
    const char byte = 0;
    if (::write(fd.get(), &byte, 1) != 1) {
        if (error) *error = "cannot write to " + path + ": " + std::strerror(errno);
        return false;
    }
    out = std::move(fd);
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
      busy_forever_(config.busy_forever) {
    service_thread_ = std::thread([this] { service_loop(); });
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
    if (!make_fifo(testbed_->root_dir() + a.devnode, a.fifo, error)) return false;
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
        current_ = nullptr;
        a->gone = true;
        // A device file cannot report a disconnect, so every URB in flight
        // ends now as the kernel ends it: -ESHUTDOWN.
        for (auto &urb : a->urbs) {
            if (urb.stage == Urb::Stage::kReady) continue;
            if (holds_unaccepted_data(urb)) ++counters_.failed_transfers;
            urb.payload.clear();
            make_ready(*a, urb, -ESHUTDOWN, 0);
        }
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
    std::lock_guard lock(mutex_);
    hold_bulk_ = hold;
    if (hold) return;
    // Release in submission order, each as a fresh arrival.
    for (auto &a : attachments_) {
        for (auto &urb : a->urbs) {
            if (urb.stage != Urb::Stage::kHeld) continue;
            if (bulk_delay_.count() > 0) {
                urb.stage = Urb::Stage::kDelayed;
                urb.due = Clock::now() + bulk_delay_;
            } else if (!accept_bulk(urb)) {
                urb.stage = Urb::Stage::kWaitingForQueue;
            } else {
                make_ready(*a, urb, 0, urb.actual_length);
            }
        }
    }
    service_cv_.notify_all();
}

void DeviceImpl::set_bulk_delay(std::chrono::microseconds delay) {
    std::lock_guard lock(mutex_);
    bulk_delay_ = delay;
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

// Accepts a bulk URB's data into the decode queue when there is room, as a
// device takes data only while it has buffer space.
bool DeviceImpl::accept_bulk(Urb &urb) {
    const int depth = config_.decode_queue_depth > 0 ? config_.decode_queue_depth : 1;
    if (backlog_ >= depth) return false;
    Job job;
    job.kind = Job::Kind::kTransfer;
    job.data = std::move(urb.payload);
    urb.payload = {};
    jobs_.push_back(std::move(job));
    ++backlog_;
    service_cv_.notify_all();
    return true;
}

void DeviceImpl::service_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // Delayed completions whose time has come, then queued-up URBs that
        // now fit the decode queue.
        const auto now = Clock::now();
        Clock::time_point next_due = Clock::time_point::max();
        for (auto &a : attachments_) {
            for (auto &urb : a->urbs) {
                if (urb.stage == Urb::Stage::kDelayed) {
                    if (urb.due <= now) {
                        urb.stage = Urb::Stage::kWaitingForQueue;
                    } else if (urb.due < next_due) {
                        next_due = urb.due;
                    }
                }
                if (urb.stage == Urb::Stage::kWaitingForQueue && accept_bulk(urb)) {
                    make_ready(*a, urb, 0, urb.actual_length);
                }
            }
        }
        if (stop_) return;
        if (jobs_.empty()) {
            if (next_due == Clock::time_point::max()) {
                service_cv_.wait(lock);
            } else {
                service_cv_.wait_until(lock, next_due);
            }
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
        report = decoder_.decode(job.data, TrailingByte::kRequired,
                                 decode_resolution_set_ && !off ? frame_ : none);
    }
    lines.insert(lines.end(), report.violations.begin(), report.violations.end());

    std::lock_guard lock(mutex_);
    counters_.blocks += report.blocks_drawn;
    counters_.decode_errors += report.decode_errors;
    if (lines.empty()) ++counters_.frames;
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
