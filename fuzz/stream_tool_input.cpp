// torvel-stream's inputs: what inspect and decode read on standard input (one
// transfer, or encode-frames' output with --frames), the blob file of
// decode --blob, the PNG frames of encode-frames and a subcommand's command
// line.
//
// Input: a byte choosing which, two bytes of frame size (width - 1 and
// height - 1, for the decoder), then the bytes the tool would read.
// - Frames: they tile the input, each after its 4-byte length.
// - A transfer: inspect never finds fault with what the device accepts: a
//   transfer the device's decoder finds no violation in lists without a
//   problem, with the decoder's count of records and fill words.
// - A blob: the decoder takes exactly the blobs the check accepts, and
//   decodes with any it takes.
// - A PNG: a frame read is the size the file says, and written and read
//   again it is the same frame.
// - A command line (its arguments apart at NUL bytes): what is accepted comes
//   from the arguments, and what is refused is named as it was given.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "command.h"
#include "fuzz_check.h"
#include "scratch_file.h"
#include "stream_decoder.h"
#include "stream_input.h"

namespace tb = torvel::testbed;
using namespace torvel_stream;

namespace {

tb::StreamDecoder &decoder() {
    static tb::StreamDecoder d;
    return d;
}

void load_standard_tables() {
    decoder().clear_quant_blobs();
    std::string error;
    for (int index = 0; index <= tb::kMaxQuantIndex; ++index)
        FUZZ_CHECK(decoder().set_quant_blob(index, tb::make_quant_blob(90), &error));
}

// One transfer, judged by the lister and by the device's decoder.
void transfer(std::span<const uint8_t> bytes, size_t base, tb::FrameBuffer &frame) {
    const TransferListing listing = list_records(bytes, base);
    for (size_t i = 0; i < listing.records.size(); ++i) {
        const RecordInfo &r = listing.records[i];
        FUZZ_CHECK(r.offset >= base && r.offset + 4 + r.data_bytes <= base + bytes.size());
        if (i > 0) {
            const RecordInfo &p = listing.records[i - 1];
            FUZZ_CHECK(r.offset == p.offset + 4 + p.data_bytes && !p.end);
        }
    }
    const tb::DecodeReport report = decoder().decode(bytes, tb::TrailingByte::kOptional, frame);
    if (!report.violations.empty()) return;
    FUZZ_CHECK(listing.problems.empty());
    FUZZ_CHECK(listing.records.size() == report.records);
    FUZZ_CHECK(listing.fill_words == report.fill_words);
    FUZZ_CHECK(listing.extra_byte == (bytes.size() % 128 == 1));
}

void frames(std::span<const uint8_t> input, tb::FrameBuffer &frame) {
    std::vector<FrameSlice> slices;
    std::string error;
    const bool ok = split_frames(input, slices, error);
    FUZZ_CHECK(ok == error.empty());
    size_t end = 0;
    for (const FrameSlice &s : slices) {
        FUZZ_CHECK(s.offset == end + 4 && s.bytes.data() == input.data() + s.offset);
        end = s.offset + s.bytes.size();
    }
    if (ok) FUZZ_CHECK(end == input.size());
    // As decode --frames: the picture stays from frame to frame.
    for (const FrameSlice &s : slices)
        if (!s.bytes.empty()) transfer(s.bytes, s.offset, frame);
}

void blob(std::span<const uint8_t> bytes, tb::FrameBuffer &frame) {
    std::string why;
    const bool valid = tb::check_quant_blob(bytes, &why);
    decoder().clear_quant_blobs();
    FUZZ_CHECK(decoder().set_quant_blob(1, bytes, &why) == valid);
    if (!valid) return;
    // The daemon's stream of one flat 32 x 8 block: its record, then fill
    // words to 128 bytes.
    static const std::array<uint8_t, 128> kStream = [] {
        std::array<uint8_t, 128> s{};
        const uint8_t record[] = {0x0D, 0x00, 0x00, 0xD8, 0xE8, 0x2B, 0xF0, 0xC3, 0xF6, 0x30,
                                  0xA0, 0x02, 0x80, 0x0A, 0x00, 0xFF, 0xD9, 0x00, 0x00, 0x00};
        std::memcpy(s.data(), record, sizeof record);
        for (size_t at = sizeof record; at < s.size(); at += 4) {
            const uint8_t fill[4] = {0xFF, 0xD9, 0xFF, 0xFF};
            std::memcpy(&s[at], fill, 4);
        }
        return s;
    }();
    decoder().decode(kStream, tb::TrailingByte::kOptional, frame);
}

void png(std::span<const uint8_t> bytes) {
    tb::FrameBuffer frame, again;
    std::string error;
    if (!tb::read_png(write_scratch_file(bytes.data(), bytes.size()), frame, &error)) {
        FUZZ_CHECK(!error.empty() && frame.empty());
        return;
    }
    FUZZ_CHECK(!frame.empty());
    FUZZ_CHECK(frame.rgb().size() == static_cast<size_t>(frame.width()) * frame.height() * 3);
    FUZZ_CHECK(tb::write_png(frame, scratch_file(), &error));
    FUZZ_CHECK(tb::read_png(scratch_file(), again, &error));
    FUZZ_CHECK(again.width() == frame.width() && again.height() == frame.height());
    FUZZ_CHECK(std::ranges::equal(again.rgb(), frame.rgb()));
}

bool one_of(const std::string &text, const std::vector<std::string> &args) {
    return std::find(args.begin() + 1, args.end(), text) != args.end();
}

// decode's options; positional arguments as encode-frames takes them.
void command_line(std::span<const uint8_t> bytes, bool positional) {
    std::vector<std::string> args{"decode", ""};
    for (uint8_t b : bytes) {
        if (b == 0)
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(b));
    }
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Options options;
    std::string error;
    const bool ok = parse_options(static_cast<int>(args.size()), argv.data(),
                                  {"width", "height", "quality", "blob", "png"}, {"frames"},
                                  options, error, positional);
    FUZZ_CHECK(ok == error.empty());
    if (!ok) {
        // The argument at fault, quoted: as given, or for an unknown short
        // option among several in one argument, that option alone.
        const size_t open = error.find('\''), close = error.rfind('\'');
        FUZZ_CHECK(open != std::string::npos && close > open);
        const std::string quoted = error.substr(open + 1, close - open - 1);
        const bool short_option =
            quoted.size() == 2 && quoted[0] == '-' &&
            std::any_of(args.begin() + 1, args.end(), [&](const std::string &a) {
                return a.size() > 1 && a[0] == '-' && a[1] != '-' &&
                       a.find(quoted[1]) != std::string::npos;
            });
        FUZZ_CHECK(one_of(quoted, args) || short_option);
        return;
    }
    const std::vector<std::string> known = {"width", "height", "quality", "blob", "png", "frames"};
    for (const auto &option : options.values) {
        FUZZ_CHECK(std::find(known.begin(), known.end(), option.first) != known.end());
        FUZZ_CHECK(std::any_of(args.begin() + 1, args.end(),
                               [&](const std::string &a) { return a.ends_with(option.second); }));
    }
    FUZZ_CHECK(positional || options.positional.empty());
    for (const std::string &p : options.positional) FUZZ_CHECK(one_of(p, args));
    long width = 0;
    if (get_int(options, "width", 0, 1, 65535, width, error)) {
        FUZZ_CHECK(options.has("width") ? width >= 1 && width <= 65535 : width == 0);
    } else {
        FUZZ_CHECK(options.has("width") && !error.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    if (size < 3) return 0;
    const std::span<const uint8_t> input(data + 3, size - 3);
    tb::FrameBuffer frame(1 + data[1], 1 + data[2]);
    switch (data[0] % 6) {
        case 0:
            load_standard_tables();
            transfer(input, 0, frame);
            break;
        case 1:
            load_standard_tables();
            frames(input, frame);
            break;
        case 2:
            blob(input, frame);
            break;
        case 3:
            png(input);
            break;
        default:
            command_line(input, data[0] % 6 == 5);
            break;
    }
    return 0;
}
