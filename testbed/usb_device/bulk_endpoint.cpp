// The bulk OUT endpoint and the link to it: URBs reach the device one after
// another in submission order, their data crosses the link at its rate, the
// device puts transfers together from the packets (a transfer ends with a
// short packet, whatever URBs libusb split it into), a stall halts the
// endpoint until it is cleared, and a failed URB cancels the rest of its
// transfer as the kernel's cancel_bulk_urbs does. Every function here runs
// with DeviceImpl::mutex_ held.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "emulator_internal.h"

namespace torvel::testbed {
namespace {

constexpr size_t kMaxPacket = 512;  // wMaxPacketSize of a high-speed bulk endpoint
// The host controller takes a URB up within a frame of its submission, so
// libusb has submitted all the URBs of a transfer it splits (in one tight
// loop) before the device meets the first. (Met at once, a failing first
// URB would always disable the endpoint under the later ones: libusb then
// reports such a transfer completed, short.)
constexpr auto kFrame = std::chrono::milliseconds(1);

bool is_bulk(const Urb &urb) {
    return urb.type == USBDEVFS_URB_TYPE_BULK;
}

// Data of a URB ends its transfer when its last packet is short (or it is
// empty): the device sees no URBs, only packets.
bool ends_transfer(const Urb &urb) {
    return urb.payload.size() % kMaxPacket != 0 || urb.payload.empty();
}

}  // namespace

bool DeviceImpl::has_room() const {
    const int depth = config_.decode_queue_depth > 0 ? config_.decode_queue_depth : 1;
    return backlog_ < depth;
}

size_t DeviceImpl::bytes_through(const Urb &urb, Clock::time_point now) const {
    if (urb.stage != Urb::Stage::kTransit) return 0;
    const size_t length = urb.payload.size();
    if (now >= urb.due) return length;
    const double total = std::chrono::duration<double>(urb.due - urb.start).count();
    const double gone = std::chrono::duration<double>(now - urb.start).count();
    size_t bytes = total > 0 ? static_cast<size_t>(static_cast<double>(length) * gone / total) : 0;
    bytes -= bytes % kMaxPacket;  // whole packets only
    return std::min(bytes, length);
}

void DeviceImpl::end_assembly(bool cut) {
    assembly_client_ = nullptr;
    if (assembly_.empty()) return;
    if (cut) ++counters_.partial_transfers;
    Job job;
    job.kind = Job::Kind::kTransfer;
    job.data = std::move(assembly_);
    job.cut = cut;
    assembly_ = take_buffer(0);
    jobs_.push_back(std::move(job));
    ++backlog_;
    service_cv_.notify_all();
}

void DeviceImpl::take_data(Urb &urb, size_t bytes, bool ends) {
    const void *client = urb.client.get();
    // The rest of a transfer that was cut: a device that saw the transfer
    // end has no use for it.
    if (client == cut_client_ && urb.transfer == cut_transfer_) {
        urb.delivered += bytes;
        return;
    }
    counters_.bytes_delivered += bytes;
    if (assembly_.empty() && urb.delivered == 0 && bytes == urb.payload.size() && ends) {
        // A whole transfer in one URB (scatter-gather): no copy.
        assembly_ = std::move(urb.payload);
        urb.payload.clear();
        urb.delivered = bytes;
        end_assembly(false);
        return;
    }
    assembly_client_ = client;
    assembly_transfer_ = urb.transfer;
    assembly_.insert(assembly_.end(), urb.payload.begin() + static_cast<ptrdiff_t>(urb.delivered),
                     urb.payload.begin() + static_cast<ptrdiff_t>(urb.delivered + bytes));
    urb.delivered += bytes;
    if (ends) end_assembly(false);
}

void DeviceImpl::arrive(Attachment &a, Urb &urb) {
    const size_t length = urb.payload.size();
    const bool ends = ends_transfer(urb);
    take_data(urb, length - urb.delivered, ends);
    urb.payload.clear();
    make_ready(a, urb, 0, static_cast<int>(length));
    changed();
}

void DeviceImpl::fail_bulk_urb(Attachment &a, Urb &urb, int status, size_t delivered) {
    const size_t length = urb.payload.size();
    if (delivered > urb.delivered) take_data(urb, delivered - urb.delivered, false);
    delivered = urb.delivered;
    if (urb.client.get() == assembly_client_ && urb.transfer == assembly_transfer_) {
        // The transfer ends here, short of its end. (A real device would
        // only see later packets follow; this one knows.)
        cut_client_ = assembly_client_;
        cut_transfer_ = assembly_transfer_;
        end_assembly(true);
    } else if (delivered > 0 || length > 0) {
        cut_client_ = urb.client.get();
        cut_transfer_ = urb.transfer;
    }
    urb.payload.clear();
    ++counters_.failed_transfers;
    make_ready(a, urb, status, static_cast<int>(delivered));
    // async_completed: an error (not a cancellation) cancels the rest of the
    // file's transfer on this endpoint.
    if (status < 0 && status != -ENOENT && status != -ECONNRESET)
        cancel_bulk_urbs(a, urb.client.get());
    changed();
}

void DeviceImpl::cancel_bulk_urbs(Attachment &a, UMockdevIoctlClient *client) {
    // Marks the pending continuation URBs up to the first URB that begins a
    // new transfer; with none such, the endpoint is disabled for further
    // continuation URBs. The marked ones are unlinked (-ECONNRESET).
    std::vector<Urb *> marked;
    bool new_transfer = false;
    for (Urb &u : a.urbs) {
        if (u.client.get() != client || !is_bulk(u) || u.stage == Urb::Stage::kReady) continue;
        if (!u.continuation) {
            new_transfer = true;
            break;
        }
        marked.push_back(&u);
    }
    if (!new_transfer) {
        if (Client *c = a.find_client(client)) c->bulk_disabled = true;
    }
    const auto now = Clock::now();
    for (Urb *u : marked) fail_bulk_urb(a, *u, -ECONNRESET, bytes_through(*u, now));
}

Clock::time_point DeviceImpl::pump_link(Clock::time_point now) {
    Attachment *a = current_;
    if (a == nullptr) return Clock::time_point::max();
    for (Urb &urb : a->urbs) {
        if (!is_bulk(urb) || urb.stage == Urb::Stage::kReady) continue;
        // The device does not take this one (a time-out or partial fault):
        // the endpoint's queue waits behind it.
        if (urb.stage == Urb::Stage::kNeverCompleted) {
            link_blocked_ = true;
            break;
        }
        if (urb.stage == Urb::Stage::kTransit) {
            if (urb.due > now) return urb.due;
            arrive(*a, urb);
            continue;
        }
        // kQueued: the device meets this URB now.
        if (hold_bulk_) {
            link_blocked_ = true;
            break;
        }
        const Clock::time_point met = urb.submitted + kFrame;
        if (met > now) return met;
        const Clock::time_point start = link_blocked_ ? now : std::max(link_free_, met);
        if (!halted_ && bulk_fault_count_ != 0) {
            if (bulk_fault_count_ > 0) --bulk_fault_count_;
            switch (bulk_fault_) {
                case BulkFault::kError:
                    fail_bulk_urb(*a, urb, -EPROTO, 0);
                    continue;
                case BulkFault::kNoDevice:
                    fail_bulk_urb(*a, urb, -ENODEV, 0);
                    continue;
                case BulkFault::kStall:
                    halted_ = true;
                    ++counters_.halts;
                    break;  // failed below, as every URB while halted
                case BulkFault::kTimeout:
                    urb.stage = Urb::Stage::kNeverCompleted;
                    link_blocked_ = true;
                    changed();
                    return Clock::time_point::max();
                case BulkFault::kPartial: {
                    size_t half = urb.payload.size() / 2;
                    half -= half % kMaxPacket;
                    take_data(urb, half, false);
                    urb.stage = Urb::Stage::kNeverCompleted;
                    link_blocked_ = true;
                    changed();
                    return Clock::time_point::max();
                }
            }
        }
        // A halted endpoint answers every packet with STALL.
        if (halted_) {
            fail_bulk_urb(*a, urb, -EPIPE, 0);
            continue;
        }
        if (!has_room()) {  // the device takes data only while it has room
            link_blocked_ = true;
            break;
        }
        link_blocked_ = false;
        urb.start = start;
        urb.due = start;
        if (link_rate_ > 0) {
            urb.due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                static_cast<double>(urb.payload.size()) / link_rate_));
        }
        urb.due = std::max(urb.due, urb.submitted + bulk_delay_);
        link_free_ = urb.due;
        urb.stage = Urb::Stage::kTransit;
        if (urb.due > now) return urb.due;
        arrive(*a, urb);
    }
    return Clock::time_point::max();
}

}  // namespace torvel::testbed
