// Screen content the harness paints on a virtual output.
#pragma once

#include <cstdint>
#include <vector>

#include "evdi_emu.h"

namespace torvel::sim {

// An animated desktop: a gradient background, windows with title bars and
// text-like strokes, a clock in a task bar, a bouncing element and a
// video-like area. Deterministic for a given size and time.
class Scene {
  public:
    // Draws the whole desktop at time 0.
    void reset(int width, int height);
    // Advances to `t` seconds; fills `out` with up to `max` rectangles that
    // changed and returns their count.
    int step(double t, evdiemu::Rect *out, int max);

    int width() const { return width_; }
    int height() const { return height_; }
    const uint32_t *pixels() const { return live_.data(); }

  private:
    void fill(std::vector<uint32_t> &img, int x, int y, int w, int h, uint32_t color);
    // `r` cut to the screen; an empty result has x1 == x2 or y1 == y2.
    evdiemu::Rect clip(evdiemu::Rect r) const;
    void draw_video(double t);
    void draw_clock(int second);
    void place_ball(double t, int *x, int *y) const;

    int width_ = 0, height_ = 0;
    std::vector<uint32_t> base_;  // everything but the bouncing element
    std::vector<uint32_t> live_;  // what the screen shows
    evdiemu::Rect video_{}, clock_{};
    int ball_ = 0, ball_x_ = 0, ball_y_ = 0;
    int last_second_ = -1;
};

// Full-screen natural motion: every pixel changes every step, with the
// statistics of camera footage (smooth areas, texture at every scale, hard
// edges), so each block codes to about as many bytes as a block of video
// does. A periodic picture of kTile x kTile pixels pans across the screen
// in both directions at speeds that never repeat a block's content from one
// step to the next. Deterministic for a given size and time; a step costs
// one copy of the screen.
class MotionScene {
  public:
    static constexpr int kTile = 1024;

    void reset(int width, int height);
    // Advances to `t` seconds; returns the one rectangle that changed (the
    // whole screen), or 0 for an empty screen.
    int step(double t, evdiemu::Rect *out, int max);

    int width() const { return width_; }
    int height() const { return height_; }
    const uint32_t *pixels() const { return live_.data(); }

  private:
    void draw(double t);

    int width_ = 0, height_ = 0;
    std::vector<uint32_t> tile_;  // kTile x kTile, periodic both ways
    std::vector<uint32_t> live_;
};

// The desktop's pointer: an ARGB arrow with a soft shadow (partly
// transparent pixels, so grabs blend it), its hot spot at the top left.
constexpr int kCursorWidth = 16, kCursorHeight = 24;
const uint32_t *cursor_image();
// Where the scene's pointer is at `t` seconds on a width x height screen: it
// glides for two seconds, then rests for two.
void cursor_path(double t, int width, int height, int *x, int *y);

// Scales `rgb` (packed 8-bit RGB, w x h) to an XRGB screen of width x height
// (nearest pixel).
void scale_rgb(const uint8_t *rgb, int w, int h, std::vector<uint32_t> *out, int width, int height);
// The same for an XRGB source.
void scale_xrgb(const uint32_t *src, int w, int h, std::vector<uint32_t> *out, int width,
                int height);

}  // namespace torvel::sim
