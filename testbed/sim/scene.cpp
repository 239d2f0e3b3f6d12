#include "scene.h"

#include <algorithm>
#include <cmath>

namespace torvel::sim {

namespace {

uint32_t rgb(int r, int g, int b) {
    return (static_cast<uint32_t>(std::clamp(r, 0, 255)) << 16) |
           (static_cast<uint32_t>(std::clamp(g, 0, 255)) << 8) |
           static_cast<uint32_t>(std::clamp(b, 0, 255));
}

// Seven-segment digits for the task bar clock.
constexpr uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

}  // namespace

// Every rectangle is clipped to the screen here: at small modes the layout's
// parts (clock segments, windows) get zero or negative sizes or lie outside.
void Scene::fill(std::vector<uint32_t> &img, int x, int y, int w, int h, uint32_t color) {
    const int xa = std::max(x, 0), xb = std::min(x + w, width_);
    const int ya = std::max(y, 0), yb = std::min(y + h, height_);
    if (xa >= xb || ya >= yb) return;
    for (int row = ya; row < yb; ++row) {
        uint32_t *line = img.data() + static_cast<size_t>(row) * width_;
        std::fill(line + xa, line + xb, color);
    }
}

void Scene::reset(int width, int height) {
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    width = width_;
    height = height_;
    base_.assign(static_cast<size_t>(width) * height, 0);
    for (int y = 0; y < height; ++y) {
        uint32_t c = rgb(20 + 40 * y / height, 60 + 60 * y / height, 120 + 100 * y / height);
        fill(base_, 0, y, width, 1, c);
    }
    // Windows: frame, title bar, body with rows of text-like strokes.
    uint32_t seed = 12345;
    auto rnd = [&seed](int n) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 16) % static_cast<uint32_t>(n));
    };
    const int u = std::max(1, std::min(width, height) / 54);  // ~20 px at 1080 lines
    struct Win {
        int x, y, w, h;
        uint32_t title;
    } wins[] = {{width / 20, height / 12, width * 9 / 20, height * 7 / 12, rgb(40, 90, 160)},
                {width * 11 / 20, height / 6, width * 2 / 5, height / 2, rgb(150, 60, 60)},
                {width / 6, height * 5 / 9, width / 3, height / 3, rgb(60, 130, 70)}};
    for (const Win &w : wins) {
        fill(base_, w.x - 1, w.y - 1, w.w + 2, w.h + 2, rgb(30, 30, 30));
        fill(base_, w.x, w.y, w.w, u + u / 2, w.title);
        fill(base_, w.x, w.y + u + u / 2, w.w, w.h - u - u / 2, rgb(236, 236, 232));
        for (int ty = w.y + 3 * u; ty + u / 2 < w.y + w.h - u; ty += u + u / 3) {
            int tx = w.x + u;
            while (tx < w.x + w.w - 2 * u) {
                int len = u / 2 + rnd(4 * u);
                if (tx + len > w.x + w.w - u) break;
                fill(base_, tx, ty, len, std::max(1, u / 2), rgb(30 + rnd(40), 30, 40 + rnd(60)));
                tx += len + u / 2;
            }
        }
    }
    // Video-like area inside the second window, task bar with a clock.
    const Win &v = wins[1];
    video_ = {v.x + u, v.y + 3 * u, v.x + v.w - u, v.y + 3 * u + (v.w - 2 * u) * 9 / 16};
    video_.y2 = std::min(video_.y2, v.y + v.h - u);
    video_ = clip(video_);
    fill(base_, 0, height - 2 * u, width, 2 * u, rgb(25, 25, 30));
    clock_ = clip({width - 8 * u, height - 2 * u + u / 4, width - u, height - u / 4});
    ball_ = std::max(4, 2 * u + u / 2);
    last_second_ = -1;
    draw_video(0);
    draw_clock(0);
    live_ = base_;
    place_ball(0, &ball_x_, &ball_y_);
    fill(live_, ball_x_, ball_y_, ball_, ball_, rgb(250, 200, 40));
}

