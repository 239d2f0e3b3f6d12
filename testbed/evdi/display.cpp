// The display server's side of the emulated module (evdiemu::local()): its
// mode sets, page flips, DPMS changes and cursor updates as the commits the
// module sees, and what the outputs show.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "emu_internal.h"
#include "module.h"

namespace evdiemu {

using namespace internal;

namespace {

FbPtr new_framebuffer(int width, int height, uint32_t format, const uint32_t *xrgb) {
    auto fb = std::make_shared<Framebuffer>();
    fb->width = width;
    fb->height = height;
    fb->format = format;
    const size_t n = static_cast<size_t>(width) * height;
    fb->pixels.resize(n);
    if (xrgb)
        for (size_t i = 0; i < n; ++i) fb->pixels[i] = from_xrgb(xrgb[i], format);
    return fb;
}

// Connected, with the CRTC on a mode: what the display server paints on.
Card *shown_card(int index, int *err) {
    Card *c = card_at(index);
    *err = -ENODEV;
    if (!c) return nullptr;
    *err = -ENOTCONN;
    if (!c->painter.is_connected || !c->primary.fb || !c->crtc.enabled) return nullptr;
    return c;
}

void forget_back_buffer(Card &c) {
    c.back.reset();
    c.back_lacks.clear();
}

// The cursor plane sits at the pointer less the image's hot spot.
void move_cursor_plane(Card &c, FbPtr fb) {
    if (!c.crtc.enabled) return;
    cursor_commit(c, std::move(fb), c.pointer_x - c.pointer_hot_x, c.pointer_y - c.pointer_hot_y);
}

// A mode set that cannot keep the framebuffer it has.
bool needs_new_framebuffer(int card, const ModeSet &m) {
    std::lock_guard lock(mod().mu);
    const Card *c = card_at(card);
    const Framebuffer *fb = c ? c->primary.fb.get() : nullptr;
    const int w = m.fb_width ? m.fb_width : m.width, h = m.fb_height ? m.fb_height : m.height;
    return c && (!fb || fb->width != w || fb->height != h || fb->format != m.format);
}

// The framebuffer shown when the display server has no second one for it
// yet, else null.
FbPtr front_without_back(int card) {
    std::lock_guard lock(mod().mu);
    const Card *c = card_at(card);
    if (!c || !c->primary.fb) return nullptr;
    const Framebuffer &front = *c->primary.fb;
    const bool has_back = c->back && c->back->width == front.width &&
                          c->back->height == front.height && c->back->format == front.format;
    return has_back ? nullptr : c->primary.fb;
}

class Local final : public Control {
  public:
    int cards(CardState *out, int max) override {
        std::lock_guard lock(mod().mu);
        const Clock::time_point now = Clock::now();
        for (int i = 0; i < mod().card_count && i < max; ++i) {
            const Card &c = mod().cards[i];
            CardState s = c.stats;
            s.number = c.number;
            s.connected = c.painter.is_connected;
            s.cursor_events = c.cursor_events_enabled;
            s.update_armed = c.painter.was_update_requested;
            s.width = c.crtc.enabled ? c.crtc.width : 0;
            s.height = c.crtc.enabled ? c.crtc.height : 0;
            s.refresh = c.crtc.enabled ? c.crtc.refresh : 0;
            const Framebuffer *fb = c.primary.on_crtc ? c.primary.fb.get() : nullptr;
            s.fb_width = fb ? fb->width : 0;
            s.fb_height = fb ? fb->height : 0;
            s.pixel_format = fb ? fb->format : 0;
            s.crtc_active = c.crtc.active;
            s.dirty_rects = c.painter.num_dirts;
            s.edid_length = static_cast<uint32_t>(c.painter.edid.size());
            s.pixel_area_limit = c.pixel_area_limit;
            s.pixel_per_second_limit = c.pixel_per_second_limit;
            s.commit_pending = c.painter.vblank_held;
            if (s.commit_pending) {
                const double age =
                    std::chrono::duration<double, std::milli>(now - c.painter.held_since).count();
                s.commit_held_ms = age;
                s.commit_wait_max_ms = std::max(s.commit_wait_max_ms, age);
                if (age > kCommitStallMs) ++s.commit_stalls;
            }
            s.cursor_visible = c.cursor.enabled;
            s.cursor_x = c.cursor.x;
            s.cursor_y = c.cursor.y;
            out[i] = s;
        }
        return mod().card_count;
    }

    int edid(int card, uint8_t *out, size_t cap) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        const std::vector<uint8_t> &e = c->painter.edid;
        std::memcpy(out, e.data(), std::min(cap, e.size()));
        return static_cast<int>(e.size());
    }

