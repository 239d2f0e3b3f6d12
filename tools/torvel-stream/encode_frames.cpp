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
#include "stream_decoder.h"

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

// A PNG picture as the BGRX frame EVDI would hand over (rows of 4 x width
// bytes, the fourth byte unused).
void to_bgrx(const torvel::testbed::FrameBuffer &picture, uint8_t *frame) {
    const auto rgb = picture.rgb();
    for (size_t i = 0, n = rgb.size() / 3; i < n; ++i) {
        frame[4 * i] = rgb[3 * i + 2];
        frame[4 * i + 1] = rgb[3 * i + 1];
        frame[4 * i + 2] = rgb[3 * i];
        frame[4 * i + 3] = 0;
    }
}

int encode_frames(int argc, char **argv) {
    using namespace torvel_stream;
    Options options;
    std::string error;
    long width = 0, height = 0;
    if (!parse_options(argc, argv, {"width", "height"}, {}, options, error, true) ||
        !get_int(options, "width", 0, 1, 0xFFFF, width, error) ||
        !get_int(options, "height", 0, 1, 0xFFFF, height, error))
        return usage_error(error);
    // PNG pictures named on the command line, or raw frames on standard input.
    const std::vector<std::string> &pngs = options.positional;
    torvel::testbed::FrameBuffer picture;
    if (!pngs.empty()) {
        if (!torvel::testbed::read_png(pngs[0], picture, &error)) return failure(error);
        if ((options.has("width") && width != picture.width()) ||
            (options.has("height") && height != picture.height()))
            return usage_error(pngs[0] + " is " + std::to_string(picture.width()) + "x" +
                               std::to_string(picture.height()) + ", not the size given");
        width = picture.width();
        height = picture.height();
    } else if (!options.has("width") || !options.has("height")) {
        return usage_error("encode-frames needs --width and --height, or PNG files");
    }
    const long blocks =
        ((width + BLOCK_WIDTH - 1) / BLOCK_WIDTH) * ((height + BLOCK_HEIGHT - 1) / BLOCK_HEIGHT);
    if (blocks > MAX_GRID_BLOCKS)
        return usage_error("a frame of more than 65536 blocks cannot be addressed");

    // The device slot as the timer work prepares it.
    auto cxt = std::make_unique<thread_context_t>();
    prepare_encoder(cxt.get(), 0);
    create_rgb2ycc_table();
    // ... and as the mode change leaves it.
    if (!resize_capture(cxt.get(), static_cast<int>(width), static_cast<int>(height)))
        return failure("not enough memory for " + std::to_string(width) + "x" +
                       std::to_string(height));
    buffersRegistered[SCREEN].store(true);

    const size_t stride = 4 * static_cast<size_t>(width);
    const size_t frame_bytes = stride * static_cast<size_t>(height);
    auto frame = std::make_unique_for_overwrite<uint8_t[]>(frame_bytes);
    auto stream = std::make_unique_for_overwrite<uint8_t[]>(cxt->bitstream_size);
    const frame_view_t view{frame.get(), static_cast<int>(width), static_cast<int>(height),
                            static_cast<int>(stride)};
    for (size_t n = 0;; ++n) {
        if (!pngs.empty()) {
            if (n == pngs.size()) return 0;
            if (n > 0 && !torvel::testbed::read_png(pngs[n], picture, &error))
                return failure(error);
            if (picture.width() != width || picture.height() != height)
                return failure(pngs[n] + " is " + std::to_string(picture.width()) + "x" +
                               std::to_string(picture.height()) + ", not " + std::to_string(width) +
                               "x" + std::to_string(height) + " as the first picture");
            to_bgrx(picture, frame.get());
        } else {
            const int got = read_frame(frame.get(), frame_bytes);
            if (got == 0) return 0;
            if (got < 0) return failure("input ends inside a frame");
        }
        const long length = encode_frame(cxt.get(), SCREEN, 0, view, stream.get());
        if (length < 0) return failure("frame could not be encoded");
        const auto len = static_cast<uint32_t>(length);
        const uint8_t prefix[4] = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                                   static_cast<uint8_t>(len >> 16),
                                   static_cast<uint8_t>(len >> 24)};
        if (!write_all(STDOUT_FILENO, prefix, sizeof prefix) ||
            !write_all(STDOUT_FILENO, stream.get(), static_cast<size_t>(length)))
            return failure("cannot write the output");
    }
}

}  // namespace

TORVEL_STREAM_COMMAND(
    "encode-frames", "encode-frames --width W --height H < frames.bgrx | encode-frames FILE.png...",
    "Runs the daemon's frame path (colour conversion, change test, band workers,\n"
    "joining, fill words) over a sequence of frames, starting from the state\n"
    "right after a mode change: the first two frames carry every block, later\n"
    "ones the blocks that changed. The frames are raw BGRX (4 bytes a pixel,\n"
    "rows of 4 x W bytes, one after another) on standard input, or PNG pictures\n"
    "named on the command line, all of one size. For each frame it writes the\n"
    "stream's length (32 bits, least significant byte first) and the stream\n"
    "(records and fill words; the bulk transfer adds one byte); a frame without\n"
    "changes writes a length of 0. decode --frames and inspect --frames read\n"
    "this output.\n\n"
    "options:\n"
    "  --width W, --height H   frame size (required for raw frames; with PNG\n"
    "                          files, checked against the pictures)\n",
    encode_frames);
