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
    if (!parse_options(argc, argv, {"width", "height", "quality", "blob", "png"}, {}, options,
                       error)) {
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
        const std::string &path = options.values.find("blob")->second;
        if (!read_file(path, blob)) return usage_error("cannot read blob file '" + path + "'");
    } else {
        const auto computed = torvel::testbed::make_quant_blob(static_cast<int>(quality));
        blob.assign(computed.begin(), computed.end());
    }
    StreamDecoder decoder;
    // The daemon loads its tables at index 1, the index every header names.
    if (!decoder.set_quant_blob(1, blob, &error)) return usage_error(error);

    std::vector<uint8_t> transfer;
    if (!read_all(STDIN_FILENO, transfer)) return usage_error("cannot read standard input");

    FrameBuffer frame(static_cast<int>(width), static_cast<int>(height));
    const DecodeReport report = decoder.decode(transfer, TrailingByte::kOptional, frame);
    for (const auto &line : report.violations) std::fprintf(stderr, "%s\n", line.c_str());
    for (const auto &line : report.decode_messages) std::fprintf(stderr, "%s\n", line.c_str());
    std::printf(
        "%zu records, %zu blocks drawn, %zu fill words, %zu violations, %zu decode errors\n",
        report.records, report.blocks_drawn, report.fill_words, report.violations.size(),
        report.decode_errors);

    if (options.has("png")) {
        if (!torvel::testbed::write_png(frame, options.values.find("png")->second, &error)) {
            return usage_error(error);
        }
    }
    return report.clean() ? 0 : 1;
}

}  // namespace

TORVEL_STREAM_COMMAND("decode",
                      "decode --width W --height H [--quality Q | --blob FILE] [--png OUT] "
                      "< transfer",
                      run_decode);

}  // namespace torvel_stream
