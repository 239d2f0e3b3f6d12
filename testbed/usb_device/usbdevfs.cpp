// usbdevfs as libusb sees it, on umockdev's worker thread: URBs are
// submitted, completed by the device model (at once, later, or never) and
// reaped; the device node tells libusb when there is something to reap.
// Interface claims, the usbfs memory limit and the per-file bulk endpoint
// state follow the kernel's drivers/usb/core/devio.c. Nothing here blocks:
// waits are the service thread's business.
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include "emulator_internal.h"

namespace torvel::testbed {
namespace {

// What the kernel of a USB 2.0 host offers (proc_get_capabilities);
// scatter-gather only where the host controller does it.
constexpr uint32_t kBaseCapabilities =
    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
constexpr long kSpeedHigh = 3;  // USB_SPEED_HIGH
// proc_do_submiturb charges each URB its buffer plus sizeof(struct async)
// and sizeof(struct urb) (about this much on a 64-bit kernel), a control URB
// also its setup packet, a scatter-gather URB a struct scatterlist per
// 16 KiB piece.
constexpr uint64_t kUrbOverhead = 320;
constexpr uint64_t kSetupPacket = 8;
constexpr uint64_t kScatterlistSize = 32;
constexpr uint64_t kSgPiece = 16384;  // USB_SG_SIZE

void complete(UMockdevIoctlClient *client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

// Resolves a pointer-sized ioctl argument to `size` bytes of client memory.
GPtr<UMockdevIoctlData> resolve(UMockdevIoctlData *arg, size_t offset, size_t size) {
    GError *error = nullptr;
    GPtr<UMockdevIoctlData> data(umockdev_ioctl_data_resolve(arg, offset, size, &error));
    if (error) g_error_free(error);
    return data;
}

// The driver bound to interface 0, or null: a kernel driver, or usbfs for a
// program (another client, or one outside the testbed) that claimed it.
const char *bound_driver(const Attachment &a, InterfaceHolder holder) {
    if (holder == InterfaceHolder::kKernelDriver) return kKernelDriverName;
    if (holder == InterfaceHolder::kOtherProgram) return "usbfs";
    for (const Client &c : a.clients) {
        if (c.claimed) return "usbfs";
    }
    return nullptr;
}

}  // namespace

Client *Attachment::find_client(UMockdevIoctlClient *client) {
    for (Client &c : clients) {
        if (c.client.get() == client) return &c;
    }
    return nullptr;
}

void DeviceImpl::set_ready_count(Attachment &a, int ready) {
    const int before = a.ready;
    a.ready = ready;
    if ((before == 0) == (ready == 0) || a.pty_slave.get() < 0) return;
    // Output started: the node polls writable (libusb wakes and reaps);
    // stopped: it does not. A hung-up node fails the call and stays ready.
    const long action = ready > 0 ? TCOON : TCOOFF;
    syscall(SYS_ioctl, a.pty_slave.get(), TCXONC, action);
}

void DeviceImpl::make_ready(Attachment &a, Urb &urb, int status, int actual_length) {
    urb.stage = Urb::Stage::kReady;
    urb.status = status;
    urb.actual_length = actual_length;
    urb.ready_seq = next_ready_seq_++;
    set_ready_count(a, a.ready + 1);
}

void DeviceImpl::client_connected(Attachment &a, UMockdevIoctlClient *client) {
    std::lock_guard lock(mutex_);
    Client c;
    c.client.reset(static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
    a.clients.push_back(std::move(c));
    ++open_clients_;
    Event e;
    e.kind = EventKind::kClientOpened;
    emit(std::move(e));
    changed();
}

int DeviceImpl::prune_clients() {
    std::list<Urb> dropped;  // released after the lock: unref may run finalizers
    std::vector<GPtr<UMockdevIoctlClient>> gone_clients;
    int connected = 0;
    {
        std::lock_guard lock(mutex_);
        for (auto &a : attachments_) {
            for (auto it = a->clients.begin(); it != a->clients.end();) {
                if (umockdev_ioctl_client_get_connected(it->client.get())) {
                    ++connected;
                    ++it;
                    continue;
                }
                // usbdev_release: the file's claims go, its URBs are killed
                // and freed with their memory.
                UMockdevIoctlClient *client = it->client.get();
                if (assembly_client_ == client) {
                    assembly_.clear();
                    assembly_client_ = nullptr;
                }
                for (auto u = a->urbs.begin(); u != a->urbs.end();) {
                    if (u->client.get() != client) {
                        ++u;
                        continue;
                    }
                    if (u->stage == Urb::Stage::kReady) set_ready_count(*a, a->ready - 1);
                    testbed_->release_usbfs_memory(u->mem_usage);
                    auto next = std::next(u);
                    dropped.splice(dropped.end(), a->urbs, u);
                    u = next;
                }
                gone_clients.push_back(std::move(it->client));
                it = a->clients.erase(it);
                --open_clients_;
                Event e;
                e.kind = EventKind::kClientClosed;
                emit(std::move(e));
                changed();
            }
        }
        pump_link(Clock::now());
    }
    service_cv_.notify_all();
    return connected;
}

void DeviceImpl::release_umockdev_objects() {
    std::list<Urb> dropped;
    std::vector<GPtr<UMockdevIoctlClient>> clients;
    std::lock_guard lock(mutex_);
    for (auto &a : attachments_) {
        for (const Urb &u : a->urbs) testbed_->release_usbfs_memory(u.mem_usage);
        dropped.splice(dropped.end(), a->urbs);
        for (auto &c : a->clients) clients.push_back(std::move(c.client));
        a->clients.clear();
    }
}

void DeviceImpl::handle_ioctl(Attachment &a, UMockdevIoctlClient *client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
        case USBDEVFS_SUBMITURB:
            submit_urb(a, client, arg);
            return;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap_urb(a, client, arg);
            return;
        case USBDEVFS_DISCARDURB:
            discard_urb(a, client, arg);
            return;
        default:
            break;
    }
    long result = -ENODEV;
    {
        std::lock_guard lock(mutex_);
        Client *c = a.find_client(client);
        // usbdev_do_ioctl: everything but reaping fails once disconnected.
        if (!a.gone && c != nullptr) result = device_ioctl(a, *c, request, arg);
    }
    service_cv_.notify_all();
    if (result < 0) return complete(client, -1, static_cast<int>(-result));
    complete(client, result, 0);
}

// mutex_ held.
int DeviceImpl::claim_interface(Attachment &a, Client &c) {
    // claimintf: usb_driver_claim_interface fails while a driver holds it.
    if (c.claimed) return 0;
    if (bound_driver(a, holder_) != nullptr) return EBUSY;
    c.claimed = true;
    changed();
    return 0;
}

// mutex_ held.
int DeviceImpl::check_interface(Attachment &a, Client &c) {
    // checkintf: an unclaimed interface is claimed on first use, with a
    // warning in the kernel log.
    if (c.claimed) return 0;
    ++counters_.unclaimed_bulk;
    remember_line("usbfs: process did not claim interface 0 before use");
    return claim_interface(a, c);
}

// mutex_ held.
void DeviceImpl::release_interface(Attachment &a, Client &c) {
    // releaseintf, then destroy_async_on_interface: the file's URBs on the
    // interface are killed.
    c.claimed = false;
    const auto now = Clock::now();
    for (auto &urb : a.urbs) {
        if (urb.client.get() != c.client.get() || urb.type != USBDEVFS_URB_TYPE_BULK ||
            urb.stage == Urb::Stage::kReady)
            continue;
        fail_bulk_urb(a, urb, -ENOENT, bytes_through(urb, now));
    }
    changed();
}

// mutex_ held. usb_driver_release_interface of whatever driver holds
// interface 0: a kernel driver, or usbfs for the program that claimed it.
void DeviceImpl::release_driver(Attachment &a) {
    if (holder_ == InterfaceHolder::kNone) {
        for (Client &other : a.clients) {
            if (other.claimed) release_interface(a, other);
        }
    }
    holder_ = InterfaceHolder::kNone;
    changed();
}

// mutex_ held. Returns the ioctl's result, or -errno.
int DeviceImpl::device_ioctl(Attachment &a, Client &c, gulong request, UMockdevIoctlData *arg) {
    auto read_uint = [&](unsigned *out) {
        auto v = resolve(arg, 0, sizeof(unsigned));
        if (!v) return false;
        std::memcpy(out, v->data, sizeof *out);
        return true;
    };
    // findintfep: the only endpoint besides ep0 is the bulk OUT 0x01.
    auto interface_of_endpoint = [](unsigned ep) {
        if (ep & ~(0x80u | 0x0Fu)) return -EINVAL;
        return ep == kBulkEndpoint ? 0 : -ENOENT;
    };
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            auto caps = resolve(arg, 0, sizeof(uint32_t));
            if (!caps) return -EFAULT;
            const uint32_t value =
                kBaseCapabilities | (config_.scatter_gather ? USBDEVFS_CAP_BULK_SCATTER_GATHER : 0);
            std::memcpy(caps->data, &value, sizeof value);
            return 0;
        }
        case USBDEVFS_CONNECTINFO: {
            auto info = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
            if (!info) return -EFAULT;
            usbdevfs_connectinfo ci{};
            ci.devnum = static_cast<unsigned>(a.address);
            std::memcpy(info->data, &ci, sizeof ci);
            return 0;
        }
        case USBDEVFS_GET_SPEED:
            return kSpeedHigh;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            unsigned number = 0;
            if (!read_uint(&number)) return -EFAULT;
            if (number >= 32) return -EINVAL;
            if (number != 0) return -ENOENT;  // the device has one interface
            if (request == USBDEVFS_CLAIMINTERFACE) return -claim_interface(a, c);
            if (!c.claimed) return -EINVAL;
            release_interface(a, c);
            return 0;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            unsigned ep = 0;
            if (!read_uint(&ep)) return -EFAULT;
            const int interface = interface_of_endpoint(ep);
            if (interface < 0) return interface;
            if (const int err = check_interface(a, c)) return -err;
            if (request == USBDEVFS_RESETEP) return 0;
            // proc_clearhalt: check_reset_of_active_ep warns when URBs are
            // still queued on the endpoint; usb_clear_halt then clears it.
            ++counters_.clear_halts;
            const bool active = std::any_of(a.urbs.begin(), a.urbs.end(), [](const Urb &u) {
                return u.type == USBDEVFS_URB_TYPE_BULK && u.stage != Urb::Stage::kReady;
            });
            if (active) {
                ++counters_.clear_halts_active;
                remember_line("usbfs: USBDEVFS_CLEAR_HALT for active endpoint 0x01");
            }
            halted_ = false;
            pump_link(Clock::now());
            changed();
            return 0;
        }
        case USBDEVFS_GETDRIVER: {
            // proc_getdriver: the bound driver's name, ENODATA without one.
            auto gd = resolve(arg, 0, sizeof(usbdevfs_getdriver));
            if (!gd) return -EFAULT;
            usbdevfs_getdriver value;
            std::memcpy(&value, gd->data, sizeof value);
            const char *driver = value.interface == 0 ? bound_driver(a, holder_) : nullptr;
            if (driver == nullptr) return -ENODATA;
            std::memset(value.driver, 0, sizeof value.driver);
            std::strncpy(value.driver, driver, sizeof value.driver - 1);
            std::memcpy(gd->data, &value, sizeof value);
            return 0;
        }
        case USBDEVFS_DISCONNECT_CLAIM: {
            // proc_disconnect_claim: a bound driver (usbfs counts too, even
            // for this file's own claim) is released unless the flags spare
            // it, then the interface is claimed.
            auto dc_data = resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
            if (!dc_data) return -EFAULT;
            usbdevfs_disconnect_claim dc;
            std::memcpy(&dc, dc_data->data, sizeof dc);
            if (dc.interface != 0) return -EINVAL;
            dc.driver[sizeof dc.driver - 1] = '\0';
            if (const char *driver = bound_driver(a, holder_)) {
                const bool same = std::strcmp(dc.driver, driver) == 0;
                if ((dc.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !same) return -EBUSY;
                if ((dc.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && same) return -EBUSY;
                release_driver(a);
            }
            return -claim_interface(a, c);
        }
        case USBDEVFS_IOCTL: {
            // proc_ioctl: USBDEVFS_DISCONNECT releases the bound driver,
            // USBDEVFS_CONNECT lets a kernel driver bind again.
            auto ctl_data = resolve(arg, 0, sizeof(usbdevfs_ioctl));
            if (!ctl_data) return -EFAULT;
            usbdevfs_ioctl ctl;
            std::memcpy(&ctl, ctl_data->data, sizeof ctl);
            if (ctl.ifno != 0) return -EINVAL;
            const char *driver = bound_driver(a, holder_);
            if (ctl.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (driver == nullptr) return -ENODATA;
                release_driver(a);
                return 0;
            }
            if (ctl.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                if (driver != nullptr) return -EBUSY;
                // The kernel driver binds again, if there is one for it.
                if (config_.interface_holder == InterfaceHolder::kKernelDriver)
                    holder_ = InterfaceHolder::kKernelDriver;
                changed();
                return 0;
            }
            return -ENOTTY;
        }
        case USBDEVFS_SETINTERFACE: {
            // proc_setintf: the interface is checked (claimed) first.
            auto si = resolve(arg, 0, sizeof(usbdevfs_setinterface));
            if (!si) return -EFAULT;
            usbdevfs_setinterface value;
            std::memcpy(&value, si->data, sizeof value);
            if (value.interface != 0) return -EINVAL;
            if (const int err = check_interface(a, c)) return -err;
            return 0;
        }
        case USBDEVFS_SETCONFIGURATION:
            // proc_setconfig: not while any interface is claimed.
            if (bound_driver(a, holder_) != nullptr) return -EBUSY;
            return 0;
        case USBDEVFS_RESET:
            return 0;
        default:
            return -ENOTTY;
    }
}

void DeviceImpl::submit_urb(Attachment &a, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    // Reading the client's memory talks to the client: do it before locking.
    auto urb_data = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urb_data) return complete(client, -1, EFAULT);
    usbdevfs_urb header;
    std::memcpy(&header, urb_data->data, sizeof header);
    GPtr<UMockdevIoctlData> buffer;
    if (header.buffer_length < 0) return complete(client, -1, EINVAL);
    if (header.buffer_length > 0) {
        buffer = resolve(urb_data.get(), offsetof(usbdevfs_urb, buffer),
                         static_cast<size_t>(header.buffer_length));
        if (!buffer) return complete(client, -1, EFAULT);
    }
    Urb urb;
    urb.client.reset(static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
    urb.user_addr = urb_data->client_addr;
    urb.data = std::move(urb_data);
    urb.type = header.type;
    urb.endpoint = header.endpoint;
    urb.continuation = (header.flags & USBDEVFS_URB_BULK_CONTINUATION) != 0;
    uint8_t *bytes = buffer ? buffer->data : nullptr;
    const size_t length = static_cast<size_t>(header.buffer_length);

    int error = 0;
    {
        std::lock_guard lock(mutex_);
        Client *c = a.find_client(client);
        if (a.gone || c == nullptr) {
            error = ENODEV;
        } else if (header.type == USBDEVFS_URB_TYPE_CONTROL && header.endpoint == 0) {
            error = length < 8 ? EINVAL : submit_control(a, std::move(urb), bytes, length);
        } else if (header.type == USBDEVFS_URB_TYPE_BULK && header.endpoint == kBulkEndpoint) {
            error = submit_bulk(a, *c, std::move(urb), bytes, length);
        } else {
            error = ENOENT;  // no such endpoint
        }
    }
    service_cv_.notify_all();
    if (error) return complete(client, -1, error);
    complete(client, 0, 0);
}

// mutex_ held.
int DeviceImpl::submit_control(Attachment &a, Urb urb, uint8_t *buffer, size_t length) {
    const Setup s{buffer[0], buffer[1], static_cast<uint16_t>(buffer[2] | buffer[3] << 8),
                  static_cast<uint16_t>(buffer[4] | buffer[5] << 8),
                  static_cast<uint16_t>(buffer[6] | buffer[7] << 8)};
    const uint64_t charge = kSetupPacket + kUrbOverhead + s.length;
    if (!testbed_->charge_usbfs_memory(charge)) {
        ++counters_.submit_nomem;
        changed();
        return ENOMEM;
    }
    urb.mem_usage = charge;
    const bool in = (s.request_type & 0x80) != 0;
    ++counters_.control_requests;
    Event e;
    e.kind = EventKind::kControl;
    e.request = s.request;
    e.value = s.value;
    e.length = s.length;
    emit(std::move(e));

    std::optional<ControlFaultState> fault;
    if ((s.request_type & 0x60) != 0) {
        auto it = control_faults_.find(s.request);
        if (it != control_faults_.end() && it->second.count != 0) {
            fault = it->second;
            if (it->second.count > 0) --it->second.count;
        }
    }
    auto &stored = a.urbs.emplace_back(std::move(urb));
    if (fault && fault->fault == ControlFault::kTimeout) {
        stored.stage = Urb::Stage::kNeverCompleted;
        changed();
        return 0;
    }
    int n = -1;
    if (!fault || fault->fault == ControlFault::kShortReply ||
        (fault->fault == ControlFault::kEmptyReply && in)) {
        n = answer_control(s, buffer + 8, length - 8);
    }
    if (fault && n >= 0) {
        if (fault->fault == ControlFault::kShortReply && in) {
            n = std::min<int>(n, fault->short_length);
        } else if (fault->fault == ControlFault::kEmptyReply) {
            n = 0;
        }
    }
    if (fault && fault->fault == ControlFault::kEmptyReply && !in) n = 0;
    if (n < 0) ++counters_.stalls;
    make_ready(a, stored, n < 0 ? -EPIPE : 0, n < 0 ? 0 : n);
    changed();
    return 0;
}

// mutex_ held.
int DeviceImpl::submit_bulk(Attachment &a, Client &c, Urb urb, const uint8_t *data, size_t length) {
    // proc_do_submiturb, in its order: the interface check (claiming it if
    // need be), the memory charge, then the endpoint state of this file.
    if (const int err = check_interface(a, c)) {
        changed();
        return err;
    }
    const uint64_t pieces = (length + kSgPiece - 1) / kSgPiece;
    const uint64_t charge = kUrbOverhead + length +
                            (config_.scatter_gather && pieces > 1 ? pieces * kScatterlistSize : 0);
    if (!testbed_->charge_usbfs_memory(charge)) {
        ++counters_.submit_nomem;
        changed();
        return ENOMEM;
    }
    // A continuation URB is refused while an earlier failure of its
    // transfer disabled the endpoint; a new transfer enables it again.
    if (!urb.continuation) {
        c.bulk_disabled = false;
        ++c.transfers;
    } else if (c.bulk_disabled) {
        testbed_->release_usbfs_memory(charge);
        return EREMOTEIO;
    }
    urb.transfer = c.transfers;
    urb.mem_usage = charge;
    ++counters_.transfers;
    counters_.bytes += length;
    Event e;
    e.kind = EventKind::kBulk;
    e.length = static_cast<uint32_t>(length);
    emit(std::move(e));
    // The data is taken at submission (copied from the client's memory).
    urb.payload = take_buffer(length);
    if (length) std::memcpy(urb.payload.data(), data, length);
    urb.stage = Urb::Stage::kQueued;
    urb.submitted = Clock::now();
    a.urbs.emplace_back(std::move(urb));
    pump_link(Clock::now());
    changed();
    return 0;
}

void DeviceImpl::reap_urb(Attachment &a, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    std::list<Urb> taken;
    bool gone;
    {
        std::lock_guard lock(mutex_);
        gone = a.gone;
        auto best = a.urbs.end();
        for (auto it = a.urbs.begin(); it != a.urbs.end(); ++it) {
            if (it->client.get() != client || it->stage != Urb::Stage::kReady) continue;
            if (best == a.urbs.end() || it->ready_seq < best->ready_seq) best = it;
        }
        if (best != a.urbs.end()) {
            // free_async after processcompl: the URB's memory goes now.
            testbed_->release_usbfs_memory(best->mem_usage);
            taken.splice(taken.end(), a.urbs, best);
            set_ready_count(a, a.ready - 1);
            changed();
        }
    }
    if (taken.empty()) return complete(client, -1, gone ? ENODEV : EAGAIN);
    Urb &urb = taken.front();
    auto slot = resolve(arg, 0, sizeof(void *));
    if (!slot) return complete(client, -1, EFAULT);
    auto *u = reinterpret_cast<usbdevfs_urb *>(urb.data->data);
    u->status = urb.status;
    u->actual_length = urb.actual_length;
    umockdev_ioctl_data_set_ptr(slot.get(), 0, urb.data.get());
    complete(client, 0, 0);
}

void DeviceImpl::discard_urb(Attachment &a, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    gulong target = 0;
    std::memcpy(&target, arg->data, sizeof target);
    int error = EINVAL;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        pump_link(now);  // what has crossed the link by now is done
        for (auto &urb : a.urbs) {
            if (urb.client.get() != client || urb.user_addr != target) continue;
            if (urb.stage == Urb::Stage::kReady) break;  // too late: already done
            // proc_unlinkurb: usb_kill_urb ends it with -ENOENT; what crossed
            // the link before stays delivered (actual_length).
            if (urb.type == USBDEVFS_URB_TYPE_BULK) {
                fail_bulk_urb(a, urb, -ENOENT, std::max(urb.delivered, bytes_through(urb, now)));
                pump_link(now);
            } else {
                make_ready(a, urb, -ENOENT, 0);
            }
            changed();
            error = 0;
            break;
        }
        if (error && a.gone) error = ENODEV;
    }
    service_cv_.notify_all();
    if (error) return complete(client, -1, error);
    complete(client, 0, 0);
}

}  // namespace torvel::testbed
