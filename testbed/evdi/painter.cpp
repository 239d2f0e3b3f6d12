// The painter (evdi_painter.c): the connected client, its damage, update
// requests, grabs, and the commit completions held until the next grab.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "module.h"

namespace evdiemu::internal {

namespace {

void expand_rect(abi::ClipRect &a, const abi::ClipRect &b) {
    a.x1 = std::min(a.x1, b.x1);
    a.y1 = std::min(a.y1, b.y1);
    a.x2 = std::max(a.x2, b.x2);
    a.y2 = std::max(a.y2, b.y2);
}

int rect_area(const abi::ClipRect &r) {
    return (r.x2 - r.x1) * (r.y2 - r.y1);
}

// merge_dirty_rects: joins two rectangles whenever their bounding box is no
// larger than both, and passes over the list again after each join.
void merge_dirty_rects(abi::ClipRect *rects, int *count) {
    for (int a = 0; a < *count - 1; ++a) {
        for (int b = a + 1; b < *count;) {
            abi::ClipRect bounding = rects[a];
            expand_rect(bounding, rects[b]);
            if (rect_area(bounding) <= rect_area(rects[a]) + rect_area(rects[b])) {
                rects[a] = bounding;
                rects[b] = rects[*count - 1];
                b = a + 1;
                --*count;
            } else {
                ++b;
            }
        }
    }
}

// collapse_dirty_rects.
void collapse_dirty_rects(abi::ClipRect *rects, int *count) {
    for (int i = 1; i < *count; ++i) expand_rect(rects[0], rects[i]);
    *count = 1;
}

// evdi_framebuffer_sanitize_rect: corners put in order, then clipped to the
// framebuffer.
abi::ClipRect sanitize_rect(const Framebuffer &fb, const abi::ClipRect &dirty) {
    abi::ClipRect r = dirty;
    if (r.x1 > r.x2) std::swap(r.x1, r.x2);
    if (r.y1 > r.y2) std::swap(r.y1, r.y2);
    const auto w = static_cast<uint16_t>(fb.width), h = static_cast<uint16_t>(fb.height);
    r.x1 = std::min(r.x1, w);
    r.y1 = std::min(r.y1, h);
    r.x2 = std::min(r.x2, w);
    r.y2 = std::min(r.y2, h);
    return r;
}

void send_update_ready(Card &c) {
    abi::EventHeader ev{abi::kEventUpdateReady, sizeof(ev)};
    queue_event(c, &ev, sizeof(ev));
    ++c.stats.updates_ready;
}

// evdi_send_vblank of a held completion: the commit that waited is done.
void release_vblank(Card &c) {
    if (!c.painter.vblank_held) return;
    c.painter.vblank_held = false;
    const double ms =
        std::chrono::duration<double, std::milli>(Clock::now() - c.painter.held_since).count();
    c.stats.commit_wait_max_ms = std::max(c.stats.commit_wait_max_ms, ms);
    if (ms > kCommitStallMs) ++c.stats.commit_stalls;
}

// copy_primary_pixels: rectangle by rectangle, each checked against the
// client's buffer ("rect size may correspond to previous resolution").
int copy_primary_pixels(const Framebuffer &fb, const abi::GrabPix &cmd, const abi::ClipRect *rects,
                        int num_rects) {
    int k = 0;
    size_t total = 0;
    for (int i = 0; i < num_rects; ++i) {
        const abi::ClipRect &r = rects[i];
        if (cmd.buf_width < r.x2 || cmd.buf_height < r.y2) {
            // The rectangles before this one were copied.
            EVDI_WARN("Rect size beyond expected dimensions\n");
            put_user_pieces(mod().local_iov, mod().remote_iov, k, total);
            return -EFAULT;
        }
        const size_t span = static_cast<size_t>(r.x2 - r.x1) * 4;
        const size_t pitch = static_cast<size_t>(fb.width) * 4;
        // Full-width rows packed alike on both sides travel as one piece.
        const bool packed =
            r.x1 == 0 && span == pitch && static_cast<size_t>(cmd.buf_byte_stride) == span;
        const int rows_per_piece = packed ? r.y2 - r.y1 : 1;
        for (int y = r.y1; y < r.y2; y += rows_per_piece) {
            const size_t len = span * static_cast<size_t>(rows_per_piece);
            mod().local_iov[k] = {
                const_cast<uint32_t *>(&fb.pixels[static_cast<size_t>(y) * fb.width + r.x1]), len};
            mod().remote_iov[k] = {
                reinterpret_cast<void *>(cmd.buffer +
                                         static_cast<uint64_t>(y) *
                                             static_cast<uint32_t>(cmd.buf_byte_stride) +
                                         static_cast<uint64_t>(r.x1) * 4),
                len};
            total += len;
            if (++k == kIov) {
                if (put_user_pieces(mod().local_iov, mod().remote_iov, k, total)) return -EFAULT;
                k = 0;
                total = 0;
            }
        }
    }
    return put_user_pieces(mod().local_iov, mod().remote_iov, k, total);
}

}  // namespace

// evdi_painter_mark_dirty: nothing without a scanout buffer; a full list is
// merged, and collapsed to one rectangle if merging left it full.
void painter_mark_dirty(Card &c, const abi::ClipRect &dirty_rect) {
    Painter &p = c.painter;
    if (!p.scanout_fb) {
        if (p.is_connected)
            EVDI_WARN("(card%d) Skip clip rect. Scanout buffer not set.\n", c.number);
        return;
    }
    const abi::ClipRect rect = sanitize_rect(*p.scanout_fb, dirty_rect);
    if (p.num_dirts == abi::kMaxDirts) merge_dirty_rects(p.dirty_rects, &p.num_dirts);
    if (p.num_dirts == abi::kMaxDirts) collapse_dirty_rects(p.dirty_rects, &p.num_dirts);
    p.dirty_rects[p.num_dirts++] = rect;
}

int painter_num_dirts(const Card &c) {
    return c.painter.num_dirts;
}

// evdi_painter_framebuffer_size.
abi::ClipRect painter_framebuffer_size(const Card &c) {
    const FbPtr &fb = c.painter.scanout_fb;
    if (!fb) return abi::ClipRect{0, 0, 0, 0};
    return abi::ClipRect{0, 0, static_cast<uint16_t>(fb->width), static_cast<uint16_t>(fb->height)};
}

void painter_set_scanout_buffer(Card &c, FbPtr fb) {
    c.painter.scanout_fb = std::move(fb);
}

// evdi_painter_set_vblank: the completion held before is sent; this one is
// held while damage is pending on a connected output, else sent at once.
// A commit with no completion event (a legacy cursor update, or a CRTC off
// before and after) holds nothing.
void painter_set_vblank(Card &c, bool has_event) {
    release_vblank(c);
    if (has_event && c.painter.num_dirts > 0 && c.painter.is_connected) {
        c.painter.vblank_held = true;
        c.painter.held_since = Clock::now();
    }
}

// evdi_painter_send_update_ready_if_needed (kernel 5.10 and later: only with
// damage pending).
void painter_send_update_ready_if_needed(Card &c) {
    if (c.painter.was_update_requested && c.painter.num_dirts) {
        send_update_ready(c);
        c.painter.was_update_requested = false;
    }
}

// evdi_painter_dpms_notify.
void painter_dpms_notify(Card &c, int mode) {
    if (!c.painter.is_connected) return;
    static const char *const kNames[] = {"on", "standby", "suspend", "off"};
    EVDI_INFO("(card%d) Notifying display power state: %s", c.number,
              mode >= 0 && mode <= 3 ? kNames[mode] : "unknown");
    abi::EventDpms ev{{abi::kEventDpms, sizeof(ev)}, mode};
    queue_event(c, &ev, sizeof(ev));
    c.stats.dpms = mode;
}

// evdi_painter_mode_changed_notify: the mode, with the bits per pixel and
// format of the scanout buffer; nothing without one.
void painter_mode_changed_notify(Card &c, const CrtcState &mode) {
    const FbPtr &fb = c.painter.scanout_fb;
    if (!fb) return;
    const uint32_t f = fb->format;
    EVDI_INFO("(card%d) Notifying mode changed: %dx%d@%d; bpp %d; pixel format %c%c%c%c", c.number,
              mode.width, mode.height, mode.refresh, 32, static_cast<char>(f),
              static_cast<char>(f >> 8), static_cast<char>(f >> 16), static_cast<char>(f >> 24));
    abi::EventModeChanged ev{
        {abi::kEventModeChanged, sizeof(ev)}, mode.width, mode.height, mode.refresh, 32, f};
    queue_event(c, &ev, sizeof(ev));
    c.painter.needs_full_modeset = false;
}

// evdi_painter_connect.
int painter_connect(Card &c, int file, uint64_t edid, uint32_t edid_length, uint32_t area_limit,
                    uint32_t pps_limit) {
    if (edid_length < 128) {
        EVDI_ERROR("Edid length too small\n");
        return -EINVAL;
    }
    if (edid_length > abi::kMaxEdid) {
        EVDI_ERROR("Edid length too large\n");
        return -EINVAL;
    }
    std::vector<uint8_t> new_edid(edid_length);
    if (get_user(new_edid.data(), edid, new_edid.size())) {
        EVDI_ERROR("(card%d) Failed to read edid\n", c.number);
        return -EFAULT;
    }
    const uint32_t expected = 128u + 128u * new_edid[126];
    if (expected != edid_length) {
        EVDI_ERROR("Wrong edid size. Expected %u but is %u\n", expected, edid_length);
        return -EINVAL;
    }
    Painter &p = c.painter;
    if (p.drm_filp >= 0)
        EVDI_WARN("(card%d) Double connect - replacing file %d with %d\n", c.number, p.drm_filp,
                  file);
    c.pixel_area_limit = area_limit;
    c.pixel_per_second_limit = pps_limit;
    p.drm_filp = file;
    p.edid = std::move(new_edid);
    p.is_connected = true;
    p.needs_full_modeset = true;
    ++c.stats.connects;
    EVDI_INFO("(card%d) Connected with file %d\n", c.number, file);
    return 0;
}

// evdi_painter_disconnect: the damage stays (a later client of the card
// inherits it); the held completion is sent, pending events are dropped.
int painter_disconnect(Card &c, int file) {
    Painter &p = c.painter;
    if (file != p.drm_filp) return -EFAULT;
    p.scanout_fb.reset();
    p.is_connected = false;
    EVDI_INFO("(card%d) Disconnected from file %d\n", c.number, file);
    drop_pending_events(c);
    release_vblank(c);
    c.cursor.enabled = false;
    c.cursor.obj.reset();
    p.drm_filp = -1;
    p.was_update_requested = false;
    c.cursor_events_enabled = false;
    ++c.stats.disconnects;
    // The display server sees the connector go and turns the output off.
    output_disabled(c);
    return 0;
}

// evdi_painter_request_update_ioctl: 1 when damage is pending; otherwise the
// request is armed, and a request while one is armed only logs a warning.
int painter_request_update(Card &c) {
    ++c.stats.update_requests;
    Painter &p = c.painter;
    if (p.was_update_requested) {
        EVDI_WARN("(card%d) Update was already requested - ignoring\n", c.number);
        ++c.stats.redundant_update_requests;
        return 0;
    }
    if (p.num_dirts > 0) return 1;
    p.was_update_requested = true;
    return 0;
}

// evdi_painter_grabpix_ioctl. The damage is taken before the buffer is
// checked, so a grab that fails after that point loses it; the held
// completion is sent whatever the outcome. The command goes back to the
// client even on failure, as drm_ioctl copies it back.
int painter_grabpix(Card &c, uint64_t arg) {
    abi::GrabPix cmd{};
    if (get_user(&cmd, arg, sizeof(cmd))) return -EFAULT;
    if (take_fault(Op::Grab)) return -errno;
    if (cmd.mode != abi::kGrabModeDirty) {
        EVDI_ERROR("Unknown command mode\n");
        return -EINVAL;
    }
    if (cmd.num_rects < 1) {
        EVDI_ERROR("No space for clip rects\n");
        return -EINVAL;
    }
    Painter &p = c.painter;
    if (p.was_update_requested) {
        EVDI_WARN("(card%d) Update ready not sent,", c.number);
        EVDI_WARN(" but pixels are grabbed.\n");
    }
    merge_dirty_rects(p.dirty_rects, &p.num_dirts);
    if (p.num_dirts > cmd.num_rects) collapse_dirty_rects(p.dirty_rects, &p.num_dirts);
    cmd.num_rects = p.num_dirts;
    abi::ClipRect rects[abi::kMaxDirts];
    std::copy(p.dirty_rects, p.dirty_rects + p.num_dirts, rects);
    int err = 0;
    if (!p.scanout_fb) {
        EVDI_ERROR("Scanout buffer not set\n");
        err = -EAGAIN;  // the damage stays
    } else {
        p.num_dirts = 0;
        const FbPtr fb = p.scanout_fb;
        if (static_cast<unsigned>(cmd.buf_width) != static_cast<unsigned>(fb->width) ||
            static_cast<unsigned>(cmd.buf_height) != static_cast<unsigned>(fb->height)) {
            err = -EINVAL;  // "Invalid buffer dimension"
        } else if (put_user(cmd.rects, rects, sizeof(rects[0]) * cmd.num_rects)) {
            err = -EFAULT;
        } else {
            err = copy_primary_pixels(*fb, cmd, rects, cmd.num_rects);
            if (err == 0 && !c.cursor_events_enabled &&
                cursor_compose_and_copy(c, *fb, cmd.buffer, cmd.buf_byte_stride))
                EVDI_ERROR("Failed to blend cursor\n");
        }
        release_vblank(c);
    }
    if (put_user(arg, &cmd, sizeof(cmd))) err = -EFAULT;
    if (err == 0) {
        c.stats.last_grab_count = cmd.num_rects;
        for (int i = 0; i < cmd.num_rects; ++i)
            c.stats.last_grab[i] = Rect{rects[i].x1, rects[i].y1, rects[i].x2, rects[i].y2};
    }
    return err;
}

}  // namespace evdiemu::internal
