// Screen content from a real X server: Xvfb with an X client of ours
// (torvel-sim-xclient) drawing on it, captured with XShm.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "evdi_emu.h"

namespace torvel::sim {

class XvfbSource {
  public:
    // Starts Xvfb (a free display number) at width x height and the client.
    static std::unique_ptr<XvfbSource> start(int width, int height, const std::string &client,
                                             std::string *error);
    ~XvfbSource();
    XvfbSource(const XvfbSource &) = delete;
    XvfbSource &operator=(const XvfbSource &) = delete;

    const std::string &display() const { return display_; }  // ":N"
    int width() const { return width_; }
    int height() const { return height_; }
    // Captures the screen; fills `out` with the rectangles that changed since
    // the last capture (all of it the first time) and returns their count.
    int capture(evdiemu::Rect *out, int max);
    const uint32_t *pixels() const { return frame_.data(); }

  private:
    XvfbSource() = default;
    struct X;
    std::unique_ptr<X> x_;
    pid_t server_ = -1, client_ = -1;
    std::string display_;
    int width_ = 0, height_ = 0;
    bool first_ = true;
    std::vector<uint32_t> frame_;
};

}  // namespace torvel::sim
