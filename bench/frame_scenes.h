// Synthetic BGRX frames for the frame-path benchmarks: a desktop (flat
// windows, glyph strokes, gradients) and a natural-like picture (smooth
// gradients with noise and hard edges), at any size.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace frame_scenes {

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> bgrx;  // width * height * 4, stride width * 4

    Picture(int w, int h) : width(w), height(h), bgrx(static_cast<size_t>(w) * h * 4, 0) {}
    void put(int x, int y, int r, int g, int b) {
        uint8_t *p = &bgrx[(static_cast<size_t>(y) * width + x) * 4];
        p[0] = static_cast<uint8_t>(std::clamp(b, 0, 255));
        p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
        p[2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
        p[3] = 0;
    }
    void fill(int x0, int y0, int w, int h, int r, int g, int b) {
        for (int y = std::max(0, y0); y < std::min(height, y0 + h); ++y)
            for (int x = std::max(0, x0); x < std::min(width, x0 + w); ++x) put(x, y, r, g, b);
    }
};

// Lines of 8-pixel glyphs of strokes inside [x0, x1) x [y0, y1).
inline void glyph_lines(Picture &p, std::mt19937 &rng, int x0, int y0, int x1, int y1) {
    for (int line = y0; line + 14 < y1; line += 18) {
        const int end =
            x0 + 28 + static_cast<int>(rng() % static_cast<unsigned>(std::max(1, x1 - x0 - 40)));
        for (int x = x0; x + 8 < std::min(end, x1);) {
            if (rng() % 6 == 0) {
                x += 6;
                continue;
            }
            const unsigned shape = rng();
            for (int s = 0; s < 3; ++s) {
                if (shape & (1u << s)) p.fill(x + 2 * s, line + 2, 1, 10, 20, 20, 25);
                if (shape & (8u << s)) p.fill(x, line + 2 + 4 * s, 6, 1, 20, 20, 25);
            }
            x += 8;
        }
    }
}

inline Picture desktop(int width, int height) {
    Picture p(width, height);
    std::mt19937 rng(11);
    const auto sx = [&](int v) { return v * width / 1920; };
    const auto sy = [&](int v) { return v * height / 1080; };
    p.fill(0, 0, width, height, 58, 110, 165);      // wallpaper
    p.fill(0, height - 40, width, 40, 30, 30, 34);  // panel
    struct Win {
        int x, y, w, h;
    };
    for (const Win &w :
         {Win{60, 50, 1100, 700}, Win{700, 300, 1000, 650}, Win{150, 600, 600, 400}}) {
        const int x = sx(w.x), y = sy(w.y), ww = sx(w.w), hh = sy(w.h);
        p.fill(x, y, ww, hh, 250, 250, 250);
        p.fill(x, y, ww, 30, 225, 225, 230);
        glyph_lines(p, rng, x + 12, y + 45, x + ww - 12, y + hh - 10);
    }
    for (int y = sy(760); y < sy(1000); ++y)
        for (int x = sx(1250); x < sx(1850); ++x)
            p.put(x, y, (x - sx(1250)) * 255 / std::max(1, sx(600)), 128, y - sy(760));
    return p;
}

inline Picture natural(int width, int height) {
    Picture p(width, height);
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = x / static_cast<double>(width), v = y / static_cast<double>(height);
            double r = 120 + 80 * std::sin(5.1 * u + 2.3 * v) + 30 * std::cos(17 * v);
            double g = 110 + 70 * std::sin(3.7 * v - 1.1 * u) + 25 * std::sin(23 * u * v);
            double b = 100 + 90 * std::cos(4.3 * u * u + 3 * v);
            const double dx = (u - 0.68) * 1920, dy = (v - 0.46) * 1080;
            if (dx * dx + dy * dy < 260.0 * 260.0) {
                r = 200 - 0.1 * dy;
                g = 60 + 0.05 * dx;
                b = 40;
            }
            if (u > 0.16 && u < 0.36 && v > 0.6 && v < 0.93) {
                r = 30 + 200 * (v - 0.6);
                g = 140;
                b = 90 + 200 * (u - 0.16);
            }
            const double n = noise(rng);
            p.put(x, y, static_cast<int>(r + n), static_cast<int>(g + n), static_cast<int>(b + n));
        }
    }
    return p;
}

// The desktop with the text of its first window scrolled by one line inside
// a region of 34 x 33 blocks at 1920 x 1080, where about a tenth of all the
// blocks change (stretches without text stay as they were): what a terminal
// or an editor does most of the time.
inline Picture tenth_scrolled(const Picture &from) {
    Picture p = from;
    const int cols = (p.width + 31) / 32, rows = (p.height + 7) / 8;
    const int region_cols = std::max(1, cols * 34 / 60), region_rows = std::max(1, rows * 33 / 135);
    const int x0 = 64 * p.width / 1920 / 32 * 32, y0 = 96 * p.height / 1080 / 8 * 8;
    const int x1 = std::min(p.width, x0 + 32 * region_cols),
              y1 = std::min(p.height, y0 + 8 * region_rows);
    const size_t stride = static_cast<size_t>(p.width) * 4;
    for (int y = y0; y < y1; ++y) {
        const int from_y = std::min(p.height - 1, y + 18);
        std::memcpy(&p.bgrx[y * stride + 4 * static_cast<size_t>(x0)],
                    &from.bgrx[from_y * stride + 4 * static_cast<size_t>(x0)],
                    4 * static_cast<size_t>(x1 - x0));
    }
    return p;
}

// The picture with one in ten of its 32 x 8 blocks, scattered at random,
// changed by a coloured stroke: a harder case than scrolling, since every
// changed block gains sharp chroma edges.
inline Picture tenth_scattered(const Picture &from) {
    Picture p = from;
    const int cols = (p.width + 31) / 32, rows = (p.height + 7) / 8;
    const int blocks = cols * rows;
    std::mt19937 rng(23);
    std::vector<int> order(static_cast<size_t>(blocks));
    for (int i = 0; i < blocks; ++i) order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (int i = 0; i < blocks / 10; ++i) {
        const int n = order[static_cast<size_t>(i)];
        const int x = (n % cols) * 32, y = (n / cols) * 8;
        const int c = static_cast<int>(rng() % 200);
        p.fill(x + 3, y + 1, 1, 6, c, 255 - c, 40);
        p.fill(x + 3, y + 4, 20, 1, c, 255 - c, 40);
    }
    return p;
}

// 32 x 8 blocks whose pixels differ between two pictures of one size.
inline int blocks_differing(const Picture &a, const Picture &b) {
    int n = 0;
    const size_t stride = static_cast<size_t>(a.width) * 4;
    for (int by = 0; by < a.height; by += 8) {
        for (int bx = 0; bx < a.width; bx += 32) {
            bool differs = false;
            for (int y = by; y < std::min(a.height, by + 8) && !differs; ++y) {
                const size_t at = y * stride + 4 * static_cast<size_t>(bx);
                const size_t len = 4 * static_cast<size_t>(std::min(32, a.width - bx));
                differs = std::memcmp(&a.bgrx[at], &b.bgrx[at], len) != 0;
            }
            n += differs;
        }
    }
    return n;
}

}  // namespace frame_scenes
