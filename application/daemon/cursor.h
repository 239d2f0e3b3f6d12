// The cursor drawn by the daemon. With cursor events on, EVDI neither draws
// the cursor into the grab nor marks the whole screen dirty when it moves: it
// sends the cursor's image (cursor_set) and position (cursor_move), and the
// daemon blends the cursor into the frame its workers read, as the module
// would have blended it into the grab, so the device shows the same pixels.
// A move then costs only the blocks under the cursor's old and new places.
//
// Everything here runs under the screen's lock: the handlers on the event
// thread, the drawing and erasing on the render thread (before and after a
// frame is coded, while the workers leave the buffer alone), the copies
// between the grab buffers on either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "evdi_compat.h"

// A rectangle of the screen, x1 .. x2 - 1 by y1 .. y2 - 1; empty when
// x1 >= x2 or y1 >= y2.
struct cursor_rect_t {
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    bool empty() const { return x1 >= x2 || y1 >= y2; }
};

class screen_cursor_t {
  public:
    // A cursor_set event: the new image, or none when disabled. Takes what
    // it needs of the event's image; the caller still frees it. Returns true
    // when the event switched the cursor on or off.
    bool set(const evdi_cursor_set &cursor_set);
    // A cursor_move event: the image's top left on the screen.
    void move(int32_t x, int32_t y);
    // Forgets the image (a new screen starts without one).
    void reset();

    // Enabled with an image that can be drawn.
    bool visible() const { return visible_; }
    // The image's top left, as the last cursor_move said.
    int32_t x() const { return x_; }
    int32_t y() const { return y_; }
    // Where the cursor lies on a width x height screen; empty when hidden or
    // off the screen. The module's loops run over twice the half sizes, so
    // an odd width or height leaves out the last column or row.
    cursor_rect_t area(int width, int height) const;

    // Blends the cursor into the 32-bit pixels (rows `stride` bytes apart) of
    // a width x height frame, as evdi_cursor_compose_and_copy blends it into
    // a grab, keeping the pixels it covers; erase() puts them back. At most
    // one drawing at a time.
    void draw(uint8_t *pixels, int width, int height, int stride);
    void erase();
    // The buffer's memory went away (a mode change): there is nothing to
    // erase any more.
    void forget_drawing() { is_drawn_ = false; }
    // Where the last drawing lay (also after its erasure): the device shows
    // the cursor there until a frame without it or elsewhere has gone out.
    cursor_rect_t last_drawn() const { return drawn_; }
    // A copy of the part x1 .. x2 - 1 by y1 .. y2 - 1 of `from` (rows
    // `stride` bytes apart) into `to` took the cursor along if it is drawn
    // in `from`: puts the screen's own pixels back into `to` there.
    void restore_copied(const uint8_t *from, uint8_t *to, int stride, int x1, int y1, int x2,
                        int y2) const;

  private:
    bool enabled_ = false;  // as the last cursor_set said
    bool visible_ = false;  // enabled, with an image that can be drawn
    int32_t x_ = 0, y_ = 0;
    uint32_t width_ = 0, height_ = 0;
    std::unique_ptr<uint32_t[]> image_;  // width_ x height_, rows packed
    size_t image_capacity_ = 0;
    // The frame's own pixels under the drawn cursor, rows packed.
    std::unique_ptr<uint32_t[]> under_;
    size_t under_capacity_ = 0;
    cursor_rect_t drawn_;
    uint8_t *drawn_pixels_ = nullptr;  // the buffer drawn into
    int drawn_stride_ = 0;
    bool is_drawn_ = false;
};

// The blend of one cursor pixel over one frame pixel (blend_alpha of
// evdi_cursor.c): byte by byte in memory order, whatever the frame's format,
// with the cursor's top byte as alpha; the result's top byte is 0.
uint32_t cursor_blend(uint32_t frame_pixel, uint32_t cursor_pixel);