    int modeset(int card, const ModeSet &m, const uint32_t *xrgb) override {
        // The display server makes its new framebuffer before it commits:
        // not under the module's lock, which grabs wait for.
        FbPtr fresh;
        if (xrgb || needs_new_framebuffer(card, m)) {
            const int w = m.fb_width ? m.fb_width : m.width,
                      h = m.fb_height ? m.fb_height : m.height;
            if (w < 1 || h < 1 || w > 8192 || h > 8192) return -EINVAL;
            fresh = new_framebuffer(w, h, m.format, xrgb);
        }
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (!c->painter.is_connected) return -ENOTCONN;
        const int fb_w = m.fb_width ? m.fb_width : m.width;
        const int fb_h = m.fb_height ? m.fb_height : m.height;
        if (m.width < 1 || m.height < 1 || m.refresh < 1) return -EINVAL;
        // The plane's source, the mode's size, must lie in the framebuffer.
        if (fb_w < m.width || fb_h < m.height) return -ENOSPC;
        if (int r = check_framebuffer_size(fb_w, fb_h)) return r;
        if (!format_supported(m.format)) return -EINVAL;
        // evdi_mode_valid: the client's limits, in the module's 32-bit sums.
        const uint32_t area = static_cast<uint32_t>(m.width) * static_cast<uint32_t>(m.height);
        const uint32_t rate = area * static_cast<uint32_t>(m.refresh);
        if (c->pixel_per_second_limit != 0 &&
            (area > c->pixel_area_limit || rate > c->pixel_per_second_limit)) {
            EVDI_WARN("(card%d) Mode %dx%d@%d rejected\n", c->number, m.width, m.height, m.refresh);
            return -E2BIG;
        }
        FbPtr fb = c->primary.fb;
        if (fresh || !fb || fb->width != fb_w || fb->height != fb_h || fb->format != m.format) {
            fb = fresh ? std::move(fresh) : new_framebuffer(fb_w, fb_h, m.format, nullptr);
            forget_back_buffer(*c);
        }
        Commit n;
        n.crtc = CrtcState{true, true, m.width, m.height, m.refresh};
        n.fb = std::move(fb);
        n.plane_on_crtc = true;
        atomic_commit(*c, n);
        return 0;
    }

    int set_format(int card, uint32_t format) override {
        std::lock_guard lock(mod().mu);
        int err;
        Card *c = shown_card(card, &err);
        if (!c) return err;
        if (!format_supported(format)) return -EINVAL;
        const Framebuffer &old = *c->primary.fb;
        auto fb = std::make_shared<Framebuffer>(old);
        fb->format = format;
        for (uint32_t &px : fb->pixels) px = from_xrgb(to_xrgb(px, old.format), format);
        forget_back_buffer(*c);
        Commit n;
        n.crtc = c->crtc;
        n.fb = std::move(fb);
        n.plane_on_crtc = true;
        atomic_commit(*c, n);
        return 0;
    }

    int output_off(int card) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (!c->painter.is_connected) return -ENOTCONN;
        output_disabled(*c);
        return 0;
    }

    int dpms(int card, int mode) override {
        std::lock_guard lock(mod().mu);
        int err;
        Card *c = shown_card(card, &err);
        if (!c) return err;
        Commit n;
        n.crtc = c->crtc;
        n.crtc.active = mode == 0;
        n.fb = c->primary.fb;
        n.plane_on_crtc = c->primary.on_crtc;
        atomic_commit(*c, n);
        return 0;
    }

    int paint(int card, int x, int y, int w, int h, const uint32_t *px, int stride_px) override {
        if (w < 1 || h < 1) return 0;
        std::vector<uint32_t> packed(static_cast<size_t>(w) * h);
        for (int row = 0; row < h; ++row)
            std::memcpy(&packed[static_cast<size_t>(row) * w],
                        px + static_cast<size_t>(row) * stride_px, static_cast<size_t>(w) * 4);
        const Rect r{x, y, x + w, y + h};
        return paint_rects(card, &r, 1, packed.data());
    }

