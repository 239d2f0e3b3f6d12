// torvel-stream encode-block, jpeg and blob: the block encoder on its own,
// for checking a device's decoder against exact reference bytes.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "command.h"
#include "jpeg_enc.h"

namespace {

using namespace torvel_stream;

constexpr long kMaxSide = 65528;  // largest multiple of 8 a JPEG frame header can carry
// Keeps the worst-case output, and so every stream position, below 2^31.
constexpr long kMaxPixels = 1L << 26;
constexpr size_t kHeaderBytes = 607;

struct BlockJob {
    int quality = 90;
    int width = 32;
    int height = 8;
    std::vector<uint8_t> planes;  // Y, then Cb, then Cr, each width x height
};

bool parse_quality(const Options &options, int &quality, std::string &error) {
    long q = 0;
    if (!get_int(options, "quality", 90, 0, 100, q, error)) return false;
    quality = static_cast<int>(q);
    return true;
}

bool parse_side(const Options &options, const char *name, long fallback, int &side,
                std::string &error) {
    long v = 0;
    if (!get_int(options, name, fallback, 1, kMaxSide, v, error) || v % 8 != 0) {
        error = std::string("--") + name + " must be a positive multiple of 8 up to " +
                std::to_string(kMaxSide) + ", not '" + options.values.find(name)->second + "'";
        return false;
    }
    side = static_cast<int>(v);
    return true;
}

// Options, then exactly width x height x 3 bytes of standard input. Returns 0
// or the exit status of the error (already reported).
int read_block_job(int argc, char **argv, BlockJob &job) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, {"quality", "width", "height"}, {}, options, error) ||
        !parse_quality(options, job.quality, error) ||
        !parse_side(options, "width", 32, job.width, error) ||
        !parse_side(options, "height", 8, job.height, error)) {
        return usage_error(error);
    }
    const long pixels = static_cast<long>(job.width) * job.height;
    if (pixels > kMaxPixels) {
        return usage_error("a block of " + std::to_string(job.width) + "x" +
                           std::to_string(job.height) + " is too large (at most " +
                           std::to_string(kMaxPixels) + " samples per plane)");
    }
    const size_t expected = static_cast<size_t>(pixels) * 3;
    if (!read_all(STDIN_FILENO, job.planes)) return failure("cannot read standard input");
    if (job.planes.size() != expected) {
        return failure(std::string(job.planes.size() < expected ? "short" : "too long") +
                       " input: " + std::to_string(job.width) + "x" + std::to_string(job.height) +
                       " needs " + std::to_string(expected) + " bytes (Y, Cb, Cr planes), got " +
                       std::to_string(job.planes.size()));
    }
    return 0;
}

// Encodes the job, behind the JFIF header if asked, and writes the result to
// standard output.
int encode_and_write(const BlockJob &job, bool with_header) {
    const size_t capacity =
        (with_header ? kHeaderBytes : 0) +
        encode_max_bytes(static_cast<size_t>(job.width), static_cast<size_t>(job.height));
    std::unique_ptr<BYTE[]> out;
    try {
        out = std::make_unique_for_overwrite<BYTE[]>(capacity);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "torvel-stream: not enough memory for %zu bytes of output\n",
                     capacity);
        return 1;
    }
    cinfo_t cinfo{};
    Initialize(&cinfo, static_cast<BYTE>(job.quality));
    const size_t plane = job.planes.size() / 3;
    auto *samples = reinterpret_cast<SBYTE *>(const_cast<uint8_t *>(job.planes.data()));
    cinfo.Ximage = job.width;
    cinfo.Yimage = job.height;
    cinfo.Y_buffer = samples;
    cinfo.Cb_buffer = samples + plane;
    cinfo.Cr_buffer = samples + 2 * plane;
    cinfo.jpeg_stream = {out.get(), 0};
    if (with_header) WriteHeader(&cinfo, job.width, job.height);
    const int end = encode(&cinfo);
    if (!write_all(STDOUT_FILENO, out.get(), static_cast<size_t>(end))) {
        std::perror("torvel-stream: writing standard output");
        return 1;
    }
    return 0;
}

int encode_block_command(int argc, char **argv) {
    BlockJob job;
    if (const int status = read_block_job(argc, argv, job)) return status;
    return encode_and_write(job, false);
}

int jpeg_command(int argc, char **argv) {
    BlockJob job;
    if (const int status = read_block_job(argc, argv, job)) return status;
    return encode_and_write(job, true);
}

int blob_command(int argc, char **argv) {
    Options options;
    std::string error;
    int quality = 90;
    if (!parse_options(argc, argv, {"quality"}, {}, options, error) ||
        !parse_quality(options, quality, error)) {
        return usage_error(error);
    }
    cinfo_t cinfo{};
    Initialize(&cinfo, static_cast<BYTE>(quality));
    BYTE blob[138];
    jpeg_stream_t stream{blob, 0};
    const int n = GetDQTinfo(&cinfo, &stream);
    if (!write_all(STDOUT_FILENO, blob, static_cast<size_t>(n))) {
        std::perror("torvel-stream: writing standard output");
        return 1;
    }
    return 0;
}

constexpr char kPlanesHelp[] =
    "Standard input holds the Y, Cb and Cr planes, each W x H bytes, rows top to\n"
    "bottom, as the daemon's colour conversion leaves a block.\n\n"
    "options:\n"
    "  --quality Q   quantisation quality 0..100 (default 90, the daemon's)\n"
    "  --width W     block width, a multiple of 8 (default 32)\n"
    "  --height H    block height, a multiple of 8 (default 8)\n";

constexpr char kEncodeBlockHelp[] =
    "Writes the entropy-coded data that the block encoder produces for one block\n"
    "(what follows a block header in the stream), ending with the EOI marker.\n\n";
constexpr char kJpegHelp[] =
    "Writes a complete baseline JPEG file of the block (the encoder's own marker\n"
    "segments around its data), which any JPEG decoder can show.\n\n";

std::string g_encode_block_help = std::string(kEncodeBlockHelp) + kPlanesHelp;
std::string g_jpeg_help = std::string(kJpegHelp) + kPlanesHelp;

}  // namespace

TORVEL_STREAM_COMMAND("encode-block",
                      "encode-block [--quality Q] [--width W] [--height H] < planes",
                      g_encode_block_help.c_str(), encode_block_command);
TORVEL_STREAM_COMMAND("jpeg", "jpeg [--quality Q] [--width W] [--height H] < planes",
                      g_jpeg_help.c_str(), jpeg_command);
TORVEL_STREAM_COMMAND("blob", "blob [--quality Q]",
                      "Writes the 138-byte quantisation table blob that the daemon sends to a\n"
                      "device with SetQuantTable (two DQT segments: luminance, chrominance).\n\n"
                      "options:\n"
                      "  --quality Q   quantisation quality 0..100 (default 90, the daemon's)\n",
                      blob_command);
