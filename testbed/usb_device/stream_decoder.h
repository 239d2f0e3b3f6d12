// The device side of the bulk frame stream: validation of a transfer's
// block records, decoding of every block with libjpeg-turbo and drawing
// into an RGB frame buffer.
//
// This decoder is deliberately independent of the daemon's encoder (it is
// the judge of that encoder): the quantisation blob for a quality is
// computed here from the standard tables, and the entropy data is decoded
// by libjpeg-turbo behind a JFIF header built from the blob the device got.
//
// Library: torvel_stream_decoder (no umockdev; libturbojpeg and libpng).
// Nothing here is thread-safe across one object; separate objects are
// independent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace torvel::testbed {

inline constexpr int kBlockWidth = 32;
inline constexpr int kBlockHeight = 8;
inline constexpr size_t kQuantBlobSize = 138;
// Four bytes FF D9 FF FF, read as a little-endian word.
inline constexpr uint32_t kFillWord = 0xFFFFD9FFu;
inline constexpr uint32_t kHeaderId = 13;
// Highest quantisation table index a block header can name (2-bit field).
inline constexpr int kMaxQuantIndex = 3;

// ---------------------------------------------------------------------------
// Quantisation blob
// ---------------------------------------------------------------------------

// The 138-byte blob that carries both quantisation tables to the device:
// FF DB 00 43 00, 64 luminance entries, FF DB 00 43 01, 64 chrominance
// entries. Entries are in natural row-major order (not the zigzag order of
// a DQT segment in a JPEG file).
using QuantBlob = std::array<uint8_t, kQuantBlobSize>;

// Computes the blob for `quality` (0..100) from the standard luminance and
// chrominance tables: S = 2 * (100 - quality), entry = (base * S + 50) / 100
// clamped to 1..255. The same rule holds at every quality.
QuantBlob make_quant_blob(int quality);

// Checks markers, lengths and table ids of a blob. On failure `why` gets a
// one-line reason.
bool check_quant_blob(std::span<const uint8_t> blob, std::string *why);

// ---------------------------------------------------------------------------
// Block header
// ---------------------------------------------------------------------------

struct BlockHeader {
    uint32_t quality = 1;      // bits 0-1
    uint32_t len = 0;          // bits 2-9: data length in words, minus one
    uint32_t block_index = 0;  // bits 10-25
    uint32_t reserved0 = 0;    // bit 26
    uint32_t end = 0;          // bit 27
    uint32_t id = kHeaderId;   // bits 28-31

    size_t data_bytes() const { return 4 * (static_cast<size_t>(len) + 1); }
};

BlockHeader unpack_block_header(uint32_t word);
// Fields are masked to their widths.
uint32_t pack_block_header(const BlockHeader &header);

// ---------------------------------------------------------------------------
// Frame buffer
// ---------------------------------------------------------------------------

// Packed 8-bit RGB, `width` * `height` pixels, rows top to bottom.
class FrameBuffer {
  public:
    FrameBuffer() = default;
    FrameBuffer(int width, int height) { reset(width, height); }

    // Resizes and paints black.
    void reset(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ == 0 || height_ == 0; }
    const uint8_t *pixel(int x, int y) const {
        return &rgb_[(static_cast<size_t>(y) * width_ + x) * 3];
    }
    uint8_t *pixel(int x, int y) { return &rgb_[(static_cast<size_t>(y) * width_ + x) * 3]; }
    std::span<const uint8_t> rgb() const { return rgb_; }
    std::span<uint8_t> rgb() { return rgb_; }

    // Copies a decoded 32 x 8 RGB block (rows `stride` bytes apart) to the
    // block grid place of `block_index` (columns = ceil(width / 32)),
    // clipped to the frame.
    void draw_block(uint32_t block_index, const uint8_t *block_rgb,
                    size_t stride = kBlockWidth * 3);

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<uint8_t> rgb_;
};

bool write_png(const FrameBuffer &frame, const std::string &path, std::string *error);
// Refuses pictures of more pixels than 65536 blocks of 32 x 8 hold.
bool read_png(const std::string &path, FrameBuffer &frame, std::string *error);

// Peak signal-to-noise ratio in dB over all three channels of two frames of
// the same size; +infinity for identical frames, -1 when sizes differ.
double psnr(const FrameBuffer &a, const FrameBuffer &b);

// ---------------------------------------------------------------------------
// Stream decoder
// ---------------------------------------------------------------------------

// Whether the byte after the stream (the bulk transfer is one byte longer
// than the stream) must be present.
enum class TrailingByte {
    kRequired,  // a whole bulk transfer: length must be 128 * k + 1
    kOptional,  // 128 * k (stream only) or 128 * k + 1 (whole transfer)
};

struct DecodeReport {
    size_t records = 0;       // block records parsed
    size_t blocks_drawn = 0;  // blocks decoded and drawn (warnings included)
    size_t fill_words = 0;
    size_t decode_errors = 0;  // blocks libjpeg-turbo rejected or warned about
    bool complete = false;     // records end with an end bit and valid fill
    // One line per format violation, in stream order, then decode errors
    // (each prefixed "block N:"). Empty for a clean stream.
    std::vector<std::string> violations;
    std::vector<std::string> decode_messages;

    bool clean() const { return violations.empty() && decode_errors == 0; }
};

class StreamDecoder {
  public:
    StreamDecoder();
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder &) = delete;
    StreamDecoder &operator=(const StreamDecoder &) = delete;

    // Loads a blob at table index 0..3 (the header's `quality` field names
    // the index). Returns false, with a one-line reason, for a malformed blob.
    bool set_quant_blob(int index, std::span<const uint8_t> blob, std::string *error);
    void clear_quant_blobs();
    bool has_quant_blob(int index) const;
    // Decodes and draws only the blocks of the frame's first column that
    // reach into its last eight rows (where a benchmark's frame tag sits);
    // every record is still validated as before. Where decoding would cost
    // more than the program under test does.
    void set_decode_tag_only(bool tag_only);

    // Validates `transfer` and draws its blocks into `frame`, whose size is
    // the resolution the device was given (columns of the grid =
    // ceil(width / 32)). A zero-sized frame means no resolution: every block
    // is then reported as beyond the grid.
    DecodeReport decode(std::span<const uint8_t> transfer, TrailingByte trailing,
                        FrameBuffer &frame);
    // The part of a transfer that arrived before it was cut short: its whole
    // records are validated and drawn as in decode(), the record the cut
    // fell in and everything after it are ignored (no end bit, fill or
    // length is looked for).
    DecodeReport decode_cut(std::span<const uint8_t> part, FrameBuffer &frame);

  private:
    DecodeReport parse(std::span<const uint8_t> transfer, TrailingByte trailing, FrameBuffer &frame,
                       bool cut);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace torvel::testbed
