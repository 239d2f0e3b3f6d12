// Wire format of the emulator's control socket (a stream socket; one request,
// then its reply). Both ends run on the same machine and build, so the
// structures travel in native byte order.
#pragma once

#include <cstdint>

namespace evdiemu::wire {

constexpr uint32_t kMagic = 0x45564443;  // "EVDC"

enum : uint32_t {
    kCards = 1,
    kEdid,
    kModeset,
    kOutputOff,
    kDpms,
    kCursorSet,
    kCursorMove,
    kFailNext,
    kReadScreen,
    kSetFormat,
    kPaintRects,
    kLeniency,
    kResetCommitWaits,
    kUsbfsClock,
};

constexpr int kArgs = 8;
// Largest payload either way: a 8192 x 8192 screen.
constexpr uint64_t kMaxPayload = 8192ull * 8192ull * 4ull;

struct Request {
    uint32_t magic;
    uint32_t op;
    int32_t card;
    int32_t args[kArgs];
    uint32_t pad;
    uint64_t payload_len;
};
static_assert(sizeof(Request) == 56);

struct Reply {
    int32_t status;
    uint32_t pad;
    uint64_t payload_len;
};
static_assert(sizeof(Reply) == 16);

}  // namespace evdiemu::wire
