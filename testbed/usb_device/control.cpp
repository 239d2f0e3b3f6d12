// The device's answers on the default control pipe: the vendor requests
// with their exact request type, value, index and length, and the standard
// descriptor requests. Anything else stalls.
#include <algorithm>
#include <cstring>

#include "emulator_internal.h"

namespace torvel::testbed {
namespace {

constexpr uint8_t kVendorIn = 0xC1;   // device-to-host, vendor, interface
constexpr uint8_t kVendorOut = 0x41;  // host-to-device, vendor, interface
constexpr uint8_t kStandardIn = 0x80;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr int kStall = -1;

void put_le16(uint8_t *p, unsigned v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

int DeviceImpl::answer_standard(const Setup &s, uint8_t *data, size_t capacity) {
    if (s.request_type != kStandardIn || s.request != kGetDescriptor) return kStall;
    const uint8_t type = static_cast<uint8_t>(s.value >> 8);
    const uint8_t desc_index = static_cast<uint8_t>(s.value);
    std::vector<uint8_t> answer;
    if (type == 0x01 && desc_index == 0) {
        answer.assign(descriptors_.begin(), descriptors_.begin() + 18);
    } else if (type == 0x02 && desc_index == 0) {
        answer.assign(descriptors_.begin() + 18, descriptors_.end());
    } else if (type == 0x03) {
        switch (desc_index) {
            case 0:
                answer = {4, 0x03, 0x09, 0x04};
                break;
            case 1:
                answer = string_descriptor("Torvel");
                break;
            case 2:
                answer = string_descriptor("USB display");
                break;
            case 3:
                answer = string_descriptor(config_.serial.empty()
                                               ? "TVL" + std::to_string(1000 + index())
                                               : config_.serial);
                break;
            default:
                return kStall;
        }
    } else {
        return kStall;
    }
    const size_t n = std::min({answer.size(), static_cast<size_t>(s.length), capacity});
    std::memcpy(data, answer.data(), n);
    return static_cast<int>(n);
}

int DeviceImpl::answer_control(const Setup &s, uint8_t *data, size_t capacity) {
    if ((s.request_type & 0x60) == 0) return answer_standard(s, data, capacity);
    // Every vendor request has wIndex 0 and an exact length; the data stage
    // must be all there.
    if (s.index != 0 || s.length > capacity) return kStall;
    auto exact = [&](uint8_t type, uint16_t value, uint16_t length) {
        return s.request_type == type && s.value == value && s.length == length;
    };
    switch (s.request) {
        case request::kGetStatus: {
            if (!exact(kVendorIn, 0, 2)) return kStall;
            uint8_t status = 0;
            if (busy_forever_) {
                status = 1;
            } else if (!busy_.empty()) {
                status = busy_.front();
                busy_.pop_front();
            }
            data[0] = status;
            data[1] = config_.status_high_byte;
            ++counters_.status_polls;
            return 2;
        }
        case request::kGetEdid: {
            if (exact(kVendorIn, 0, 2)) {
                put_le16(data, config_.edid_size.value_or(static_cast<uint16_t>(edid_.size())));
                return 2;
            }
            if (s.request_type != kVendorIn || s.value == 0 || s.length != 128) return kStall;
            if (s.value == config_.failing_edid_bank) return kStall;
            const size_t start = static_cast<size_t>(s.value - 1) * 128;
            if (start + 128 > edid_.size()) return kStall;
            std::memcpy(data, edid_.data() + start, 128);
            return 128;
        }
        case request::kGetMonitorOrient:
            if (!exact(kVendorIn, 0, 1)) return kStall;
            data[0] = orientation_;
            return 1;
        case request::kGetDeviceId:
            if (!exact(kVendorIn, 0, 4)) return kStall;
            put_le32(data, device_id_);
            return 4;
        case request::kGetProductType:
            if (!exact(kVendorIn, 0, 1)) return kStall;
            data[0] = config_.product_type;
            return 1;
        case request::kGetMonitorFeature:
            if (!exact(kVendorIn, 0, 1)) return kStall;
            data[0] = feature_;
            return 1;
        case request::kGetMonitorMirror:
            if (!exact(kVendorIn, 0, 1)) return kStall;
            data[0] = mirror_;
            return 1;
        case request::kGetResolution:
            if (!exact(kVendorIn, 0, 4)) return kStall;
            put_le16(data, resolution_.width);
            put_le16(data + 2, resolution_.height);
            return 4;
        case request::kSetResolution: {
            if (!exact(kVendorOut, 0, 4)) return kStall;
            const Resolution r{static_cast<uint16_t>(data[0] | data[1] << 8),
                               static_cast<uint16_t>(data[2] | data[3] << 8)};
            resolution_ = r;
            resolution_set_ = true;
            resolutions_set_.push_back(r);
            Job job;
            job.kind = Job::Kind::kResolution;
            job.resolution = r;
            jobs_.push_back(std::move(job));
            service_cv_.notify_all();
            Event e;
            e.kind = EventKind::kResolution;
            e.resolution = r;
            emit(std::move(e));
            return 4;
        }
        case request::kSetQuantTable: {
            if (s.request_type != kVendorOut || s.value > kMaxQuantIndex ||
                s.length != kQuantBlobSize) {
                return kStall;
            }
            std::string why;
            if (!check_quant_blob(std::span<const uint8_t>(data, kQuantBlobSize), &why)) {
                note_violation(why);
                Event e;
                e.kind = EventKind::kViolation;
                e.text = why;
                emit(std::move(e));
                return kStall;
            }
            quant_index_ = s.value;
            quant_blob_.assign(data, data + kQuantBlobSize);
            Job job;
            job.kind = Job::Kind::kQuantTable;
            job.quant_index = s.value;
            job.data = quant_blob_;
            jobs_.push_back(std::move(job));
            service_cv_.notify_all();
            Event e;
            e.kind = EventKind::kQuantTable;
            e.value = s.value;
            emit(std::move(e));
            return static_cast<int>(kQuantBlobSize);
        }
        case request::kSetDeviceId: {
            if (!exact(kVendorOut, 0, 4)) return kStall;
            device_id_ = le32(data);
            ids_set_.push_back(device_id_);
            Event e;
            e.kind = EventKind::kDeviceIdSet;
            e.value = device_id_;
            emit(std::move(e));
            return 4;
        }
        default:
            return kStall;
    }
}

}  // namespace torvel::testbed
