// The umockdev testbed of the process: creation, the one ioctl handler of all
// emulated device nodes, plugging into the fake sysfs, events and teardown.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "emulator_internal.h"

namespace torvel::testbed {
namespace {

constexpr const char *kProbeNode = "/dev/torvel-worker-probe";
constexpr const char *kAttachmentKey = "torvel-attachment";
constexpr size_t kMaxEvents = 4096;
constexpr guint kClientCheckMs = 50;

std::atomic<bool> g_testbed_exists{false};

}  // namespace

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

const char *event_kind_name(EventKind kind) {
    switch (kind) {
        case EventKind::kPlugged:
            return "plugged";
        case EventKind::kUnplugged:
            return "unplugged";
        case EventKind::kClientOpened:
            return "client-opened";
        case EventKind::kClientClosed:
            return "client-closed";
        case EventKind::kControl:
            return "control";
        case EventKind::kResolution:
            return "resolution";
        case EventKind::kQuantTable:
            return "quant-table";
        case EventKind::kDeviceIdSet:
            return "device-id-set";
        case EventKind::kBulk:
            return "bulk";
        case EventKind::kFrame:
            return "frame";
        case EventKind::kViolation:
            return "violation";
    }
    return "?";
}

std::unique_ptr<UsbTestbed> UsbTestbed::create(std::string *error) {
    bool expected = false;
    if (!g_testbed_exists.compare_exchange_strong(expected, true)) {
        if (error) *error = "a USB testbed already exists in this process";
        return nullptr;
    }
    auto testbed = std::make_unique<TestbedImpl>();
    if (!testbed->start(error)) return nullptr;
    return testbed;
}

TestbedImpl::TestbedImpl() {
    event_fd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE));
}

bool TestbedImpl::start(std::string *error) {
    // Timer slack is inherited by threads and children created later: with
    // the default 50 us every wake-up of the worker and of clients is late,
    // which about doubles the time of a control transfer.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    testbed_ = umockdev_testbed_new();
    if (!testbed_) {
        if (error) *error = "cannot create the umockdev testbed";
        return false;
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_dir_ = root;
    g_free(root);
    set_usbfs_memory_mb(16);
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_handle_ioctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(on_client_connected), this);
    return learn_worker_context(error);
}

// umockdev keeps its worker's main context private. A connection to a node
// of our handler makes the worker announce itself in client-connected.
bool TestbedImpl::learn_worker_context(std::string *error) {
    GError *gerror = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, kProbeNode, handler_, &gerror)) {
        if (error) *error = std::string("cannot attach the ioctl handler: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/ioctl%s", root_dir_.c_str(), kProbeNode);
    if (sock.get() < 0 ||
        ::connect(sock.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (error) *error = std::string("cannot reach umockdev's worker: ") + std::strerror(errno);
        return false;
    }
    std::unique_lock lock(worker_mutex_);
    if (!worker_cv_.wait_for(lock, std::chrono::seconds(10), [this] { return worker_ctx_; })) {
        if (error) *error = "umockdev's worker does not answer";
        return false;
    }
    lock.unlock();
    check_source_ = g_timeout_source_new(kClientCheckMs);
    g_source_set_callback(check_source_, on_check_clients, this, nullptr);
    g_source_attach(check_source_, worker_ctx_);
    return true;
}

bool TestbedImpl::run_on_worker(void (*fn)(TestbedImpl *), std::chrono::milliseconds timeout) {
    struct Call {
        TestbedImpl *self;
        void (*fn)(TestbedImpl *);
    };
    {
        std::lock_guard lock(worker_mutex_);
        worker_done_ = false;
    }
    auto call = std::make_unique<Call>(Call{this, fn});
    g_main_context_invoke_full(
        worker_ctx_, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto *c = static_cast<Call *>(data);
            c->fn(c->self);
            std::lock_guard lock(c->self->worker_mutex_);
            c->self->worker_done_ = true;
            c->self->worker_cv_.notify_all();
            return G_SOURCE_REMOVE;
        },
        call.release(),
        [](gpointer data) { std::unique_ptr<Call> owned(static_cast<Call *>(data)); });
    std::unique_lock lock(worker_mutex_);
    return worker_cv_.wait_for(lock, timeout, [this] { return worker_done_; });
}

