#include "cursor.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// blend_component of evdi_cursor.c: (pixel (255 - alpha) + blend alpha) / 255
// by its shifts.
uint32_t blend_component(uint32_t pixel, uint32_t blend, uint32_t alpha) {
    const uint32_t pre_blend = pixel * (255 - alpha) + blend * alpha;
    return (pre_blend + ((pre_blend + 1) << 8)) >> 16;
}

// Keeps at least `n` elements in `p`; false without memory.
bool reserve(std::unique_ptr<uint32_t[]> &p, size_t &capacity, size_t n) {
    if (n <= capacity) return true;
    p.reset(new (std::nothrow) uint32_t[n]);
    capacity = p ? n : 0;
    return p != nullptr;
}

}  // namespace

uint32_t cursor_blend(uint32_t frame_pixel, uint32_t cursor_pixel) {
    const uint32_t alpha = cursor_pixel >> 24;
    return blend_component(frame_pixel & 0xff, cursor_pixel & 0xff, alpha) |
           blend_component((frame_pixel >> 8) & 0xff, (cursor_pixel >> 8) & 0xff, alpha) << 8 |
           blend_component((frame_pixel >> 16) & 0xff, (cursor_pixel >> 16) & 0xff, alpha) << 16;
}

bool screen_cursor_t::set(const evdi_cursor_set &cursor_set) {
    const bool was_enabled = enabled_;
    enabled_ = cursor_set.enabled != 0;
    visible_ = false;
    // evdi_cursor_compose_and_copy draws nothing for a disabled cursor or for
    // an image smaller than its size says (and EVDI's framebuffers are all of
    // 32 bits a pixel). Its pixel (x, y) is word y * width + x: the stride is
    // not used.
    const size_t pixels = static_cast<size_t>(cursor_set.width) * cursor_set.height;
    if (cursor_set.enabled != 0 && cursor_set.buffer != nullptr && pixels != 0 &&
        pixels <= cursor_set.buffer_length / 4 && reserve(image_, image_capacity_, pixels)) {
        std::memcpy(image_.get(), cursor_set.buffer, pixels * 4);
        width_ = cursor_set.width;
        height_ = cursor_set.height;
        visible_ = true;
    }
    return enabled_ != was_enabled;
}

void screen_cursor_t::move(int32_t x, int32_t y) {
    x_ = x;
    y_ = y;
}

void screen_cursor_t::reset() {
    enabled_ = false;
    visible_ = false;
    is_drawn_ = false;
    drawn_ = cursor_rect_t{};
    x_ = y_ = 0;
}

cursor_rect_t screen_cursor_t::area(int width, int height) const {
    if (!visible_) return cursor_rect_t{};
    const int64_t w = static_cast<int64_t>(width_ >> 1) * 2,
                  h = static_cast<int64_t>(height_ >> 1) * 2;
    cursor_rect_t r;
    r.x1 = static_cast<int>(std::clamp<int64_t>(x_, 0, width));
    r.y1 = static_cast<int>(std::clamp<int64_t>(y_, 0, height));
    r.x2 = static_cast<int>(std::clamp<int64_t>(x_ + w, r.x1, width));
    r.y2 = static_cast<int>(std::clamp<int64_t>(y_ + h, r.y1, height));
    return r;
}

void screen_cursor_t::draw(uint8_t *pixels, int width, int height, int stride) {
    is_drawn_ = false;
    const cursor_rect_t r = area(width, height);
    drawn_ = r;
    if (r.empty()) return;
    const size_t columns = static_cast<size_t>(r.x2 - r.x1);
    if (!reserve(under_, under_capacity_, columns * static_cast<size_t>(r.y2 - r.y1))) {
        // Without memory the frame goes out without the cursor.
        drawn_ = cursor_rect_t{};
        return;
    }
    uint32_t *keep = under_.get();
    for (int y = r.y1; y < r.y2; ++y, keep += columns) {
        uint8_t *row =
            pixels + static_cast<ptrdiff_t>(y) * stride + 4 * static_cast<ptrdiff_t>(r.x1);
        std::memcpy(keep, row, columns * 4);
        const uint32_t *src =
            image_.get() + static_cast<size_t>(y - y_) * width_ + static_cast<size_t>(r.x1 - x_);
        for (size_t i = 0; i < columns; ++i) {
            const uint32_t blended = cursor_blend(keep[i], src[i]);
            std::memcpy(row + 4 * i, &blended, 4);
        }
    }
    drawn_pixels_ = pixels;
    drawn_stride_ = stride;
    is_drawn_ = true;
}

void screen_cursor_t::erase() {
    restore_copied(drawn_pixels_, drawn_pixels_, drawn_stride_, drawn_.x1, drawn_.y1, drawn_.x2,
                   drawn_.y2);
    is_drawn_ = false;
}

void screen_cursor_t::restore_copied(const uint8_t *from, uint8_t *to, int stride, int x1, int y1,
                                     int x2, int y2) const {
    if (!is_drawn_ || from != drawn_pixels_) return;
    const int xa = std::max(x1, drawn_.x1), xb = std::min(x2, drawn_.x2);
    const int ya = std::max(y1, drawn_.y1), yb = std::min(y2, drawn_.y2);
    if (xa >= xb || ya >= yb) return;
    const size_t columns = static_cast<size_t>(drawn_.x2 - drawn_.x1);
    for (int y = ya; y < yb; ++y)
        std::memcpy(to + static_cast<ptrdiff_t>(y) * stride + 4 * static_cast<ptrdiff_t>(xa),
                    under_.get() + static_cast<size_t>(y - drawn_.y1) * columns +
                        static_cast<size_t>(xa - drawn_.x1),
                    4 * static_cast<size_t>(xb - xa));
}
