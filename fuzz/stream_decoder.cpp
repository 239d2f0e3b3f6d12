// The emulated device's stream decoder on any transfer, for any resolution
// and any loaded quantisation tables: it never reads or writes out of
// bounds, its counts stay within what the transfer can hold, and decoding
// the same transfer again, by another decoder, gives the same report and the
// same picture. Both decoders live from input to input, as the device's
// decoder does from transfer to transfer (and building one per input would
// cost more than most decodes).
//
// Input: a flags byte (bit 0: the trailing byte is required; bits 1-2: how
// many table indices get a blob; bit 3: table 0 gets the next 138 input
// bytes as its blob; bit 4: no resolution), the quality of the standard
// blobs, width - 1 and height - 1, then the transfer.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "stream_decoder.h"

namespace tb = torvel::testbed;

namespace {

struct Run {
    tb::DecodeReport report;
    tb::FrameBuffer frame;
};

Run decode(tb::StreamDecoder &decoder, std::span<const uint8_t> input) {
    const uint8_t flags = input[0];
    const int quality = input[1] % 101;
    const int width = (flags & 0x10) != 0 ? 0 : 1 + input[2];
    const int height = (flags & 0x10) != 0 ? 0 : 1 + input[3];
    input = input.subspan(4);

    decoder.clear_quant_blobs();
    std::string error;
    const int tables = (flags >> 1) & 3;
    for (int index = 0; index <= tables; ++index) {
        const tb::QuantBlob standard = tb::make_quant_blob(quality);
        FUZZ_CHECK(decoder.set_quant_blob(index, standard, &error));
    }
    if ((flags & 0x08) != 0 && input.size() >= tb::kQuantBlobSize) {
        // A malformed blob is refused and leaves the standard one in place.
        decoder.set_quant_blob(0, input.first(tb::kQuantBlobSize), &error);
        input = input.subspan(tb::kQuantBlobSize);
    }
    Run run;
    run.frame.reset(width, height);
    const auto trailing =
        (flags & 1) != 0 ? tb::TrailingByte::kRequired : tb::TrailingByte::kOptional;
    run.report = decoder.decode(input, trailing, run.frame);

    const tb::DecodeReport &r = run.report;
    FUZZ_CHECK(4 * (r.records + r.fill_words) <= input.size());
    FUZZ_CHECK(r.blocks_drawn <= r.records);
    FUZZ_CHECK(r.decode_messages.size() >= r.decode_errors);
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    if (size < 4) return 0;
    const std::span<const uint8_t> input(data, size);
    static tb::StreamDecoder first, second;
    const Run a = decode(first, input);
    const Run b = decode(second, input);
    FUZZ_CHECK(a.report.records == b.report.records);
    FUZZ_CHECK(a.report.blocks_drawn == b.report.blocks_drawn);
    FUZZ_CHECK(a.report.complete == b.report.complete);
    FUZZ_CHECK(a.report.violations == b.report.violations);
    FUZZ_CHECK(a.report.decode_messages == b.report.decode_messages);
    FUZZ_CHECK(std::ranges::equal(a.frame.rgb(), b.frame.rgb()));
    return 0;
}
