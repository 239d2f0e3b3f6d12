#include "workload.h"

#include <algorithm>
#include <cmath>

#include "scene.h"

namespace torvel::sim {

namespace {

constexpr uint32_t kPaper = 0xECECE8u, kInk = 0x202428u;
constexpr int kGlyphW = 10, kGlyphH = 20;  // a character cell
constexpr double kCharsPerSecond = 10;
constexpr double kBlinkSeconds = 0.25;  // on, then off: twice a second
constexpr int kScrollPerSecond = 120;   // pixels: two a frame at 60 Hz

// Deterministic strokes of character `index` at row `y` (0 .. kGlyphH - 1)
// of its cell: a bit per column.
uint32_t glyph_row(int index, int y) {
    if (y < 4 || y >= kGlyphH - 4) return 0;
    uint32_t h = static_cast<uint32_t>(index) * 2654435761u ^ static_cast<uint32_t>(y / 3) * 40503u;
    h ^= h >> 13;
    return (h & 0x1FEu) | (y % 3 == 0 ? 0x0Cu : 0u);
}

bool clip(evdiemu::Rect &r, int width, int height) {
    r.x1 = std::clamp(r.x1, 0, width);
    r.x2 = std::clamp(r.x2, r.x1, width);
    r.y1 = std::clamp(r.y1, 0, height);
    r.y2 = std::clamp(r.y2, r.y1, height);
    return r.x1 < r.x2 && r.y1 < r.y2;
}

}  // namespace

bool parse_workload(std::string_view name, Workload *out) {
    static constexpr std::pair<std::string_view, Workload> kNames[] = {
        {"still", Workload::kStill},
        {"typing", Workload::kTyping},
        {"mouse", Workload::kMouse},
        {"scroll", Workload::kScroll},
        {"video", Workload::kVideo}};
    for (const auto &[n, w] : kNames)
        if (n == name) {
            *out = w;
            return true;
        }
    return false;
}

void WorkloadScene::reset(int width, int height) {
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    Scene desktop;
    desktop.reset(width_, height_);
    live_.assign(desktop.pixels(), desktop.pixels() + static_cast<size_t>(width_) * height_);
    // A text window over the left half of the desktop.
    text_ = {width_ / 16, height_ / 10, width_ / 16 + width_ * 7 / 16,
             height_ / 10 + height_ * 3 / 5};
    clip(text_, width_, height_);
    for (int y = text_.y1; y < text_.y2; ++y)
        std::fill(live_.begin() + static_cast<ptrdiff_t>(y) * width_ + text_.x1,
                  live_.begin() + static_cast<ptrdiff_t>(y) * width_ + text_.x2, kPaper);
    typed_ = 0;
    caret_on_ = false;
    scrolled_ = -1;
    if (workload_ == Workload::kScroll) draw_scrolled(0);
    if (workload_ == Workload::kVideo) {
        video_at_ = {(width_ - 1280) / 2, (height_ - 720) / 2, 0, 0};
        video_at_.x2 = video_at_.x1 + 1280;
        video_at_.y2 = video_at_.y1 + 720;
        clip(video_at_, width_, height_);
        video_.reset(video_at_.x2 - video_at_.x1, video_at_.y2 - video_at_.y1);
    }
}

bool WorkloadScene::cell(int index, evdiemu::Rect *r) const {
    const int columns = std::max(1, (text_.x2 - text_.x1) / kGlyphW - 1);
    const int rows = std::max(1, (text_.y2 - text_.y1) / kGlyphH - 1);
    const int col = index % columns, row = index / columns % rows;
    *r = {text_.x1 + kGlyphW / 2 + col * kGlyphW, text_.y1 + kGlyphH / 2 + row * kGlyphH, 0, 0};
    r->x2 = r->x1 + kGlyphW;
    r->y2 = r->y1 + kGlyphH;
    // Every other page is typed over with blanks: the sheet comes clean
    // again one character at a time.
    return index / columns / rows % 2 == 0 && clip(*r, width_, height_);
}

void WorkloadScene::draw_glyph(int index, evdiemu::Rect *r) {
    const bool ink = cell(index, r);
    if (!clip(*r, width_, height_)) return;
    for (int y = r->y1; y < r->y2; ++y) {
        const uint32_t bits = ink ? glyph_row(index, y - r->y1) : 0;
        for (int x = r->x1; x < r->x2; ++x)
            live_[static_cast<size_t>(y) * width_ + x] = (bits >> (x - r->x1) & 1) ? kInk : kPaper;
    }
}

void WorkloadScene::draw_caret(bool on, evdiemu::Rect *r) {
    // A bar at the left of the cell after the last character typed.
    cell(typed_, r);
    if (!clip(*r, width_, height_)) return;
    r->x2 = std::min(r->x1 + 2, r->x2);
    for (int y = r->y1; y < r->y2; ++y)
        for (int x = r->x1; x < r->x2; ++x)
            live_[static_cast<size_t>(y) * width_ + x] = on ? kInk : kPaper;
}

void WorkloadScene::draw_scrolled(int offset) {
    if (offset == scrolled_) return;
    scrolled_ = offset;
    // An endless document: line n of glyphs, `offset` pixels scrolled.
    const int columns = std::max(1, (text_.x2 - text_.x1) / kGlyphW - 1);
    for (int y = text_.y1; y < text_.y2; ++y) {
        const int doc_y = y - text_.y1 + offset;
        const int line = doc_y / kGlyphH, in_cell = doc_y % kGlyphH;
        uint32_t *row = live_.data() + static_cast<size_t>(y) * width_;
        for (int x = text_.x1; x < text_.x2; ++x) {
            const int col = (x - text_.x1) / kGlyphW;
            const bool ink =
                col >= 1 && col <= columns * 3 / 4 &&
                (glyph_row(line * 131 + col, in_cell) >> ((x - text_.x1) % kGlyphW) & 1);
            row[x] = ink ? kInk : kPaper;
        }
    }
}

int WorkloadScene::step(double t, evdiemu::Rect *out, int max) {
    int n = 0;
    auto add = [&](const evdiemu::Rect &r) {
        if (n < max && r.x1 < r.x2 && r.y1 < r.y2) out[n++] = r;
    };
    switch (workload_) {
        case Workload::kStill: {
            const bool on = static_cast<long>(t / kBlinkSeconds) % 2 == 0;
            if (on != caret_on_) {
                caret_on_ = on;
                evdiemu::Rect r{};
                draw_caret(on, &r);
                add(r);
            }
            break;
        }
        case Workload::kTyping: {
            const int due = static_cast<int>(t * kCharsPerSecond);
            while (typed_ < due && n + 1 < max) {
                evdiemu::Rect r{};
                draw_glyph(typed_++, &r);
                add(r);
                draw_caret(true, &r);
                add(r);
            }
            break;
        }
        case Workload::kMouse:
            break;
        case Workload::kVideo: {
            evdiemu::Rect r{};
            if (video_.step(t, &r, 1) == 0) break;
            const int w = video_.width();
            for (int y = 0; y < video_.height(); ++y)
                std::copy(video_.pixels() + static_cast<size_t>(y) * w,
                          video_.pixels() + static_cast<size_t>(y) * w + w,
                          live_.begin() + static_cast<ptrdiff_t>(video_at_.y1 + y) * width_ +
                              video_at_.x1);
            add(video_at_);
            break;
        }
        case Workload::kScroll: {
            const int offset = static_cast<int>(t * kScrollPerSecond);
            if (offset != scrolled_) {
                draw_scrolled(offset);
                add(text_);
            }
            break;
        }
    }
    return n;
}

bool WorkloadScene::pointer(double t, int *x, int *y) const {
    if (workload_ != Workload::kMouse) return false;
    const double a = t * M_PI;  // once round every two seconds
    const double r = std::min(width_, height_) / 3.0;
    *x = static_cast<int>(width_ / 2 + r * std::cos(a));
    *y = static_cast<int>(height_ / 2 + r * std::sin(a));
    return true;
}

}  // namespace torvel::sim
