// torvel-stream encode-frames: the daemon's frame path (colour conversion,
// change test, band workers, joining, fill words) over a sequence of frames,
// starting from the state right after a mode change.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// Reads one frame: 1 when it came whole, 0 at a clean end of input, -1 when
// the input ends inside the frame or cannot be read.
int read_frame(uint8_t *frame, size_t bytes) {
    size_t got = 0;
    while (got < bytes) {
        const ssize_t n = ::read(STDIN_FILENO, frame + got, bytes - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    if (got == 0) return 0;
    return got == bytes ? 1 : -1;
}

int encode_frames(int argc, char **argv) {
    using namespace torvel_stream;
    Options options;
    std::string error;
    long width = 0, height = 0;
    if (!parse_options(argc, argv, {"width", "height"}, {}, options, error) ||
        !get_int(options, "width", 0, 1, 0xFFFF, width, error) ||
        !get_int(options, "height", 0, 1, 0xFFFF, height, error))
        return usage_error(error);
    if (!options.has("width") || !options.has("height"))
        return usage_error("encode-frames needs --width and --height");
    const long blocks =
        ((width + BLOCK_WIDTH - 1) / BLOCK_WIDTH) * ((height + BLOCK_HEIGHT - 1) / BLOCK_HEIGHT);
    if (blocks > MAX_GRID_BLOCKS)
        return usage_error("a frame of more than 65536 blocks cannot be addressed");

    // The device slot as the timer work prepares it.
    auto cxt = std::make_unique<thread_context_t>();
    prepare_encoder(cxt.get(), 0);
    create_rgb2ycc_table();
    // ... and as the mode change leaves it.
    if (!resize_capture(cxt.get(), static_cast<int>(width), static_cast<int>(height))) {
        std::fprintf(stderr, "torvel-stream: not enough memory for %ldx%ld\n", width, height);
        return 1;
    }
    buffersRegistered[SCREEN].store(true);

    const size_t stride = 4 * static_cast<size_t>(width);
    const size_t frame_bytes = stride * static_cast<size_t>(height);
    auto frame = std::make_unique_for_overwrite<uint8_t[]>(frame_bytes);
    auto stream = std::make_unique_for_overwrite<uint8_t[]>(cxt->bitstream_size);
    const frame_view_t view{frame.get(), static_cast<int>(width), static_cast<int>(height),
                            static_cast<int>(stride)};
    for (;;) {
        const int got = read_frame(frame.get(), frame_bytes);
        if (got == 0) return 0;
        if (got < 0) {
            std::fprintf(stderr, "torvel-stream: input ends inside a frame\n");
            return 1;
        }
        const long length = encode_frame(cxt.get(), SCREEN, 0, view, stream.get());
        if (length < 0) {
            std::fprintf(stderr, "torvel-stream: frame could not be encoded\n");
            return 1;
        }
        const auto n = static_cast<uint32_t>(length);
        const uint8_t prefix[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                   static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
        if (!write_all(STDOUT_FILENO, prefix, sizeof prefix) ||
            !write_all(STDOUT_FILENO, stream.get(), static_cast<size_t>(length))) {
            std::fprintf(stderr, "torvel-stream: cannot write the output\n");
            return 1;
        }
    }
}

}  // namespace

TORVEL_STREAM_COMMAND("encode-frames", "encode-frames --width W --height H", encode_frames);