TestbedImpl::~TestbedImpl() {
    std::vector<DeviceImpl *> devices;
    {
        std::lock_guard lock(devices_mutex_);
        for (auto &d : devices_) devices.push_back(d.get());
    }
    for (auto *d : devices) d->unplug();
    for (auto *d : devices) d->stop_service_thread();
    if (!worker_ctx_) {
        // Never got going: nothing of ours runs on the worker.
        if (handler_) g_object_unref(handler_);
        if (testbed_) g_object_unref(testbed_);
        g_testbed_exists = false;
        return;
    }
    // umockdev aborts a client whose handler vanishes, and frees its worker
    // at exit from that thread: so the testbed goes only when no client holds
    // a device open, and it goes on the worker thread. A client that has
    // just exited is noticed by the next periodic check.
    wait_until([this] { return open_clients() == 0; }, std::chrono::seconds(2));
    static std::atomic<int> still_open;
    still_open = -1;
    const bool ran = run_on_worker(
        [](TestbedImpl *self) {
            int open = 0;
            std::vector<DeviceImpl *> all;
            {
                std::lock_guard lock(self->devices_mutex_);
                for (auto &d : self->devices_) all.push_back(d.get());
            }
            for (auto *d : all) open += d->prune_clients();
            still_open = open;
            if (open > 0) return;
            for (auto *d : all) d->release_umockdev_objects();
            g_source_destroy(self->check_source_);
            g_source_unref(self->check_source_);
            self->check_source_ = nullptr;
            g_object_unref(self->handler_);
            self->handler_ = nullptr;
            g_object_unref(self->testbed_);
            self->testbed_ = nullptr;
        },
        std::chrono::seconds(10));
    if (!ran || still_open != 0) {
        std::fprintf(stderr,
                     "usb testbed: %d device file(s) still open, leaving the testbed %s in place\n",
                     still_open.load(), root_dir_.c_str());
        // Deliberately leaked: the worker and the clients still use them.
        for (auto &d : devices_) static_cast<void>(d.release());
        return;
    }
    g_main_context_unref(worker_ctx_);
    g_testbed_exists = false;
}

void TestbedImpl::set_usbfs_memory_mb(unsigned mb) {
    usbfs_limit_ = static_cast<uint64_t>(mb) << 20;
    // Where a client reads the limit on a real machine.
    const std::string dir = sys_dir() + "/module/usbcore/parameters";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (FILE *f = std::fopen((dir + "/usbfs_memory_mb").c_str(), "w")) {
        std::fprintf(f, "%u\n", mb);
        std::fclose(f);
    }
}

bool TestbedImpl::charge_usbfs_memory(uint64_t bytes) {
    // usbfs_increase_memory_usage: the total over every usbfs file of the
    // machine may not pass the limit.
    const uint64_t limit = usbfs_limit_.load();
    uint64_t used = usbfs_used_.load();
    do {
        if (limit > 0 && used + bytes > limit) return false;
    } while (!usbfs_used_.compare_exchange_weak(used, used + bytes));
    return true;
}

void TestbedImpl::release_usbfs_memory(uint64_t bytes) {
    uint64_t used = usbfs_used_.load();
    while (!usbfs_used_.compare_exchange_weak(used, used > bytes ? used - bytes : 0)) {
    }
}

std::vector<std::string> TestbedImpl::child_environment(const std::string &extra_preload) const {
    std::string preload =
        extra_preload.empty() ? kPreloadLibrary : extra_preload + ":" + kPreloadLibrary;
    return {"UMOCKDEV_DIR=" + root_dir_, "LD_PRELOAD=" + preload};
}

EmulatedDevice *TestbedImpl::add_device(const DeviceConfig &config, bool plug, std::string *error) {
    DeviceImpl *device = nullptr;
    {
        std::lock_guard lock(devices_mutex_);
        if (devices_.size() >= kMaxEmulatedDevices) {
            if (error) {
                *error = "at most " + std::to_string(kMaxEmulatedDevices) + " emulated devices";
            }
            return nullptr;
        }
        if (!config.product_id && (config.model < 0 || config.model > 5)) {
            if (error) *error = "model index " + std::to_string(config.model) + " is not 0..5";
            return nullptr;
        }
        devices_.push_back(
            std::make_unique<DeviceImpl>(this, static_cast<int>(devices_.size()), config));
        device = devices_.back().get();
    }
    if (plug && !device->plug(error)) return nullptr;
    return device;
}

EmulatedDevice *TestbedImpl::device(int index) {
    std::lock_guard lock(devices_mutex_);
    if (index < 0 || index >= static_cast<int>(devices_.size())) return nullptr;
    return devices_[index].get();
}

int TestbedImpl::device_count() const {
    std::lock_guard lock(devices_mutex_);
    return static_cast<int>(devices_.size());
}

int TestbedImpl::plugged_devices() const {
    std::vector<DeviceImpl *> all;
    {
        std::lock_guard lock(devices_mutex_);
        for (auto &d : devices_) all.push_back(d.get());
    }
    int plugged = 0;
    for (auto *d : all) plugged += d->plugged() ? 1 : 0;
    return plugged;
}

