// The binary interface between libevdi and the EVDI kernel module, declared
// from the layouts libevdi 1.12 uses on x86-64 and AArch64 (LP64). The sizes
// are part of the ioctl numbers, so each structure is pinned by an assert.
#pragma once

#include <cstddef>
#include <cstdint>

namespace evdiabi {

// ioctl numbers: _IOC(dir, 'd', nr, size).
constexpr unsigned long ioc(unsigned dir, unsigned nr, unsigned size) {
    return (static_cast<unsigned long>(dir) << 30) | (static_cast<unsigned long>(size) << 16) |
           (static_cast<unsigned long>('d') << 8) | nr;
}
constexpr unsigned kNone = 0, kWrite = 1, kRead = 2, kReadWrite = 3;

struct DrmVersion {
    int32_t version_major;
    int32_t version_minor;
    int32_t version_patchlevel;
    uint64_t name_len;
    uint64_t name;  // user pointer
    uint64_t date_len;
    uint64_t date;
    uint64_t desc_len;
    uint64_t desc;
};
static_assert(sizeof(DrmVersion) == 64);
static_assert(offsetof(DrmVersion, name_len) == 16);

struct DrmAuth {
    uint32_t magic;
};
static_assert(sizeof(DrmAuth) == 4);

struct DrmModeMapDumb {
    uint32_t handle;
    uint32_t pad;
    uint64_t offset;
};
static_assert(sizeof(DrmModeMapDumb) == 16);

struct Connect {
    int32_t connected;
    int32_t dev_index;
    uint64_t edid;  // user pointer
    uint32_t edid_length;
    uint32_t pixel_area_limit;
    uint32_t pixel_per_second_limit;
    uint32_t pad;
};
static_assert(sizeof(Connect) == 32);
static_assert(offsetof(Connect, edid_length) == 16);

struct RequestUpdate {
    int32_t reserved;
};
static_assert(sizeof(RequestUpdate) == 4);

struct ClipRect {
    uint16_t x1, y1, x2, y2;
};
static_assert(sizeof(ClipRect) == 8);

constexpr int32_t kGrabModeDirty = 1;

struct GrabPix {
    int32_t mode;
    int32_t buf_width;
    int32_t buf_height;
    int32_t buf_byte_stride;
    uint64_t buffer;  // user pointer
    int32_t num_rects;
    int32_t pad;
    uint64_t rects;  // user pointer to ClipRect[num_rects]
};
static_assert(sizeof(GrabPix) == 40);
static_assert(offsetof(GrabPix, num_rects) == 24);
static_assert(offsetof(GrabPix, rects) == 32);

struct DdcciResponse {
    uint64_t buffer;
    uint32_t buffer_length;
    uint8_t result;
};
static_assert(sizeof(DdcciResponse) == 16);

struct EventHeader {
    uint32_t type;
    uint32_t length;
};
static_assert(sizeof(EventHeader) == 8);

struct EnableCursorEvents {
    EventHeader base;
    uint8_t enable;
};
static_assert(sizeof(EnableCursorEvents) == 12);

constexpr unsigned long kIoctlVersion = ioc(kReadWrite, 0x00, sizeof(DrmVersion));
constexpr unsigned long kIoctlAuthMagic = ioc(kWrite, 0x11, sizeof(DrmAuth));
constexpr unsigned long kIoctlSetMaster = ioc(kNone, 0x1e, 0);
constexpr unsigned long kIoctlDropMaster = ioc(kNone, 0x1f, 0);
constexpr unsigned long kIoctlMapDumb = ioc(kReadWrite, 0xb3, sizeof(DrmModeMapDumb));
constexpr unsigned long kIoctlConnect = ioc(kReadWrite, 0x40, sizeof(Connect));
constexpr unsigned long kIoctlRequestUpdate = ioc(kReadWrite, 0x41, sizeof(RequestUpdate));
constexpr unsigned long kIoctlGrabPix = ioc(kReadWrite, 0x42, sizeof(GrabPix));
constexpr unsigned long kIoctlDdcciResponse = ioc(kReadWrite, 0x43, sizeof(DdcciResponse));
constexpr unsigned long kIoctlEnableCursorEvents =
    ioc(kReadWrite, 0x44, sizeof(EnableCursorEvents));
static_assert(kIoctlConnect == 0xc0206440);
static_assert(kIoctlRequestUpdate == 0xc0046441);
static_assert(kIoctlGrabPix == 0xc0286442);
static_assert(kIoctlEnableCursorEvents == 0xc00c6444);
static_assert(kIoctlMapDumb == 0xc01064b3);
static_assert(kIoctlVersion == 0xc0406400);

// Events read from the card: records {type, length, payload}.
constexpr uint32_t kEventUpdateReady = 0x80000000;
constexpr uint32_t kEventDpms = 0x80000001;
constexpr uint32_t kEventModeChanged = 0x80000002;
constexpr uint32_t kEventCrtcState = 0x80000003;
constexpr uint32_t kEventCursorSet = 0x80000004;
constexpr uint32_t kEventCursorMove = 0x80000005;

struct EventDpms {
    EventHeader base;
    int32_t mode;
};
static_assert(sizeof(EventDpms) == 12);

struct EventModeChanged {
    EventHeader base;
    int32_t hdisplay;
    int32_t vdisplay;
    int32_t vrefresh;
    int32_t bits_per_pixel;
    uint32_t pixel_format;
};
static_assert(sizeof(EventModeChanged) == 28);

struct EventCursorSet {
    EventHeader base;
    int32_t hot_x;
    int32_t hot_y;
    uint32_t width;
    uint32_t height;
    uint8_t enabled;
    uint32_t buffer_handle;
    uint32_t buffer_length;
    uint32_t pixel_format;
    uint32_t stride;
};
static_assert(sizeof(EventCursorSet) == 44);
static_assert(offsetof(EventCursorSet, buffer_handle) == 28);

struct EventCursorMove {
    EventHeader base;
    int32_t x;
    int32_t y;
};
static_assert(sizeof(EventCursorMove) == 16);

// 'XR24', 'AR24', 'XB24' and 'AB24': the formats the module's planes take.
constexpr uint32_t kFormatXrgb8888 = 0x34325258;
constexpr uint32_t kFormatArgb8888 = 0x34325241;
constexpr uint32_t kFormatXbgr8888 = 0x34324258;
constexpr uint32_t kFormatAbgr8888 = 0x34324241;

constexpr uint32_t kMaxEdid = 256 * 128;
constexpr int kMaxDirts = 16;

}  // namespace evdiabi
