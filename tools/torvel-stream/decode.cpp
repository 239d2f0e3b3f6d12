// torvel-stream decode: checks one bulk transfer the way the device does and
// draws it, so a firmware developer can see what a stream puts on screen.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "command.h"
#include "stream_decoder.h"
#include "stream_input.h"

namespace torvel_stream {
namespace {

using torvel::testbed::DecodeReport;
using torvel::testbed::FrameBuffer;
using torvel::testbed::StreamDecoder;
using torvel::testbed::TrailingByte;

bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int run_decode(int argc, char **argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, {"width", "height", "quality", "blob", "png"}, {"frames"},
                       options, error)) {
        return usage_error(error);
    }
    if (!options.has("width") || !options.has("height")) {
        return usage_error("decode needs --width and --height");
    }
    if (options.has("quality") && options.has("blob")) {
        return usage_error("give either --quality or --blob, not both");
    }
    long width = 0, height = 0, quality = 0;
    if (!get_int(options, "width", 0, 1, 65535, width, error) ||
        !get_int(options, "height", 0, 1, 65535, height, error) ||
        !get_int(options, "quality", 90, 0, 100, quality, error)) {
        return usage_error(error);
    }

    std::vector<uint8_t> blob;
    if (options.has("blob")) {
        const std::string &path = options.value("blob");
        if (!read_file(path, blob)) return failure("cannot read blob file '" + path + "'");
    } else {
        const auto computed = torvel::testbed::make_quant_blob(static_cast<int>(quality));
        blob.assign(computed.begin(), computed.end());
    }
    StreamDecoder decoder;
    // The daemon loads its tables at index 1, the index every header names.
    if (!decoder.set_quant_blob(1, blob, &error)) return failure(error);

    std::vector<uint8_t> input;
    std::vector<FrameSlice> frames;
    if (const int status = read_transfers(options.has("frames"), input, frames)) return status;

    // The device keeps its picture: each frame draws its changed blocks over
    // the previous ones.
    FrameBuffer frame(static_cast<int>(width), static_cast<int>(height));
    bool clean = true;
    for (size_t f = 0; f < frames.size(); ++f) {
        // A frame without changed blocks sends no transfer at all.
        if (options.has("frames") && frames[f].bytes.empty()) {
            std::printf("frame %zu: nothing sent\n", f);
            continue;
        }
        const DecodeReport report = decoder.decode(frames[f].bytes, TrailingByte::kOptional, frame);
        const std::string where = options.has("frames") ? "frame " + std::to_string(f) + ": " : "";
        for (const auto &line : report.violations)
            std::fprintf(stderr, "%s%s\n", where.c_str(), line.c_str());
        for (const auto &line : report.decode_messages)
            std::fprintf(stderr, "%s%s\n", where.c_str(), line.c_str());
        std::printf(
            "%s%zu records, %zu blocks drawn, %zu fill words, %zu violations, %zu decode errors\n",
            where.c_str(), report.records, report.blocks_drawn, report.fill_words,
            report.violations.size(), report.decode_errors);
        clean = clean && report.clean();
    }

    if (options.has("png")) {
        if (!torvel::testbed::write_png(frame, options.value("png"), &error)) return failure(error);
    }
    return clean ? 0 : EXIT_WORK_FAILED;
}

}  // namespace

TORVEL_STREAM_COMMAND(
    "decode",
    "decode --width W --height H [--quality Q | --blob FILE] [--frames] [--png OUT] < input",
    "Checks a stream the way the device does and draws it: one bulk transfer on\n"
    "standard input, or with --frames the output of encode-frames, whose frames\n"
    "are drawn one over the other as the device keeps its picture. Prints one\n"
    "line of counts per transfer; each format violation and decode error goes\n"
    "to standard error, and any of them ends with status 1.\n\n"
    "options:\n"
    "  --width W, --height H   the resolution the device was given (required)\n"
    "  --quality Q             quantisation quality of the tables (default 90)\n"
    "  --blob FILE             the tables as a 138-byte blob instead (torvel-stream blob)\n"
    "  --frames                standard input is encode-frames' output\n"
    "  --png OUT               write the picture the device would show\n",
    run_decode);

}  // namespace torvel_stream
