#include "usbfs_budget.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr const char *LIMIT_FILE = "/sys/module/usbcore/parameters/usbfs_memory_mb";
constexpr uint64_t DEFAULT_LIMIT_MB = 16;  // usbcore's own default
// Control transfers (each charges a page and its records) of all threads of
// all devices, and what other programs may use.
constexpr uint64_t CONTROL_RESERVE = 512 * 1024;
// About 35 MB/s reach a device over USB 2.0; 8 MiB drain in some 250 ms,
// half the 500 ms a bulk transfer may take.
constexpr uint64_t LINK_CAP = 8 * 1024 * 1024;
constexpr size_t MAX_STREAM_PART = 4 * 1024 * 1024;
constexpr uint64_t URB_SIZE = 16384;   // libusb's MAX_BULK_BUFFER_LENGTH
constexpr uint64_t URB_RECORDS = 512;  // struct async, struct urb and a scatterlist, rounded up

}  // namespace

uint64_t usbfs_memory_limit() {
    uint64_t mb = DEFAULT_LIMIT_MB;
    if (FILE *f = std::fopen(LIMIT_FILE, "r")) {
        unsigned long long value = 0;
        if (std::fscanf(f, "%llu", &value) == 1) mb = value;
        std::fclose(f);
    }
    return mb << 20;
}

uint64_t transfer_budget(uint64_t limit, int devices) {
    if (limit == 0) return LINK_CAP;
    const uint64_t usable = limit > 2 * CONTROL_RESERVE ? limit - CONTROL_RESERVE : limit / 2;
    const uint64_t share = usable / static_cast<uint64_t>(std::max(devices, 1));
    return std::clamp<uint64_t>(share, 2 * MIN_STREAM_PART, LINK_CAP);
}

size_t stream_part_limit(uint64_t budget) {
    return std::clamp<size_t>(static_cast<size_t>(budget / 2), MIN_STREAM_PART, MAX_STREAM_PART);
}

uint64_t usbfs_charge(uint64_t length) {
    return length + URB_RECORDS * (length / URB_SIZE + 1);
}