int TestbedImpl::open_clients() const {
    std::vector<DeviceImpl *> all;
    {
        std::lock_guard lock(devices_mutex_);
        for (auto &d : devices_) all.push_back(d.get());
    }
    int open = 0;
    for (auto *d : all) open += d->state().open_clients;
    return open;
}

std::pair<int, int> TestbedImpl::next_address() {
    // Every plug gets a fresh address, as on a real bus; 126 per bus.
    const int n = next_address_++;
    return {1 + n / 126, 2 + n % 126};
}

bool TestbedImpl::attach(Attachment &attachment, std::string *error) {
    {
        std::lock_guard lock(devices_mutex_);
        nodes_[attachment.devnode] = &attachment;
    }
    GError *gerror = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, attachment.devnode.c_str(), handler_, &gerror)) {
        if (error) *error = std::string("cannot attach the ioctl handler: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    return true;
}

bool TestbedImpl::add_sysfs_entry(const Attachment &attachment, const std::string &record,
                                  std::string *error) {
    GError *gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &gerror)) {
        if (error) *error = std::string("cannot add the sysfs entry: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    // umockdev sends "add" itself only when this process runs with its
    // preload; clients get it either way.
    if (!umockdev_in_mock_environment()) {
        umockdev_testbed_uevent(testbed_, attachment.syspath.c_str(), "add");
    }
    return true;
}

void TestbedImpl::remove_sysfs_entry(const Attachment &attachment) {
    // "remove" first: libusb reads the device node name from the event, and
    // the entry must still exist while umockdev builds the event from it.
    umockdev_testbed_uevent(testbed_, attachment.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, attachment.syspath.c_str());
}

void TestbedImpl::emit(Event event) {
    std::lock_guard lock(events_mutex_);
    const uint64_t one = 1;
    if (events_.size() >= kMaxEvents) {
        events_.pop_front();
        ++dropped_;
    } else if (::write(event_fd_.get(), &one, sizeof one) != sizeof one) {
        // The counter cannot overflow at this queue size; nothing to undo.
    }
    events_.push_back(std::move(event));
    ++generation_;
    events_cv_.notify_all();
}

void TestbedImpl::changed() {
    std::lock_guard lock(events_mutex_);
    ++generation_;
    events_cv_.notify_all();
}

bool TestbedImpl::next_event(Event &out, std::chrono::milliseconds timeout) {
    std::unique_lock lock(events_mutex_);
    if (!events_cv_.wait_for(lock, timeout, [this] { return !events_.empty(); })) return false;
    out = std::move(events_.front());
    events_.pop_front();
    uint64_t value = 0;
    if (::read(event_fd_.get(), &value, sizeof value) != sizeof value) {
        // Already drained by an overflow; the queue is the truth.
    }
    return true;
}

uint64_t TestbedImpl::dropped_events() const {
    std::lock_guard lock(events_mutex_);
    return dropped_;
}

bool TestbedImpl::wait_until(const std::function<bool()> &done,
                             std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(events_mutex_);
    for (;;) {
        const uint64_t seen = generation_;
        lock.unlock();
        if (done()) return true;
        lock.lock();
        if (!events_cv_.wait_until(lock, deadline, [&] { return generation_ != seen; })) {
            lock.unlock();
            return done();
        }
    }
}

gboolean TestbedImpl::on_handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer) {
    auto *attachment =
        static_cast<Attachment *>(g_object_get_data(G_OBJECT(client), kAttachmentKey));
    if (!attachment) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    attachment->device->handle_ioctl(*attachment, client);
    return TRUE;
}

void TestbedImpl::on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client,
                                      gpointer data) {
    auto *self = static_cast<TestbedImpl *>(data);
    const std::string node = umockdev_ioctl_client_get_devnode(client);
    if (node == kProbeNode) {
        std::lock_guard lock(self->worker_mutex_);
        if (!self->worker_ctx_) self->worker_ctx_ = g_main_context_ref_thread_default();
        self->worker_cv_.notify_all();
        return;
    }
    Attachment *attachment = nullptr;
    {
        std::lock_guard lock(self->devices_mutex_);
        auto it = self->nodes_.find(node);
        if (it != self->nodes_.end()) attachment = it->second;
    }
    if (!attachment) return;
    g_object_set_data(G_OBJECT(client), kAttachmentKey, attachment);
    attachment->device->client_connected(*attachment, client);
}

gboolean TestbedImpl::on_check_clients(gpointer data) {
    auto *self = static_cast<TestbedImpl *>(data);
    std::vector<DeviceImpl *> all;
    {
        std::lock_guard lock(self->devices_mutex_);
        for (auto &d : self->devices_) all.push_back(d.get());
    }
    for (auto *d : all) d->prune_clients();
    return G_SOURCE_CONTINUE;
}

}  // namespace torvel::testbed
