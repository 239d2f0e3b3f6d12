// A reference block encoder built on libjpeg-turbo's own encoder, for
// tests and tools that need valid block data without the daemon's encoder:
// it codes a 32 x 8 RGB block as the entropy data of a block record
// (three components 1 x 1, standard Huffman tables, the blob's quantisation
// tables, closed by FF D9) and assembles whole frame streams.
//
// Part of the library torvel_stream_decoder.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stream_decoder.h"

namespace torvel::testbed {

// Codes one 32 x 8 block of packed RGB (96 bytes a row). The result is the
// entropy-coded segment followed by FF D9, without fill bytes. Empty on
// failure (message in `error`).
std::vector<uint8_t> reference_encode_block(const uint8_t *rgb, const QuantBlob &blob,
                                            std::string *error);

struct StreamRecord {
    uint32_t block_index = 0;
    std::vector<uint8_t> data;  // entropy data with FF D9; fill bytes are added
};

// Builds a well-formed bulk transfer from records (in the given order):
// headers with quality 1 and the end bit on the last one, data raised to a
// multiple of 4, fill words to a multiple of 128 (1 to 32 of them), then the
// one trailing byte when `with_trailing_byte`.
std::vector<uint8_t> build_stream(std::span<const StreamRecord> records, bool with_trailing_byte);

}  // namespace torvel::testbed