evdiemu::Rect Scene::clip(evdiemu::Rect r) const {
    r.x1 = std::clamp(r.x1, 0, width_);
    r.x2 = std::clamp(r.x2, r.x1, width_);
    r.y1 = std::clamp(r.y1, 0, height_);
    r.y2 = std::clamp(r.y2, r.y1, height_);
    return r;
}

void Scene::draw_video(double t) {
    const int w = video_.x2 - video_.x1, h = video_.y2 - video_.y1;
    if (w <= 0 || h <= 0) return;
    const int shift = static_cast<int>(t * 90);
    for (int y = 0; y < h; ++y) {
        uint32_t *row = &base_[static_cast<size_t>(video_.y1 + y) * width_ + video_.x1];
        for (int x = 0; x < w; ++x) {
            int bar = ((x + shift) * 8 / std::max(w, 1)) & 7;
            int wave = static_cast<int>(60 * std::sin((y + shift) * 0.05 + x * 0.02));
            row[x] = rgb((bar & 1 ? 200 : 40) + wave, (bar & 2 ? 200 : 40) - wave,
                         (bar & 4 ? 200 : 40) + wave / 2);
        }
    }
}

void Scene::draw_clock(int second) {
    const int w = clock_.x2 - clock_.x1, h = clock_.y2 - clock_.y1;
    fill(base_, clock_.x1, clock_.y1, w, h, rgb(25, 25, 30));
    const int digits[4] = {second / 60 % 60 / 10, second / 60 % 10, second % 60 / 10, second % 10};
    const int dw = w / 4, th = std::max(1, h / 8);
    for (int i = 0; i < 4; ++i) {
        const int x = clock_.x1 + i * dw + th, sw = dw - 3 * th, sh = (h - 3 * th) / 2;
        const uint8_t s = kSegments[digits[i]];
        const uint32_t c = rgb(220, 220, 220);
        if (s & 1) fill(base_, x, clock_.y1, sw, th, c);
        if (s & 2) fill(base_, x + sw, clock_.y1, th, sh + th, c);
        if (s & 4) fill(base_, x + sw, clock_.y1 + sh + th, th, sh + th, c);
        if (s & 8) fill(base_, x, clock_.y1 + 2 * sh + 2 * th, sw, th, c);
        if (s & 16) fill(base_, x - th, clock_.y1 + sh + th, th, sh + th, c);
        if (s & 32) fill(base_, x - th, clock_.y1, th, sh + th, c);
        if (s & 64) fill(base_, x, clock_.y1 + sh + th, sw, th, c);
    }
}

void Scene::place_ball(double t, int *x, int *y) const {
    auto bounce = [](double p, int span) {
        if (span <= 0) return 0;
        double m = std::fmod(p, 2.0 * span);
        return static_cast<int>(m < span ? m : 2.0 * span - m);
    };
    *x = bounce(t * width_ / 4.0, width_ - ball_);
    *y = bounce(t * height_ / 3.0, height_ - ball_);
}

int Scene::step(double t, evdiemu::Rect *out, int max) {
    int n = 0;
    auto add = [&](const evdiemu::Rect &r) {
        const evdiemu::Rect c = clip(r);
        if (n < max && c.x1 < c.x2 && c.y1 < c.y2) out[n++] = c;
    };
    auto copy = [&](const evdiemu::Rect &r) {
        const evdiemu::Rect c = clip(r);
        for (int y = c.y1; y < c.y2; ++y) {
            const size_t a = static_cast<size_t>(y) * width_;
            std::copy(base_.data() + a + c.x1, base_.data() + a + c.x2, live_.data() + a + c.x1);
        }
    };
    draw_video(t);
    copy(video_);
    add(video_);
    int second = static_cast<int>(t);
    if (second != last_second_) {
        last_second_ = second;
        draw_clock(second);
        copy(clock_);
        add(clock_);
    }
    evdiemu::Rect old{ball_x_, ball_y_, ball_x_ + ball_, ball_y_ + ball_};
    copy(old);
    place_ball(t, &ball_x_, &ball_y_);
    fill(live_, ball_x_, ball_y_, ball_, ball_, rgb(250, 200, 40));
    add(old);
    add({ball_x_, ball_y_, ball_x_ + ball_, ball_y_ + ball_});
    return n;
}

