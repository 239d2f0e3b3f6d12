// Mode setting (evdi_modeset.c): the CRTC and the primary plane through an
// atomic commit in drm_atomic_helper_commit_tail's order (the plane's
// update, then the CRTC's flush), the formats the plane takes and the
// framebuffer sizes the mode configuration allows.
#include <algorithm>
#include <cerrno>

#include "module.h"

namespace evdiemu::internal {

namespace {

// evdi_modeset_init: mode_config min 64 x 64, max 7680 x 4320, which
// drm_internal_framebuffer_create checks for every framebuffer.
constexpr int kMinSize = 64, kMaxWidth = 7680, kMaxHeight = 4320;

// drm_atomic_helper_damage_iter: each damage clip cut to the plane's
// source, or the whole source when there are no clips or the source moved.
void mark_plane_damage(Card &c, const PlaneState &old_plane, const Commit &n) {
    const Framebuffer &fb = *n.fb;
    const abi::ClipRect src{0, 0, static_cast<uint16_t>(fb.width),
                            static_cast<uint16_t>(fb.height)};
    const bool src_changed = old_plane.src_width != fb.width || old_plane.src_height != fb.height;
    if (n.num_damage == 0 || src_changed) {
        painter_mark_dirty(c, src);
        return;
    }
    for (int i = 0; i < n.num_damage; ++i) {
        abi::ClipRect r = n.damage[i];
        r.x1 = std::max(r.x1, src.x1);
        r.y1 = std::max(r.y1, src.y1);
        r.x2 = std::min(r.x2, src.x2);
        r.y2 = std::min(r.y2, src.y2);
        if (r.x1 < r.x2 && r.y1 < r.y2) painter_mark_dirty(c, r);
    }
}

// evdi_plane_atomic_update.
void plane_atomic_update(Card &c, const PlaneState &old_plane, const Commit &n) {
    Painter &p = c.painter;
    if (!old_plane.on_crtc && n.plane_on_crtc)
        painter_dpms_notify(c, 0);
    else if (old_plane.on_crtc && !n.plane_on_crtc)
        painter_dpms_notify(c, 3);
    if (!n.fb) return;
    const FbPtr &fb = n.fb;
    const FbPtr &old_fb = old_plane.fb;
    const abi::ClipRect fullscreen{0, 0, static_cast<uint16_t>(fb->width),
                                   static_cast<uint16_t>(fb->height)};
    if (!old_fb && n.plane_on_crtc) p.needs_full_modeset = true;
    if (old_fb && fb->format != old_fb->format) p.needs_full_modeset = true;
    if (fb != old_fb || p.needs_full_modeset) {
        painter_set_scanout_buffer(c, fb);
        mark_plane_damage(c, old_plane, n);
        c.primary.src_width = fb->width;
        c.primary.src_height = fb->height;
    }
    if (painter_num_dirts(c) == 0) painter_mark_dirty(c, fullscreen);
}

// evdi_crtc_atomic_flush. Both notifications are decided before either is
// sent (the mode change clears needs_full_modeset).
void crtc_atomic_flush(Card &c, const CrtcState &old_crtc, const CrtcState &n) {
    const bool mode_changed = n.enabled != old_crtc.enabled || n.width != old_crtc.width ||
                              n.height != old_crtc.height || n.refresh != old_crtc.refresh;
    const bool active_changed = n.active != old_crtc.active;
    const bool full = c.painter.needs_full_modeset;
    const bool notify_mode_changed = n.active && (mode_changed || full);
    const bool notify_dpms = active_changed || full;
    if (notify_mode_changed) painter_mode_changed_notify(c, n);
    if (notify_dpms) painter_dpms_notify(c, n.active ? 0 : 3);
    // drm_atomic_helper_setup_commit gives a commit no completion event when
    // the CRTC is off before and after it.
    painter_set_vblank(c, old_crtc.active || n.active);
    painter_send_update_ready_if_needed(c);
}

}  // namespace

bool format_supported(uint32_t format) {
    return format == abi::kFormatXrgb8888 || format == abi::kFormatArgb8888 ||
           format == abi::kFormatXbgr8888 || format == abi::kFormatAbgr8888;
}

// The display server writes 0 into an unused byte and an opaque alpha.
uint32_t from_xrgb(uint32_t xrgb, uint32_t format) {
    uint32_t v = xrgb & 0x00ffffffu;
    if (format == abi::kFormatXbgr8888 || format == abi::kFormatAbgr8888)
        v = (v & 0x0000ff00u) | (v >> 16 & 0xffu) | (v & 0xffu) << 16;
    if (format == abi::kFormatArgb8888 || format == abi::kFormatAbgr8888) v |= 0xff000000u;
    return v;
}

uint32_t to_xrgb(uint32_t pixel, uint32_t format) {
    uint32_t v = pixel & 0x00ffffffu;
    if (format == abi::kFormatXbgr8888 || format == abi::kFormatAbgr8888)
        v = (v & 0x0000ff00u) | (v >> 16 & 0xffu) | (v & 0xffu) << 16;
    return v;
}

int check_framebuffer_size(int width, int height) {
    if (width < 1 || height < 1) return -EINVAL;
    if (mod().leniency & kAnyFramebufferSize) return width > 8192 || height > 8192 ? -EINVAL : 0;
    if (width < kMinSize || height < kMinSize || width > kMaxWidth || height > kMaxHeight)
        return -EINVAL;
    return 0;
}

void atomic_commit(Card &c, const Commit &n) {
    const CrtcState old_crtc = c.crtc;
    const PlaneState old_plane = c.primary;
    c.crtc = n.crtc;
    c.primary.fb = n.fb;
    c.primary.on_crtc = n.plane_on_crtc;
    ++c.stats.commits;
    // drm_atomic_helper_commit_planes: atomic_update for a plane on a CRTC
    // or being taken off one, then atomic_flush.
    if (n.plane_on_crtc || old_plane.on_crtc) plane_atomic_update(c, old_plane, n);
    crtc_atomic_flush(c, old_crtc, n.crtc);
}

void output_disabled(Card &c) {
    if (!c.crtc.enabled && !c.primary.on_crtc) return;
    Commit off;
    atomic_commit(c, off);
    c.back.reset();
    c.back_lacks.clear();
}

}  // namespace evdiemu::internal
