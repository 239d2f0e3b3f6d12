// The daemon's frame path (colour conversion, change test, band workers,
// block coding, joining, fill words) on 1920 x 1080 frames, next to its
// anchors: libjpeg-turbo compressing the same frame (BGRX, quality 90, 4:4:4,
// fast DCT) and a plain read pass over the bytes an unchanged frame must
// touch (its pixels and one snapshot store). Prints the ratios at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "encoder_worker.h"
#include "frame_scenes.h"
#include "screen.h"
#include "turbojpeg_anchor.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kScreen = 0;

enum Scene { kDesktop = 0, kNatural = 1 };
const char *const kSceneNames[] = {"desktop", "natural"};

const frame_scenes::Picture &scene(int which) {
    static const frame_scenes::Picture pictures[] = {frame_scenes::desktop(kWidth, kHeight),
                                                     frame_scenes::natural(kWidth, kHeight)};
    return pictures[which];
}

// A tenth of the desktop's blocks changed: text scrolled in a window (0), or
// strokes scattered over the screen (1).
const frame_scenes::Picture &desktop_tenth(int which) {
    static const frame_scenes::Picture pictures[] = {
        frame_scenes::tenth_scrolled(scene(kDesktop)),
        frame_scenes::tenth_scattered(scene(kDesktop))};
    return pictures[which];
}
const char *const kTenthNames[] = {"desktop, text scrolled", "desktop, scattered strokes"};

frame_view_t view_of(const frame_scenes::Picture &p) {
    return frame_view_t{p.bgrx.data(), p.width, p.height, p.width * 4};
}

// Writes and reads a buffer twice the size of the last-level cache, so the
// next pass finds the frame and the stores in memory only, as after the
// sixteen milliseconds between two frames of a busy machine.
void evict_caches() {
    static std::vector<uint64_t> sweep(64u << 20 >> 3);
    uint64_t acc = 0;
    for (auto &w : sweep) acc += (w += 1);
    benchmark::DoNotOptimize(acc);
}

// One device slot as the timer work and a mode change leave it.
class Device {
  public:
    Device() : cxt_(std::make_unique<thread_context_t>()) {
        prepare_encoder(cxt_.get(), 0);
        create_rgb2ycc_table();
        mode_change();
        stream_ = std::make_unique<uint8_t[]>(cxt_->bitstream_size);
        buffersRegistered[kScreen].store(true);
    }
    // Pre-filled stores again: the next frame carries every block.
    void mode_change() {
        if (!resize_capture(cxt_.get(), kWidth, kHeight)) std::abort();
    }
    long frame(const frame_view_t &view, int threads) {
        return encode_frame(cxt_.get(), kScreen, 0, view, stream_.get(), threads);
    }

  private:
    std::unique_ptr<thread_context_t> cxt_;
    std::unique_ptr<uint8_t[]> stream_;
};

Device &device() {
    static Device d;
    return d;
}

void BM_FullChange(benchmark::State &state) {
    const auto threads = static_cast<int>(state.range(1));
    const frame_view_t view = view_of(scene(static_cast<int>(state.range(0))));
    Device &d = device();
    long bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        d.mode_change();
        state.ResumeTiming();
        bytes = d.frame(view, threads);
    }
    state.counters["stream_bytes"] = static_cast<double>(bytes);
    state.SetLabel(kSceneNames[state.range(0)]);
}

void BM_Unchanged(benchmark::State &state) {
    const auto threads = static_cast<int>(state.range(1));
    const frame_view_t view = view_of(scene(static_cast<int>(state.range(0))));
    Device &d = device();
    d.mode_change();
    d.frame(view, threads);
    d.frame(view, threads);
    const bool cold = state.range(2) != 0;
    long bytes = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            evict_caches();
            state.ResumeTiming();
        }
        bytes += d.frame(view, threads);
    }
    if (bytes != 0) state.SkipWithError("an unchanged frame produced a stream");
    state.SetLabel(kSceneNames[state.range(0)]);
}

// Two desktop frames that differ in a tenth of their blocks, alternating:
// every frame codes that tenth (the change, then its resend when the frames
// alternate), and the rest of the frame is the unchanged scan.
void BM_TenthChanged(benchmark::State &state) {
    const auto which = static_cast<int>(state.range(0));
    const auto threads = static_cast<int>(state.range(1));
    const frame_scenes::Picture &changed = desktop_tenth(which);
    const frame_view_t views[2] = {view_of(scene(kDesktop)), view_of(changed)};
    Device &d = device();
    d.mode_change();
    for (int i = 0; i < 4; ++i) d.frame(views[i & 1], threads);
    size_t n = 0;
    long bytes = 0;
    for (auto _ : state) bytes += d.frame(views[n++ & 1], threads);
    state.counters["stream_bytes"] = static_cast<double>(bytes) / static_cast<double>(n);
    state.counters["blocks"] = frame_scenes::blocks_differing(scene(kDesktop), changed);
    state.SetLabel(kTenthNames[which]);
}

