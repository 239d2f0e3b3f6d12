// torvel-stream bench: times the daemon's frame path (colour conversion,
// change test, band workers, block coding, joining, fill words) on one BGRX
// frame read from standard input. Prints the median time of the frame right
// after a mode change (every block coded), the median time of the same frame
// once nothing changes any more (every block scanned), that of a frame whose
// grab damaged one block that changed (only that block scanned), and the
// length of the first frame's stream.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "command.h"
#include "encoder_worker.h"
#include "screen.h"
#include "stream.h"

namespace {

constexpr int SCREEN = 0;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int bench(int argc, char **argv) {
    using namespace torvel_stream;
    using clock = std::chrono::steady_clock;
    Options options;
    std::string error;
    long width = 0, height = 0, threads = 0, frames = 0;
    if (!parse_options(argc, argv, {"width", "height", "threads", "frames"}, {}, options, error) ||
        !get_int(options, "width", 0, 1, 0xFFFF, width, error) ||
        !get_int(options, "height", 0, 1, 0xFFFF, height, error) ||
        !get_int(options, "threads", ENCODER_WORKERS, 1, ENCODER_WORKERS, threads, error) ||
        !get_int(options, "frames", 15, 1, 100000, frames, error))
        return usage_error(error);
    if (!options.has("width") || !options.has("height"))
        return usage_error("bench needs --width and --height");
    const long blocks =
        ((width + BLOCK_WIDTH - 1) / BLOCK_WIDTH) * ((height + BLOCK_HEIGHT - 1) / BLOCK_HEIGHT);
    if (blocks > MAX_GRID_BLOCKS)
        return usage_error("a frame of more than 65536 blocks cannot be addressed");

    const size_t stride = 4 * static_cast<size_t>(width);
    const size_t frame_bytes = stride * static_cast<size_t>(height);
    auto frame = std::make_unique_for_overwrite<uint8_t[]>(frame_bytes);
    if (!read_exact(STDIN_FILENO, frame.get(), frame_bytes)) {
        return failure("standard input holds less than one " + std::to_string(width) + "x" +
                       std::to_string(height) + " frame");
    }

    // The device slot as the timer work prepares it.
    auto cxt = std::make_unique<thread_context_t>();
    prepare_encoder(cxt.get(), 0);
    create_rgb2ycc_table();
    const auto mode_change = [&] {
        return resize_capture(cxt.get(), static_cast<int>(width), static_cast<int>(height));
    };
    if (!mode_change()) {
        std::fprintf(stderr, "torvel-stream: not enough memory for %ldx%ld\n", width, height);
        return 1;
    }
    buffersRegistered[SCREEN].store(true);
    auto stream = std::make_unique_for_overwrite<uint8_t[]>(cxt->bitstream_size);
    const frame_view_t view{frame.get(), static_cast<int>(width), static_cast<int>(height),
                            static_cast<int>(stride)};
    const auto timed = [&](long &length) {
        const auto start = clock::now();
        length = encode_frame(cxt.get(), SCREEN, 0, view, stream.get(), static_cast<int>(threads));
        return std::chrono::duration<double, std::milli>(clock::now() - start).count();
    };

    // Right after a mode change: every block is coded.
    std::vector<double> full, unchanged;
    long stream_bytes = -1;
    for (long i = 0; i < frames; ++i) {
        if (!mode_change()) return 1;
        long length = 0;
        full.push_back(timed(length));
        if (length < 0) {
            std::fprintf(stderr, "torvel-stream: frame could not be encoded\n");
            return 1;
        }
        if (stream_bytes < 0) stream_bytes = length;
    }
    // The same frame twice more settles both snapshot stores; from then on
    // no block changes.
    for (int i = 0; i < 2; ++i) {
        long length = 0;
        timed(length);
    }
    for (long i = 0; i < frames; ++i) {
        long length = 0;
        unchanged.push_back(timed(length));
        if (length != 0) {
            std::fprintf(stderr, "torvel-stream: an unchanged frame produced %ld bytes\n", length);
            return 1;
        }
    }
    // A grab that damaged one block, which changes: only that block is
    // converted and compared, as in the daemon.
    std::vector<double> one_block;
    cxt->damage.limit_scan = true;
    const int bx = static_cast<int>(std::min<long>(width, BLOCK_WIDTH));
    const int by = static_cast<int>(std::min<long>(height, BLOCK_HEIGHT));
    const size_t centre = (static_cast<size_t>(height / 2 / BLOCK_HEIGHT * BLOCK_HEIGHT) * stride +
                           static_cast<size_t>(width / 2 / BLOCK_WIDTH * BLOCK_WIDTH) * 4);
    for (long i = 0; i < frames; ++i) {
        frame[centre + 1] ^= 0x40;
        const int x = static_cast<int>(centre % stride / 4), y = static_cast<int>(centre / stride);
        cxt->damage.mark_rect(x, y, x + bx, y + by);
        long length = 0;
        one_block.push_back(timed(length));
        if (length <= 0) {
            std::fprintf(stderr, "torvel-stream: the damaged block was not sent\n");
            return 1;
        }
    }
    std::printf("full_ms: %.3f\nunchanged_ms: %.3f\none_block_ms: %.4f\nstream_bytes: %ld\n",
                median(full), median(unchanged), median(one_block), stream_bytes);
    return 0;
}

}  // namespace

TORVEL_STREAM_COMMAND("bench", "bench --width W --height H [--threads N] [--frames K] < frame.bgrx",
                      "Times the daemon's frame path on one frame (BGRX, 4 bytes a pixel, rows of\n"
                      "4 x W bytes) read from standard input: the median time of the frame right\n"
                      "after a mode change (every block coded), of the same frame once nothing\n"
                      "changes (every block scanned), of a frame whose grab damaged one block\n"
                      "that changed (only it scanned), and the length of the first frame's\n"
                      "stream.\n\n"
                      "options:\n"
                      "  --width W     frame width in pixels (required)\n"
                      "  --height H    frame height in pixels (required)\n"
                      "  --threads N   encoder workers, 1..4 (default 4, the daemon's)\n"
                      "  --frames K    frames timed in each case (default 15)\n",
                      bench);
