// The cursor (evdi_cursor.c, and the cursor plane of evdi_modeset.c): its
// events for clients that asked for them, otherwise damage and the blending
// of the cursor into every grab.
#include <algorithm>
#include <array>
#include <cerrno>

#include "module.h"

namespace evdiemu::internal {

namespace {

void send_cursor_set(Card &c) {
    // create_cursor_set_event.
    abi::EventCursorSet ev{};
    ev.base = {abi::kEventCursorSet, sizeof(ev)};
    const Cursor &cur = c.cursor;
    ev.enabled = cur.enabled ? 1 : 0;
    ev.hot_x = cur.hot_x;
    ev.hot_y = cur.hot_y;
    ev.width = cur.width;
    ev.height = cur.height;
    ev.pixel_format = cur.pixel_format;
    ev.stride = cur.stride;
    if (cur.obj) ev.buffer_handle = new_gem_handle(c, cur.obj, &ev.buffer_length);
    if (!ev.buffer_handle) {
        ev.enabled = 0;
        ev.buffer_length = 0;
    }
    queue_event(c, &ev, sizeof(ev));
}

void send_cursor_move(Card &c) {
    abi::EventCursorMove ev{{abi::kEventCursorMove, sizeof(ev)}, c.cursor.x, c.cursor.y};
    queue_event(c, &ev, sizeof(ev));
}

// blend_component.
uint32_t blend_component(uint32_t pixel, uint32_t blend, uint32_t alpha) {
    const uint32_t pre_blend = pixel * (255 - alpha) + blend * alpha;
    return (pre_blend + ((pre_blend + 1) << 8)) >> 16;
}

}  // namespace

// blend_alpha: component by component in memory order, whatever the
// framebuffer's format; the result's top byte is 0.
uint32_t cursor_blend(uint32_t fb_value, uint32_t cursor_value) {
    const uint32_t alpha = cursor_value >> 24;
    return blend_component(fb_value & 0xff, cursor_value & 0xff, alpha) |
           blend_component((fb_value & 0xff00) >> 8, (cursor_value & 0xff00) >> 8, alpha) << 8 |
           blend_component((fb_value & 0xff0000) >> 16, (cursor_value & 0xff0000) >> 16, alpha)
               << 16;
}

// evdi_cursor_atomic_update, then evdi_crtc_atomic_flush of the same commit
// (a legacy cursor update has no completion event). Without cursor events a
// visible cursor's change marks the whole framebuffer dirty (its buffer
// objects do not allow software cursor rectangles: only mutter's do); a
// hidden one marks nothing.
void cursor_commit(Card &c, FbPtr fb, int x, int y) {
    Cursor &cur = c.cursor;
    const bool position_changed = cur.x != x || cur.y != y;
    cur.x = x;
    cur.y = y;
    bool changed = false;
    if (fb != cur.obj) {
        if (fb) {
            cur.width = static_cast<uint32_t>(fb->width);
            cur.height = static_cast<uint32_t>(fb->height);
            cur.hot_x = 0;
            cur.hot_y = 0;
            cur.pixel_format = fb->format;
            cur.stride = 4 * cur.width;
        }
        cur.enabled = fb != nullptr;
        cur.obj = fb;
        changed = true;
    }
    if (!c.cursor_events_enabled) {
        if (fb) painter_mark_dirty(c, painter_framebuffer_size(c));
    } else {
        if (changed) send_cursor_set(c);
        if (position_changed) send_cursor_move(c);
    }
    ++c.stats.commits;
    painter_set_vblank(c, false);
    painter_send_update_ready_if_needed(c);
}

// evdi_cursor_compose_and_copy: every cursor pixel on the framebuffer is
// blended over the framebuffer's pixel (not the grab's) and written to the
// client's buffer, whatever the damage. The loops run over twice the half
// sizes, so an odd width or height drops the last column or row.
int cursor_compose_and_copy(const Card &c, const Framebuffer &fb, uint64_t buffer,
                            int buf_byte_stride) {
    const Cursor &cur = c.cursor;
    if (!cur.enabled) return 0;
    if (!cur.obj) return -EINVAL;
    if (cur.width * cur.height * 4 > cur.obj->pixels.size() * 4) return -EINVAL;
    const int h_w = static_cast<int>(cur.width >> 1), h_h = static_cast<int>(cur.height >> 1);
    std::array<uint32_t, kMaxCursor> row{};
    for (int y = -h_h; y < h_h; ++y) {
        const int mouse_y = cur.y + y + h_h;
        if (mouse_y < 0 || mouse_y >= fb.height) continue;
        // The pixels of one row go out in one piece: same bytes as the
        // module's copy per pixel.
        int first = -1, n = 0;
        for (int x = -h_w; x < h_w; ++x) {
            const int mouse_x = cur.x + x + h_w;
            if (mouse_x < 0 || mouse_x >= fb.width) continue;
            const uint32_t cursor_value =
                cur.obj->pixels[static_cast<size_t>(h_h + y) * cur.width + (h_w + x)];
            const uint32_t fb_value = fb.pixels[static_cast<size_t>(mouse_y) * fb.width + mouse_x];
            if (first < 0) first = mouse_x;
            row[static_cast<size_t>(n++)] = cursor_blend(fb_value, cursor_value);
        }
        if (n == 0) continue;
        const uint64_t at = buffer + static_cast<uint64_t>(buf_byte_stride) * mouse_y +
                            static_cast<uint64_t>(first) * 4;
        if (put_user(at, row.data(), static_cast<size_t>(n) * 4)) return -EFAULT;
    }
    return 0;
}

}  // namespace evdiemu::internal
