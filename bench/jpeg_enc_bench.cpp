// Block encoder throughput on a 1920 x 1080 frame, one thread, next to
// libjpeg-turbo compressing the same frame (BGRX, quality 90, 4:4:4, fast
// DCT). Our side starts from YCbCr planes, one 768-byte buffer per 32 x 8
// block as the encoder workers hold them; libjpeg-turbo also converts colour.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "jpeg_enc.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kBlocksX = kWidth / 32;
constexpr int kBlocksY = kHeight / 8;
constexpr int kBlocks = kBlocksX * kBlocksY;  // 8100

struct Frame {
    std::vector<uint8_t> bgrx;    // kWidth * kHeight * 4
    std::vector<uint8_t> blocks;  // kBlocks * 768: Y, Cb, Cr planes of 32 x 8
};

void put(Frame &f, int x, int y, int r, int g, int b) {
    uint8_t *p = &f.bgrx[static_cast<size_t>(y * kWidth + x) * 4];
    p[0] = static_cast<uint8_t>(std::clamp(b, 0, 255));
    p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
    p[2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
    p[3] = 0;
}

void fill_rect(Frame &f, int x0, int y0, int w, int h, int r, int g, int b) {
    for (int y = std::max(0, y0); y < std::min(kHeight, y0 + h); ++y) {
        for (int x = std::max(0, x0); x < std::min(kWidth, x0 + w); ++x) put(f, x, y, r, g, b);
    }
}

// Windows with flat backgrounds, title bars, lines of text-like glyph
// strokes, a few gradients.
void desktop(Frame &f) {
    std::mt19937 rng(11);
    fill_rect(f, 0, 0, kWidth, kHeight, 58, 110, 165);      // wallpaper
    fill_rect(f, 0, kHeight - 40, kWidth, 40, 30, 30, 34);  // panel
    struct Win {
        int x, y, w, h;
    };
    for (const Win &w :
         {Win{60, 50, 1100, 700}, Win{700, 300, 1000, 650}, Win{150, 600, 600, 400}}) {
        fill_rect(f, w.x, w.y, w.w, w.h, 250, 250, 250);
        fill_rect(f, w.x, w.y, w.w, 30, 225, 225, 230);
        // Lines of glyphs: 7 x 12 cells with vertical and horizontal strokes.
        for (int line = w.y + 45; line + 14 < w.y + w.h - 10; line += 18) {
            int x = w.x + 12;
            const int line_end =
                w.x + 40 + static_cast<int>(rng() % static_cast<unsigned>(w.w - 60));
            while (x + 8 < line_end) {
                if (rng() % 6 == 0) {  // space
                    x += 6;
                    continue;
                }
                const unsigned shape = rng();
                for (int s = 0; s < 3; ++s) {
                    if (shape & (1u << s)) fill_rect(f, x + 2 * s, line + 2, 1, 10, 20, 20, 25);
                    if (shape & (8u << s)) fill_rect(f, x, line + 2 + 4 * s, 6, 1, 20, 20, 25);
                }
                x += 8;
            }
        }
    }
    // A gradient panel and a gradient title bar.
    for (int y = 760; y < 1000; ++y) {
        for (int x = 1250; x < 1850; ++x) put(f, x, y, (x - 1250) * 255 / 600, 128, (y - 760));
    }
    for (int x = 700; x < 1700; ++x) fill_rect(f, x, 300, 1, 30, 40 + (x - 700) / 8, 90, 200);
}

// Smooth gradients with noise and a few hard edges.
void natural(Frame &f) {
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double u = x / 1920.0, v = y / 1080.0;
            double r = 120 + 80 * std::sin(5.1 * u + 2.3 * v) + 30 * std::cos(17 * v);
            double g = 110 + 70 * std::sin(3.7 * v - 1.1 * u) + 25 * std::sin(23 * u * v);
            double b = 100 + 90 * std::cos(4.3 * u * u + 3 * v);
            // Edges: a disc and a band with their own colours.
            const double dx = x - 1300.0, dy = y - 500.0;
            if (dx * dx + dy * dy < 260.0 * 260.0) {
                r = 200 - 0.1 * dy;
                g = 60 + 0.05 * dx;
                b = 40;
            }
            if (x > 300 && x < 700 && y > 650 && y < 1000) {
                r = 30 + 0.2 * (y - 650);
                g = 140;
                b = 90 + 0.1 * (x - 300);
            }
            const double n = noise(rng);
            put(f, x, y, static_cast<int>(r + n), static_cast<int>(g + n), static_cast<int>(b + n));
        }
    }
}

