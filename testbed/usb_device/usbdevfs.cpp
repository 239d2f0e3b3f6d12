// usbdevfs as libusb sees it, on umockdev's worker thread: URBs are
// submitted, completed by the device model (at once, later, or never) and
// reaped; the device node's FIFO tells libusb when there is something to
// reap. Nothing here blocks: waits are the service thread's business.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include "emulator_internal.h"

namespace torvel::testbed {
namespace {

// What the kernel of a USB 2.0 host with scatter-gather offers: libusb then
// submits each bulk transfer as one URB.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
    USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
constexpr long kSpeedHigh = 3;  // USB_SPEED_HIGH

int bulk_status(BulkFault fault) {
    switch (fault) {
        case BulkFault::kError:
            return -EPROTO;
        case BulkFault::kStall:
            return -EPIPE;
        case BulkFault::kNoDevice:
            return -ENODEV;
        case BulkFault::kTimeout:
            return 0;
    }
    return -EPROTO;
}

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

}  // namespace

void DeviceImpl::set_ready_count(Attachment &a, int ready) {
    const int before = a.ready;
    a.ready = ready;
    if (before == 0 && ready > 0) {
        char sink[16];
        while (::read(a.fifo.get(), sink, sizeof sink) > 0) {
        }
    } else if (before > 0 && ready == 0) {
        const char byte = 0;
        if (::write(a.fifo.get(), &byte, 1) != 1) {
            // The pipe already holds a byte: libusb stays asleep either way.
        }
    }
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
    a.clients.emplace_back(
        GPtr<UMockdevIoctlClient>(static_cast<UMockdevIoctlClient *>(g_object_ref(client))));
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
                if (umockdev_ioctl_client_get_connected(it->get())) {
                    ++connected;
                    ++it;
                    continue;
                }
                UMockdevIoctlClient *client = it->get();
                for (auto u = a->urbs.begin(); u != a->urbs.end();) {
                    if (u->client.get() != client) {
                        ++u;
                        continue;
                    }
                    if (u->stage == Urb::Stage::kReady) set_ready_count(*a, a->ready - 1);
                    auto next = std::next(u);
                    dropped.splice(dropped.end(), a->urbs, u);
                    u = next;
                }
                gone_clients.push_back(std::move(*it));
                it = a->clients.erase(it);
                --open_clients_;
                Event e;
                e.kind = EventKind::kClientClosed;
                emit(std::move(e));
                changed();
            }
        }
    }
    return connected;
}

void DeviceImpl::release_umockdev_objects() {
    std::list<Urb> dropped;
    std::vector<GPtr<UMockdevIoctlClient>> clients;
    std::lock_guard lock(mutex_);
    for (auto &a : attachments_) {
        dropped.splice(dropped.end(), a->urbs);
        for (auto &c : a->clients) clients.push_back(std::move(c));
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
    bool gone;
    {
        std::lock_guard lock(mutex_);
        gone = a.gone;
        if (!gone && request == USBDEVFS_CLEAR_HALT) {
            ++counters_.clear_halts;
            changed();
        }
    }
    if (gone) {
        complete(client, -1, ENODEV);
        return;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            auto caps = resolve(arg, 0, sizeof(uint32_t));
            if (!caps) return complete(client, -1, EFAULT);
            const uint32_t value = kCapabilities;
            std::memcpy(caps->data, &value, sizeof value);
            return complete(client, 0, 0);
        }
        case USBDEVFS_CONNECTINFO: {
            auto info = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
            if (!info) return complete(client, -1, EFAULT);
            usbdevfs_connectinfo ci{};
            ci.devnum = static_cast<unsigned>(a.address);
            std::memcpy(info->data, &ci, sizeof ci);
            return complete(client, 0, 0);
        }
        case USBDEVFS_GET_SPEED:
            return complete(client, kSpeedHigh, 0);
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            auto number = resolve(arg, 0, sizeof(unsigned));
            if (!number) return complete(client, -1, EFAULT);
            unsigned interface_number = 0;
            std::memcpy(&interface_number, number->data, sizeof interface_number);
            // The device has one interface.
            return interface_number == 0 ? complete(client, 0, 0) : complete(client, -1, ENOENT);
        }
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
        case USBDEVFS_DISCONNECT_CLAIM:
            return complete(client, 0, 0);
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            return complete(client, -1, ENODATA);  // no kernel driver bound
        default:
            return complete(client, -1, ENOTTY);
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
    uint8_t *bytes = buffer ? buffer->data : nullptr;
    const size_t length = static_cast<size_t>(header.buffer_length);

    int error = 0;
    {
        std::lock_guard lock(mutex_);
        if (a.gone) {
            error = ENODEV;
        } else if (header.type == USBDEVFS_URB_TYPE_CONTROL && header.endpoint == 0) {
            if (length < 8) {
                error = EINVAL;
            } else {
                submit_control(a, std::move(urb), bytes, length);
            }
        } else if (header.type == USBDEVFS_URB_TYPE_BULK && header.endpoint == kBulkEndpoint) {
            submit_bulk(a, std::move(urb), bytes, length);
        } else {
            error = ENOENT;  // no such endpoint
        }
    }
    if (error) return complete(client, -1, error);
    complete(client, 0, 0);
}

// mutex_ held.
void DeviceImpl::submit_control(Attachment &a, Urb urb, uint8_t *buffer, size_t length) {
    const Setup s{buffer[0], buffer[1], static_cast<uint16_t>(buffer[2] | buffer[3] << 8),
                  static_cast<uint16_t>(buffer[4] | buffer[5] << 8),
                  static_cast<uint16_t>(buffer[6] | buffer[7] << 8)};
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
        return;
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
}

// mutex_ held.
void DeviceImpl::submit_bulk(Attachment &a, Urb urb, const uint8_t *data, size_t length) {
    ++counters_.transfers;
    counters_.bytes += length;
    Event e;
    e.kind = EventKind::kBulk;
    e.length = static_cast<uint32_t>(length);
    emit(std::move(e));
    auto &stored = a.urbs.emplace_back(std::move(urb));
    stored.actual_length = static_cast<int>(length);
    changed();
    if (bulk_fault_count_ != 0) {
        if (bulk_fault_count_ > 0) --bulk_fault_count_;
        ++counters_.failed_transfers;
        if (bulk_fault_ == BulkFault::kTimeout) {
            stored.stage = Urb::Stage::kNeverCompleted;
        } else {
            make_ready(a, stored, bulk_status(bulk_fault_), 0);
        }
        return;
    }
    stored.payload = take_buffer(length);
    if (length) std::memcpy(stored.payload.data(), data, length);
    if (hold_bulk_) {
        stored.stage = Urb::Stage::kHeld;
    } else if (bulk_delay_.count() > 0) {
        stored.stage = Urb::Stage::kDelayed;
        stored.due = Clock::now() + bulk_delay_;
        service_cv_.notify_all();
    } else if (accept_bulk(stored)) {
        make_ready(a, stored, 0, static_cast<int>(length));
    } else {
        stored.stage = Urb::Stage::kWaitingForQueue;
    }
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
        for (auto &urb : a.urbs) {
            if (urb.client.get() != client || urb.user_addr != target) continue;
            if (urb.stage == Urb::Stage::kReady) break;  // too late: already done
            if (holds_unaccepted_data(urb)) ++counters_.failed_transfers;
            urb.payload.clear();
            make_ready(a, urb, -ENOENT, 0);
            changed();
            error = 0;
            break;
        }
        if (error && a.gone) error = ENODEV;
    }
    if (error) return complete(client, -1, error);
    complete(client, 0, 0);
}

}  // namespace torvel::testbed
