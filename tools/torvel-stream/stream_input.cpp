#include "stream_input.h"

#include <cstdio>

#include "stream.h"
#include "stream_decoder.h"

namespace torvel_stream {
namespace {

uint32_t load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string at(size_t offset) {
    return "offset " + std::to_string(offset) + ": ";
}

std::string hex(uint32_t word) {
    char text[12];
    std::snprintf(text, sizeof text, "0x%08x", word);
    return text;
}

}  // namespace

bool split_frames(std::span<const uint8_t> input, std::vector<FrameSlice> &frames,
                  std::string &error) {
    size_t pos = 0;
    while (pos < input.size()) {
        if (input.size() - pos < 4) {
            error = at(pos) + "the input ends inside a frame's length";
            return false;
        }
        const size_t length = load_le32(input.data() + pos);
        pos += 4;
        if (length > input.size() - pos) {
            error = at(pos - 4) + "a frame of " + std::to_string(length) +
                    " bytes runs past the end of the input";
            return false;
        }
        frames.push_back({pos, input.subspan(pos, length)});
        pos += length;
    }
    return true;
}

TransferListing list_records(std::span<const uint8_t> transfer, size_t base) {
    TransferListing out;
    const size_t n = transfer.size();
    size_t pos = 0;
    bool ended = false;
    // Records up to the one with the end bit or the first fill word.
    while (!ended && n - pos >= 4) {
        const uint32_t word = load_le32(transfer.data() + pos);
        if (word == FILL_WORD) break;
        const torvel::testbed::BlockHeader header = torvel::testbed::unpack_block_header(word);
        if (header.id != BLOCK_HEADER_ID) {
            out.problems.push_back(at(base + pos) + "word " + hex(word) +
                                   " is neither a block header nor a fill word");
            return out;
        }
        const size_t data = header.data_bytes();
        if (data > n - pos - 4) {
            out.problems.push_back(at(base + pos) + "a record of " + std::to_string(data) +
                                   " data bytes runs past the end of the transfer");
            return out;
        }
        ended = header.end != 0;
        out.records.push_back({base + pos, word, header.block_index, data, ended});
        pos += 4 + data;
    }
    if (!out.records.empty() && !ended)
        out.problems.push_back(at(out.records.back().offset) + "the last record lacks the end bit");
    const size_t fill_start = pos;
    while (n - pos >= 4 && load_le32(transfer.data() + pos) == FILL_WORD) {
        ++out.fill_words;
        pos += 4;
    }
    if (pos != n) {
        if (n - pos == 1 && pos % STREAM_ALIGN == 0) {
            out.extra_byte = true;
        } else {
            out.problems.push_back(at(base + pos) + std::to_string(n - pos) + " bytes after the " +
                                   (out.fill_words ? "fill words" : "records") +
                                   " are neither fill words nor the transfer's extra byte");
            return out;
        }
    }
    if (pos % STREAM_ALIGN != 0)
        out.problems.push_back(at(base + fill_start) + "the stream is " + std::to_string(pos) +
                               " bytes long, not a multiple of " + std::to_string(STREAM_ALIGN));
    else if (!out.records.empty() && out.fill_words == 0)
        out.problems.push_back(at(base + fill_start) + "no fill word follows the records");
    return out;
}

}  // namespace torvel_stream