namespace {

// Smooth periodic noise: a lattice of `cells` x `cells` random values over
// the tile, interpolated with a smooth step.
class PeriodicNoise {
  public:
    PeriodicNoise(int cells, uint32_t seed)
        : cells_(cells), values_(static_cast<size_t>(cells) * cells) {
        for (auto &v : values_) {
            seed = seed * 1664525u + 1013904223u;
            v = static_cast<float>(seed >> 8) / static_cast<float>(1u << 24);
        }
    }
    // x, y in [0, 1).
    float at(float x, float y) const {
        const float fx = x * static_cast<float>(cells_), fy = y * static_cast<float>(cells_);
        const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
        const float ax = smooth(fx - static_cast<float>(x0)),
                    ay = smooth(fy - static_cast<float>(y0));
        const float a = value(x0, y0), b = value(x0 + 1, y0), c = value(x0, y0 + 1),
                    d = value(x0 + 1, y0 + 1);
        return (a + (b - a) * ax) + ((c + (d - c) * ax) - (a + (b - a) * ax)) * ay;
    }

  private:
    static float smooth(float v) { return v * v * (3 - 2 * v); }
    float value(int x, int y) const {
        return values_[static_cast<size_t>(y % cells_) * cells_ + static_cast<size_t>(x % cells_)];
    }
    int cells_;
    std::vector<float> values_;
};

}  // namespace

void MotionScene::reset(int width, int height) {
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    live_.assign(static_cast<size_t>(width_) * height_, 0);
    if (tile_.empty()) {
        // Octaves from the size of the tile down to a few pixels, weighted
        // as natural pictures are (amplitude falling with frequency), in
        // three colour fields; thresholds of the coarse field draw edges.
        const PeriodicNoise octaves[] = {{4, 11},  {8, 23},   {16, 37},  {32, 51},
                                         {64, 67}, {128, 79}, {256, 97}, {512, 113}};
        const PeriodicNoise hue(4, 131), tint(8, 149);
        tile_.resize(static_cast<size_t>(kTile) * kTile);
        for (int y = 0; y < kTile; ++y) {
            for (int x = 0; x < kTile; ++x) {
                const float u = static_cast<float>(x) / kTile, v = static_cast<float>(y) / kTile;
                float lum = 0, weight = 1, total = 0;
                for (const PeriodicNoise &n : octaves) {
                    lum += weight * n.at(u, v);
                    total += weight;
                    weight *= 0.72f;
                }
                lum /= total;
                const float coarse = octaves[1].at(u, v);
                if (coarse > 0.62f) lum = 0.15f + 0.5f * lum;  // a darker region with a hard border
                const float h = hue.at(u, v), k = tint.at(u, v);
                // Sensor grain of a few levels.
                uint32_t g = static_cast<uint32_t>(y * kTile + x) * 2654435761u;
                g ^= g >> 15;
                const int l = static_cast<int>(lum * 255.0f) + static_cast<int>(g % 9) - 4;
                tile_[static_cast<size_t>(y) * kTile + x] = rgb(
                    l + static_cast<int>((h - 0.5f) * 120), l + static_cast<int>((k - 0.5f) * 60),
                    l - static_cast<int>((h - 0.5f) * 100));
            }
        }
    }
    draw(0);
}