    // A page flip: the display server brings its other framebuffer up to
    // date (the rectangles the last flip painted), paints into it and
    // flips to it with the painted rectangles as damage.
    int paint_rects(int card, const Rect *rects, int count, const uint32_t *packed) override {
        // The second framebuffer starts as a copy of the first, made outside
        // the module's lock (a scanned-out framebuffer is not written to).
        FbPtr copy;
        if (FbPtr front = front_without_back(card)) copy = std::make_shared<Framebuffer>(*front);
        std::lock_guard lock(mod().mu);
        int err;
        Card *c = shown_card(card, &err);
        if (!c) return err;
        const FbPtr front = c->primary.fb;
        if (!c->back || c->back->width != front->width || c->back->height != front->height ||
            c->back->format != front->format) {
            const bool fits = copy && copy->width == front->width &&
                              copy->height == front->height && copy->format == front->format;
            c->back = fits ? std::move(copy) : std::make_shared<Framebuffer>(*front);
            c->back_lacks.clear();
        }
        Framebuffer &back = *c->back;
        for (const abi::ClipRect &r : c->back_lacks)
            for (int y = r.y1; y < r.y2; ++y) {
                const size_t at = static_cast<size_t>(y) * back.width + r.x1;
                std::copy(front->pixels.begin() + at, front->pixels.begin() + at + (r.x2 - r.x1),
                          back.pixels.begin() + at);
            }
        std::vector<abi::ClipRect> damage;
        const uint32_t *src = packed;
        for (int i = 0; i < count; ++i) {
            const Rect &r = rects[i];
            const int w = r.x2 - r.x1;
            const int xa = std::max(r.x1, 0), xb = std::min(r.x2, back.width);
            const int ya = std::max(r.y1, 0), yb = std::min(r.y2, back.height);
            for (int y = ya; y < yb && xa < xb; ++y)
                for (int x = xa; x < xb; ++x)
                    back.pixels[static_cast<size_t>(y) * back.width + x] =
                        from_xrgb(src[static_cast<size_t>(y - r.y1) * w + (x - r.x1)], back.format);
            if (w > 0 && r.y2 > r.y1) src += static_cast<size_t>(w) * (r.y2 - r.y1);
            if (xa < xb && ya < yb)
                damage.push_back(abi::ClipRect{static_cast<uint16_t>(xa), static_cast<uint16_t>(ya),
                                               static_cast<uint16_t>(xb),
                                               static_cast<uint16_t>(yb)});
        }
        if (damage.empty()) return 0;
        Commit n;
        n.crtc = c->crtc;
        n.fb = c->back;
        n.plane_on_crtc = true;
        n.damage = damage.data();
        n.num_damage = static_cast<int>(damage.size());
        atomic_commit(*c, n);
        c->back = front;
        c->back_lacks = std::move(damage);
        return 0;
    }

    int cursor_set(int card, int hot_x, int hot_y, int w, int h, bool enabled,
                   const uint32_t *argb) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (enabled && (!argb || w < 1 || h < 1 || w > kMaxCursor || h > kMaxCursor))
            return -EINVAL;
        FbPtr fb;
        if (enabled) {
            c->pointer_hot_x = hot_x;
            c->pointer_hot_y = hot_y;
            fb = std::make_shared<Framebuffer>();
            fb->width = w;
            fb->height = h;
            fb->format = abi::kFormatArgb8888;
            fb->pixels.assign(argb, argb + static_cast<size_t>(w) * h);
        }
        move_cursor_plane(*c, std::move(fb));
        return 0;
    }

    int cursor_move(int card, int x, int y) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        c->pointer_x = x;
        c->pointer_y = y;
        move_cursor_plane(*c, c->cursor.obj);
        return 0;
    }

    int fail_next(Op op, int err, int count) override {
        if (static_cast<int>(op) < 0 || op >= Op::Count || err <= 0 || count < 0) return -EINVAL;
        std::lock_guard lock(mod().mu);
        mod().faults[static_cast<int>(op)] = Fault{err, count};
        return 0;
    }

    int read_screen(int card, uint32_t *out, size_t cap_px) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        if (!c->crtc.enabled || !c->primary.fb) return 0;
        const Framebuffer &fb = *c->primary.fb;
        const int w = c->crtc.width, h = c->crtc.height;
        // Also for a client that takes cursor events: it draws the cursor
        // itself, and its devices should show it all the same.
        const bool blend = c->cursor.enabled && c->cursor.obj;
        // The cursor lands where a grab's blending puts it.
        const Cursor &cur = c->cursor;
        const int cw = static_cast<int>(cur.width >> 1) * 2,
                  ch = static_cast<int>(cur.height >> 1) * 2;
        size_t k = 0;
        for (int y = 0; y < h && k < cap_px; ++y)
            for (int x = 0; x < w && k < cap_px; ++x) {
                uint32_t v = fb.pixels[static_cast<size_t>(y) * fb.width + x];
                const int cx = x - cur.x, cy = y - cur.y;
                if (blend && cx >= 0 && cy >= 0 && cx < cw && cy < ch)
                    v = cursor_blend(v, cur.obj->pixels[static_cast<size_t>(cy) * cur.width + cx]);
                out[k++] = to_xrgb(v, fb.format);
            }
        return w * h;
    }

    int reset_commit_waits(int card) override {
        std::lock_guard lock(mod().mu);
        Card *c = card_at(card);
        if (!c) return -ENODEV;
        c->stats.commit_wait_max_ms = 0;
        c->stats.commit_stalls = 0;
        return 0;
    }

    int set_leniency(uint32_t flags) override {
        std::lock_guard lock(mod().mu);
        const int old = static_cast<int>(mod().leniency);
        mod().leniency = flags;
        return old;
    }

    int usbfs_clock(UsbfsClock *out) override {
        *out = evdiemu::internal::usbfs_clock();
        return 0;
    }
};

}  // namespace

Control &local() {
    // Never destroyed, like the module (see Module).
    alignas(Local) static unsigned char storage[sizeof(Local)];
    static Local *instance = new (storage) Local();
    return *instance;
}

}  // namespace evdiemu
