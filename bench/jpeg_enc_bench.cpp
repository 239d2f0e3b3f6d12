// Block encoder throughput on a 1920 x 1080 frame, one thread, next to
// libjpeg-turbo compressing the same frame (BGRX, quality 90, 4:4:4, fast
// DCT). Our side starts from YCbCr planes, one 768-byte buffer per 32 x 8
// block as the encoder workers hold them; libjpeg-turbo also converts colour.
// The scenes are those of the frame-path benchmark.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "block_convert.h"
#include "frame_scenes.h"
#include "jpeg_enc.h"
#include "turbojpeg_anchor.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kBlocksX = kWidth / 32;
constexpr int kBlocksY = kHeight / 8;
constexpr int kBlocks = kBlocksX * kBlocksY;  // 8100

// A scene as the encoder workers hold it: one 768-byte buffer of Y, Cb and Cr
// planes per 32 x 8 block, converted as the daemon converts.
struct Frame {
    frame_scenes::Picture picture;
    std::vector<uint8_t> blocks;  // kBlocks * 768

    explicit Frame(frame_scenes::Picture p)
        : picture(std::move(p)), blocks(static_cast<size_t>(kBlocks) * CONVERT_BLOCK_BYTES) {
        for (int b = 0; b < kBlocks; ++b) {
            const size_t x = static_cast<size_t>(b % kBlocksX) * 32;
            const size_t y = static_cast<size_t>(b / kBlocksX) * 8;
            convert_block_ycc(&picture.bgrx[(y * kWidth + x) * 4], kWidth * 4,
                              &blocks[static_cast<size_t>(b) * CONVERT_BLOCK_BYTES]);
        }
    }
};

const Frame &frame(int kind) {
    static const Frame frames[2] = {Frame(frame_scenes::desktop(kWidth, kHeight)),
                                    Frame(frame_scenes::natural(kWidth, kHeight))};
    return frames[kind];
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
    frame_scenes::turbojpeg_anchor(state, frame(static_cast<int>(state.range(0))).picture);
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
