// torvel-stream inspect: lists the block records of a stream, for checking a
// device's parser against what the daemon sends.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "stream_input.h"

namespace torvel_stream {
namespace {

int run_inspect(int argc, char **argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, {}, {"frames"}, options, error)) return usage_error(error);
    std::vector<uint8_t> input;
    std::vector<FrameSlice> frames;
    if (const int status = read_transfers(options.has("frames"), input, frames)) return status;
    std::printf("frame\toffset\tblock\tlength\tend\n");
    size_t problems = 0;
    for (size_t f = 0; f < frames.size(); ++f) {
        const TransferListing listing = list_records(frames[f].bytes, frames[f].offset);
        for (const RecordInfo &r : listing.records)
            std::printf("%zu\t%zu\t%u\t%zu\t%d\n", f, r.offset, r.block, r.data_bytes,
                        r.end ? 1 : 0);
        std::printf("# frame %zu: %zu bytes, %zu records, %zu fill words%s\n", f,
                    frames[f].bytes.size(), listing.records.size(), listing.fill_words,
                    listing.extra_byte ? ", the transfer's extra byte" : "");
        for (const std::string &p : listing.problems)
            std::fprintf(stderr, "torvel-stream: frame %zu, %s\n", f, p.c_str());
        problems += listing.problems.size();
    }
    return problems == 0 ? 0 : EXIT_WORK_FAILED;
}

}  // namespace

TORVEL_STREAM_COMMAND(
    "inspect", "inspect [--frames] < input",
    "Lists the block records of one bulk transfer as the device receives it (or,\n"
    "with --frames, of encode-frames' output), one line per record: frame\n"
    "number, byte offset of the block header in the input, block number (row *\n"
    "columns + column), length of the record's data in bytes and the end bit.\n"
    "A line beginning '#' closes each frame with its length, record count, fill\n"
    "words and whether the transfer's extra byte is there. Departures from the\n"
    "stream format go to standard error and end with status 1.\n\n"
    "options:\n"
    "  --frames      standard input is encode-frames' output\n",
    run_inspect);

}  // namespace torvel_stream
