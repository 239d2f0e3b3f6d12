// Screen content of the end-to-end benchmark (scripts/bench-e2e.sh): desktop
// use at 60 frames a second, each workload a known amount of change, on top
// of the still desktop of Scene.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "evdi_emu.h"
#include "scene.h"

namespace torvel::sim {

enum class Workload {
    kStill,   // a text caret blinking twice a second
    kTyping,  // ten characters a second, the caret after them
    kMouse,   // the pointer moving every frame, nothing painted
    kScroll,  // a window's text scrolling by two lines of pixels a frame
    kVideo,   // a 1280 x 720 picture of natural motion in the middle
};

// "still", "typing", "mouse", "scroll" or "video"; false for anything else.
bool parse_workload(std::string_view name, Workload *out);

class WorkloadScene {
  public:
    explicit WorkloadScene(Workload w = Workload::kStill) : workload_(w) {}

    // The desktop at time 0.
    void reset(int width, int height);
    // Advances to `t` seconds; fills `out` with up to `max` rectangles that
    // changed and returns their count.
    int step(double t, evdiemu::Rect *out, int max);
    // Where the pointer is at `t` seconds (the mouse workload: once round a
    // circle every two seconds); false when the workload does not move it.
    bool pointer(double t, int *x, int *y) const;

    int width() const { return width_; }
    int height() const { return height_; }
    const uint32_t *pixels() const { return live_.data(); }

  private:
    // The character cell `index` (clipped into *r); false when that cell is
    // typed blank.
    bool cell(int index, evdiemu::Rect *r) const;
    void draw_glyph(int index, evdiemu::Rect *r);
    void draw_caret(bool on, evdiemu::Rect *r);
    void draw_scrolled(int offset);

    Workload workload_;
    int width_ = 0, height_ = 0;
    std::vector<uint32_t> live_;
    evdiemu::Rect text_{};  // the window's text area
    int typed_ = 0;         // characters shown
    bool caret_on_ = false;
    int scrolled_ = -1;  // offset of the text shown, in pixels
    MotionScene video_;  // kVideo's picture, placed at video_at_
    evdiemu::Rect video_at_{};
};

}  // namespace torvel::sim
