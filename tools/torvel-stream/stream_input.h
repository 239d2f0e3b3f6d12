// Reading what the tool is given: encode-frames' multi-frame output and the
// records of one bulk transfer. Plain functions over bytes, without I/O or
// process exits, so they can be driven by tests and fuzzers directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace torvel_stream {

// encode-frames writes, per frame, the transfer's length as 32 bits least
// significant byte first and then the transfer.
struct FrameSlice {
    size_t offset;                   // of the transfer's first byte in the input
    std::span<const uint8_t> bytes;  // the transfer
};

// Splits `input` into its frames. False, with a one-line reason naming the
// offset, when a length runs past the end of the input.
bool split_frames(std::span<const uint8_t> input, std::vector<FrameSlice> &frames,
                  std::string &error);

struct RecordInfo {
    size_t offset;      // of the block header in the input
    uint32_t header;    // the header word
    uint32_t block;     // block_index
    size_t data_bytes;  // entropy-coded data after the header
    bool end;           // the frame's last record
};

struct TransferListing {
    std::vector<RecordInfo> records;
    size_t fill_words = 0;
    bool extra_byte = false;  // the byte a bulk transfer carries beyond the stream
    // One line per departure from the stream format, in stream order; the
    // listing stops at the first that leaves the rest unreadable.
    std::vector<std::string> problems;
};

// Lists the records of one transfer (or of a stream without its extra
// byte); `base` is the transfer's offset in the input, added to every offset
// reported.
TransferListing list_records(std::span<const uint8_t> transfer, size_t base = 0);

}  // namespace torvel_stream