void MotionScene::draw(double t) {
    // Speeds in pixels per second that are not whole blocks per step.
    const int ox = static_cast<int>(std::fmod(t * 613.0, kTile));
    const int oy = static_cast<int>(std::fmod(t * 347.0, kTile));
    for (int y = 0; y < height_; ++y) {
        const uint32_t *src = &tile_[static_cast<size_t>((y + oy) % kTile) * kTile];
        uint32_t *dst = &live_[static_cast<size_t>(y) * width_];
        int x = 0, from = ox;
        while (x < width_) {
            const int n = std::min(width_ - x, kTile - from);
            std::copy(src + from, src + from + n, dst + x);
            x += n;
            from = 0;
        }
    }
}

int MotionScene::step(double t, evdiemu::Rect *out, int max) {
    if (width_ == 0 || height_ == 0 || max < 1) return 0;
    draw(t);
    out[0] = {0, 0, width_, height_};
    return 1;
}

const uint32_t *cursor_image() {
    static const std::vector<uint32_t> image = [] {
        std::vector<uint32_t> img(kCursorWidth * kCursorHeight, 0);
        for (int y = 0; y < kCursorHeight; ++y)
            for (int x = 0; x < kCursorWidth; ++x) {
                // An arrow: a triangle over the first 16 rows, a stem below.
                const bool body = (y < 16 && x <= y * 11 / 16) || (y >= 16 && x >= 4 && x < 8);
                const bool edge = body && (x == 0 || x == y * 11 / 16 || y == 15 || y == 23 ||
                                           (y >= 16 && (x == 4 || x == 7)));
                const bool shadow = !body && x > 0 && y > 0 &&
                                    ((y - 1 < 16 && x - 1 <= (y - 1) * 11 / 16) ||
                                     (y - 1 >= 16 && x - 1 >= 4 && x - 1 < 8));
                uint32_t &p = img[static_cast<size_t>(y) * kCursorWidth + x];
                if (edge)
                    p = 0xff101010u;
                else if (body)
                    p = 0xfff8f8f8u;
                else if (shadow)
                    p = 0x60000000u;
            }
        return img;
    }();
    return image.data();
}

void cursor_path(double t, int width, int height, int *x, int *y) {
    const double period = 4.0, glide = 2.0;
    const double cycles = std::floor(t / period);
    const double in = std::min(t - cycles * period, glide);
    const double p = cycles * glide + in;
    *x = static_cast<int>((0.5 + 0.4 * std::sin(p * 1.3)) * std::max(width - kCursorWidth, 1));
    *y = static_cast<int>((0.5 + 0.4 * std::cos(p * 0.9)) * std::max(height - kCursorHeight, 1));
}

void scale_rgb(const uint8_t *src, int w, int h, std::vector<uint32_t> *out, int width,
               int height) {
    out->assign(static_cast<size_t>(width) * height, 0);
    if (w <= 0 || h <= 0) return;
    for (int y = 0; y < height; ++y) {
        const int sy = static_cast<int>(static_cast<int64_t>(y) * h / height);
        for (int x = 0; x < width; ++x) {
            const int sx = static_cast<int>(static_cast<int64_t>(x) * w / width);
            const uint8_t *p = src + (static_cast<size_t>(sy) * w + sx) * 3;
            (*out)[static_cast<size_t>(y) * width + x] = rgb(p[0], p[1], p[2]);
        }
    }
}

void scale_xrgb(const uint32_t *src, int w, int h, std::vector<uint32_t> *out, int width,
                int height) {
    out->assign(static_cast<size_t>(width) * height, 0);
    if (w <= 0 || h <= 0) return;
    for (int y = 0; y < height; ++y) {
        const int sy = static_cast<int>(static_cast<int64_t>(y) * h / height);
        for (int x = 0; x < width; ++x) {
            const int sx = static_cast<int>(static_cast<int64_t>(x) * w / width);
            (*out)[static_cast<size_t>(y) * width + x] = src[static_cast<size_t>(sy) * w + sx];
        }
    }
}

}  // namespace torvel::sim