void BM_TurboJpeg(benchmark::State &state) {
    frame_scenes::turbojpeg_anchor(state, scene(static_cast<int>(state.range(0))));
    state.SetLabel(kSceneNames[state.range(0)]);
}

// Reads every byte an unchanged frame must look at: the pixels and one
// snapshot store of the grid.
void BM_MemoryFloor(benchmark::State &state) {
    const frame_scenes::Picture &p = scene(static_cast<int>(state.range(0)));
    const size_t store_bytes = static_cast<size_t>((kWidth + 31) / 32) * ((kHeight + 7) / 8) * 768;
    std::vector<uint64_t> store(store_bytes / 8, 0x0101010101010101u);
    const auto *pixels = reinterpret_cast<const uint64_t *>(p.bgrx.data());
    const size_t pixel_words = p.bgrx.size() / 8;
    const bool cold = state.range(1) != 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            evict_caches();
            state.ResumeTiming();
        }
        uint64_t acc[4] = {0, 0, 0, 0};
        for (size_t i = 0; i + 4 <= pixel_words; i += 4)
            for (int k = 0; k < 4; ++k) acc[k] ^= pixels[i + static_cast<size_t>(k)];
        for (size_t i = 0; i + 4 <= store.size(); i += 4)
            for (int k = 0; k < 4; ++k) acc[k] ^= store[i + static_cast<size_t>(k)];
        benchmark::DoNotOptimize(acc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(p.bgrx.size() + store_bytes));
    state.SetLabel(kSceneNames[state.range(0)]);
}

BENCHMARK(BM_FullChange)
    ->ArgsProduct({{kDesktop, kNatural}, {1, ENCODER_WORKERS}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Third argument: 1 when the caches are emptied before every frame.
BENCHMARK(BM_Unchanged)
    ->ArgsProduct({{kDesktop, kNatural}, {1, ENCODER_WORKERS}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TenthChanged)
    ->ArgsProduct({{0, 1}, {1, ENCODER_WORKERS}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TurboJpeg)->Arg(kDesktop)->Arg(kNatural)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemoryFloor)
    ->ArgsProduct({{kDesktop, kNatural}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Keeps the time per iteration of every benchmark, by name, for the ratios:
// the median of its repetitions when it was repeated, else its one run. On a
// shared machine, run it as
//   frame_path_bench --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
// so that every benchmark and its anchor see the same spread of load. Rows
// of one thread also show the ratio of CPU times, which time spent waiting
// for a core another process holds does not inflate.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            // Every benchmark here reports in milliseconds.
            const Times t{r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                medians_[r.run_name.str()] = t;
            else if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                ms_[r.run_name.str()] = t;
        }
    }
    void print_ratios() {
        for (const auto &[name, ms] : medians_) ms_[name] = ms;
        std::printf("\nratios (time per frame%s):\n", medians_.empty() ? "" : ", medians");
        for (int s : {kDesktop, kNatural}) {
            const std::string tj = "BM_TurboJpeg/" + std::to_string(s) + "/real_time";
            for (int t : {1, ENCODER_WORKERS}) {
                const std::string args = std::to_string(s) + "/" + std::to_string(t);
                ratio("full-change " + std::string(kSceneNames[s]) + ", " + std::to_string(t) +
                          " thread(s) / tjCompress2",
                      "BM_FullChange/" + args + "/real_time", tj, t == 1);
                for (int cold : {0, 1}) {
                    const std::string c = std::to_string(cold);
                    ratio("unchanged " + std::string(kSceneNames[s]) + ", " + std::to_string(t) +
                              " thread(s) / memory floor" + (cold ? ", from memory" : ", cached"),
                          "BM_Unchanged/" + args + "/" + c + "/real_time",
                          "BM_MemoryFloor/" + std::to_string(s) + "/" + c + "/real_time", t == 1);
                }
            }
        }
        for (int which : {0, 1}) {
            for (int t : {1, ENCODER_WORKERS}) {
                const auto it = ms_.find("BM_TenthChanged/" + std::to_string(which) + "/" +
                                         std::to_string(t) + "/real_time");
                if (it == ms_.end()) continue;
                std::printf("  tenth changed (%s), %d thread(s): %.3f ms (target < 2 ms)",
                            kTenthNames[which], t, it->second.real);
                if (t == 1) std::printf("; CPU %.3f ms", it->second.cpu);
                std::printf("\n");
            }
        }
    }

  private:
    struct Times {
        double real, cpu;  // milliseconds per frame
    };
    void ratio(const std::string &what, const std::string &num, const std::string &den,
               bool with_cpu) const {
        const auto a = ms_.find(num), b = ms_.find(den);
        if (a == ms_.end() || b == ms_.end()) return;
        const Times &x = a->second, &y = b->second;
        std::printf("  %-58s %.3f ms / %.3f ms = %.2f", what.c_str(), x.real, y.real,
                    x.real / y.real);
        if (with_cpu) std::printf("; CPU %.3f / %.3f = %.2f", x.cpu, y.cpu, x.cpu / y.cpu);
        std::printf("\n");
    }
    std::map<std::string, Times> ms_, medians_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
