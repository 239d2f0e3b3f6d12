#include "frame_tag.h"

#include <algorithm>
#include <cmath>

namespace torvel::sim {

namespace {

constexpr int kBar = kTagWidth / 8;

}  // namespace

evdiemu::Rect paint_tag(std::vector<uint32_t> &screen, int width, int height, uint8_t tag) {
    if (width < kTagWidth || height < kTagHeight) return evdiemu::Rect{};
    const evdiemu::Rect r{0, height - kTagHeight, kTagWidth, height};
    for (int y = r.y1; y < r.y2; ++y)
        for (int x = 0; x < kTagWidth; ++x)
            screen[static_cast<size_t>(y) * width + x] = (tag >> (x / kBar) & 1) ? 0xFFFFFFu : 0;
    return r;
}

int read_tag(const testbed::FrameBuffer &shown) {
    if (shown.width() < kTagWidth || shown.height() < kTagHeight) return -1;
    int tag = 0;
    for (int bit = 0; bit < 8; ++bit) {
        // The middle of the bar, away from the edges JPEG blurs.
        const uint8_t *p = shown.pixel(bit * kBar + kBar / 2, shown.height() - kTagHeight / 2);
        const int level = (p[0] + p[1] + p[2]) / 3;
        if (level > 160)
            tag |= 1 << bit;
        else if (level >= 96)
            return -1;
    }
    return tag;
}

void TagClock::painted(uint8_t tag, int64_t us) {
    painted_us_[tag] = us;
    pending_[tag] = true;
}

void TagClock::shown(int tag, int64_t us) {
    if (tag < 0 || tag > 255 || !pending_[tag]) return;
    pending_[tag] = false;
    latencies_us_.push_back(us - painted_us_[tag]);
    sorted_ = false;
}

void TagClock::add(const TagClock &other) {
    latencies_us_.insert(latencies_us_.end(), other.latencies_us_.begin(),
                         other.latencies_us_.end());
    sorted_ = false;
}

double TagClock::quantile_ms(double q) {
    if (latencies_us_.empty()) return -1;
    if (!sorted_) {
        std::sort(latencies_us_.begin(), latencies_us_.end());
        sorted_ = true;
    }
    const size_t i =
        std::min(latencies_us_.size() - 1,
                 static_cast<size_t>(std::ceil(q * static_cast<double>(latencies_us_.size())) -
                                     (q > 0 ? 1 : 0)));
    return static_cast<double>(latencies_us_[i]) / 1000.0;
}

}  // namespace torvel::sim