// Full-range JFIF colour conversion into per-block plane buffers.
void to_blocks(Frame &f) {
    f.blocks.assign(static_cast<size_t>(kBlocks) * 768, 0);
    for (int by = 0; by < kBlocksY; ++by) {
        for (int bx = 0; bx < kBlocksX; ++bx) {
            uint8_t *blk = &f.blocks[static_cast<size_t>(by * kBlocksX + bx) * 768];
            for (int r = 0; r < 8; ++r) {
                for (int c = 0; c < 32; ++c) {
                    const uint8_t *p =
                        &f.bgrx[static_cast<size_t>((by * 8 + r) * kWidth + bx * 32 + c) * 4];
                    const double R = p[2], G = p[1], B = p[0];
                    auto clamp8 = [](double v) {
                        return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
                    };
                    blk[r * 32 + c] = clamp8(0.299 * R + 0.587 * G + 0.114 * B);
                    blk[256 + r * 32 + c] = clamp8(-0.168736 * R - 0.331264 * G + 0.5 * B + 128);
                    blk[512 + r * 32 + c] = clamp8(0.5 * R - 0.418688 * G - 0.081312 * B + 128);
                }
            }
        }
    }
}

const Frame &frame(int kind) {
    static Frame frames[2];
    Frame &f = frames[kind];
    if (f.bgrx.empty()) {
        f.bgrx.assign(static_cast<size_t>(kWidth) * kHeight * 4, 0);
        kind == 0 ? desktop(f) : natural(f);
        to_blocks(f);
    }
    return f;
}

const char *kKinds[2] = {"desktop", "natural"};

void BM_EncodeBlocks(benchmark::State &state) {
    const Frame &f = frame(static_cast<int>(state.range(0)));
    cinfo_t proto{};
    Initialize(&proto, 90);
    proto.Ximage = 32;
    proto.Yimage = 8;
    // Room for every block's worst case is not needed: the frame's total is
    // far below it, and each block gets kEncodeBlockMaxBytes of headroom.
    std::vector<BYTE> out(static_cast<size_t>(kWidth) * kHeight * 3);
    size_t bytes = 0;
    for (auto _ : state) {
        cinfo_t c = proto;
        size_t pos = 0;
        for (int b = 0; b < kBlocks; ++b) {
            auto *blk = const_cast<SBYTE *>(
                reinterpret_cast<const SBYTE *>(&f.blocks[static_cast<size_t>(b) * 768]));
            c.Y_buffer = blk;
            c.Cb_buffer = blk + 256;
            c.Cr_buffer = blk + 512;
            c.jpeg_stream = {out.data() + pos, 0};
            pos += static_cast<size_t>(encode(&c));
            if (pos + kEncodeBlockMaxBytes > out.size()) pos = 0;
        }
        bytes = pos;
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.SetLabel(kKinds[state.range(0)]);
}

void BM_TurboJpeg(benchmark::State &state) {
    const Frame &f = frame(static_cast<int>(state.range(0)));
    std::unique_ptr<void, int (*)(tjhandle)> h(tjInitCompress(), tjDestroy);
    unsigned long capacity = tjBufSize(kWidth, kHeight, TJSAMP_444);
    std::unique_ptr<unsigned char, void (*)(unsigned char *)> buf(
        tjAlloc(static_cast<int>(capacity)), tjFree);
    unsigned long size = 0;
    for (auto _ : state) {
        unsigned char *p = buf.get();
        size = capacity;
        if (tjCompress2(h.get(), f.bgrx.data(), kWidth, kWidth * 4, kHeight, TJPF_BGRX, &p, &size,
                        TJSAMP_444, 90, TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0) {
            state.SkipWithError(tjGetErrorStr2(h.get()));
            break;
        }
        benchmark::DoNotOptimize(p);
    }
    state.counters["bytes"] = static_cast<double>(size);
    state.SetLabel(kKinds[state.range(0)]);
}

BENCHMARK(BM_EncodeBlocks)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_TurboJpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Prints the per-frame times of both encoders and their ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            // Adjusted times are in the benchmark's unit (ms). CPU time is
            // what counts on a shared machine; real time is shown beside it.
            times_[r.report_label][r.run_name.function_name] = {r.GetAdjustedCPUTime(),
                                                                r.GetAdjustedRealTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto &[kind, t] : times_) {
            auto ours = t.find("BM_EncodeBlocks"), theirs = t.find("BM_TurboJpeg");
            if (ours == t.end() || theirs == t.end()) continue;
            const auto [ours_cpu, ours_real] = ours->second;
            const auto [theirs_cpu, theirs_real] = theirs->second;
            std::printf(
                "%-8s frame, CPU time: encode %.2f ms, libjpeg-turbo %.2f ms, ratio %.2fx"
                " (real time %.2f / %.2f ms, %.2fx)\n",
                kind.c_str(), ours_cpu, theirs_cpu, ours_cpu / theirs_cpu, ours_real, theirs_real,
                ours_real / theirs_real);
        }
    }

  private:
    std::map<std::string, std::map<std::string, std::pair<double, double>>> times_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
