// A frame's number painted into the screen, so the harness can tell which
// paint a device's decoded picture shows and time the way from paint to
// decode: one 32 x 8 block at the screen's bottom left, eight bars of 4
// pixels, black or white by the bits of the number. JPEG at the device's
// quality keeps bars that plain.
#pragma once

#include <cstdint>
#include <vector>

#include "evdi_emu.h"
#include "stream_decoder.h"

namespace torvel::sim {

inline constexpr int kTagWidth = 32, kTagHeight = 8;

// Paints `tag` (0..255) into an XRGB screen of width x height, rows packed;
// returns the rectangle painted (empty for a screen smaller than the tag).
evdiemu::Rect paint_tag(std::vector<uint32_t> &screen, int width, int height, uint8_t tag);
// The tag a device's picture shows; -1 when it shows none (a bar neither
// black nor white).
int read_tag(const testbed::FrameBuffer &shown);

// Paint times by tag and the latencies of the pictures that showed them.
class TagClock {
  public:
    // A paint of `tag` at `us` (steady clock, microseconds).
    void painted(uint8_t tag, int64_t us);
    // A device decoded a picture showing `tag` at `us`: the first such
    // picture after the paint counts once.
    void shown(int tag, int64_t us);
    // Latencies in milliseconds, sorted; their quantile q (0..1), or -1.
    double quantile_ms(double q);
    size_t count() const { return latencies_us_.size(); }
    // Takes in the latencies of another clock.
    void add(const TagClock &other);

  private:
    int64_t painted_us_[256] = {};
    bool pending_[256] = {};
    std::vector<int64_t> latencies_us_;
    bool sorted_ = true;
};

}  // namespace torvel::sim
