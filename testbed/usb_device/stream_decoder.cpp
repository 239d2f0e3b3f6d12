#include "stream_decoder.h"

#include <turbojpeg.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "jpeg_tables.h"

namespace torvel::testbed {
namespace {

// Largest record data the header's `len` field can describe.
constexpr size_t kMaxBlockData = 4 * 256;
constexpr size_t kMaxHeader = 1024;
constexpr size_t kMaxFillWords = 32;

uint32_t load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// The marker segments a baseline decoder needs in front of one block's
// entropy data: SOI, DQT (zigzag order), SOF0 32 x 8 with three components
// at 1 x 1 sampling, DHT with the typical tables, SOS.
class JfifHeader {
  public:
    void build(std::span<const uint8_t> blob) {
        size_ = 0;
        put16(0xFFD8);
        put16(0xFFDB);
        put16(2 + 2 * 65);
        for (int table = 0; table < 2; ++table) {
            put8(static_cast<uint8_t>(table));
            const uint8_t *natural = &blob[table * 69 + 5];
            for (uint8_t natural_index : jpeg::kZigzagToNatural) put8(natural[natural_index]);
        }
        put16(0xFFC0);
        put16(17);
        put8(8);
        put16(kBlockHeight);
        put16(kBlockWidth);
        put8(3);
        for (uint8_t component = 1; component <= 3; ++component) {
            put8(component);
            put8(0x11);
            put8(component == 1 ? 0 : 1);
        }
        put16(0xFFC4);
        const jpeg::HuffmanSpec *specs[4] = {&jpeg::kDcLuminance, &jpeg::kAcLuminance,
                                             &jpeg::kDcChrominance, &jpeg::kAcChrominance};
        const uint8_t classes[4] = {0x00, 0x10, 0x01, 0x11};
        size_t length = 2;
        for (const auto *spec : specs) length += 1 + 16 + spec->symbol_count;
        put16(static_cast<uint16_t>(length));
        for (int t = 0; t < 4; ++t) {
            put8(classes[t]);
            for (uint8_t count : specs[t]->counts) put8(count);
            for (int s = 0; s < specs[t]->symbol_count; ++s) put8(specs[t]->symbols[s]);
        }
        put16(0xFFDA);
        put16(12);
        put8(3);
        put8(1);
        put8(0x00);
        put8(2);
        put8(0x11);
        put8(3);
        put8(0x11);
        put8(0);
        put8(63);
        put8(0);
    }
    const uint8_t *data() const { return bytes_.data(); }
    size_t size() const { return size_; }

  private:
    void put8(uint8_t v) { bytes_[size_++] = v; }
    void put16(uint16_t v) {
        put8(static_cast<uint8_t>(v >> 8));
        put8(static_cast<uint8_t>(v));
    }
    std::array<uint8_t, kMaxHeader> bytes_{};
    size_t size_ = 0;
};

// The block data must close with the EOI marker followed by 0 to 3 fill
// bytes. In entropy-coded data a 0xFF is always followed by a stuffed 0x00
// (or more 0xFF fill), so the first other marker byte ends the segment.
bool ends_with_eoi(const uint8_t *data, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i) {
        if (data[i] != 0xFF) continue;
        const uint8_t next = data[i + 1];
        if (next == 0x00 || next == 0xFF) continue;
        return next == 0xD9 && n - (i + 2) <= 3;
    }
    return false;
}

}  // namespace

BlockHeader unpack_block_header(uint32_t word) {
    BlockHeader h;
    h.quality = word & 0x3;
    h.len = (word >> 2) & 0xFF;
    h.block_index = (word >> 10) & 0xFFFF;
    h.reserved0 = (word >> 26) & 0x1;
    h.end = (word >> 27) & 0x1;
    h.id = (word >> 28) & 0xF;
    return h;
}

uint32_t pack_block_header(const BlockHeader &h) {
    return (h.quality & 0x3) | (h.len & 0xFF) << 2 | (h.block_index & 0xFFFF) << 10 |
           (h.reserved0 & 0x1) << 26 | (h.end & 0x1) << 27 | (h.id & 0xF) << 28;
}

struct StreamDecoder::Impl {
    tjhandle tj = nullptr;
    std::array<std::optional<JfifHeader>, kMaxQuantIndex + 1> headers;
    // Scratch for one block's JPEG and its pixels; reused for every block.
    std::array<uint8_t, kMaxHeader + kMaxBlockData> jpeg{};
    std::array<uint8_t, kBlockWidth * kBlockHeight * 3> pixels{};

    ~Impl() {
        if (tj) tjDestroy(tj);
    }
};

StreamDecoder::StreamDecoder() : impl_(std::make_unique<Impl>()) {
    impl_->tj = tjInitDecompress();
}

StreamDecoder::~StreamDecoder() = default;

bool StreamDecoder::set_quant_blob(int index, std::span<const uint8_t> blob, std::string *error) {
    if (index < 0 || index > kMaxQuantIndex) {
        if (error)
            *error = format("quantisation table index %d, at most %d", index, kMaxQuantIndex);
        return false;
    }
    if (!check_quant_blob(blob, error)) return false;
    impl_->headers[index].emplace();
    impl_->headers[index]->build(blob);
    return true;
}

void StreamDecoder::clear_quant_blobs() {
    for (auto &h : impl_->headers) h.reset();
}

bool StreamDecoder::has_quant_blob(int index) const {
    return index >= 0 && index <= kMaxQuantIndex && impl_->headers[index].has_value();
}

DecodeReport StreamDecoder::decode(std::span<const uint8_t> transfer, TrailingByte trailing,
                                   FrameBuffer &frame) {
    DecodeReport report;
    auto violation = [&report](std::string line) { report.violations.push_back(std::move(line)); };

    const size_t n = transfer.size();
    size_t stream_len = n;
    bool length_ok = true;
    if (trailing == TrailingByte::kRequired) {
        if (n % 128 != 1) {
            violation(format("transfer length %zu is not one more than a multiple of 128", n));
            length_ok = false;
        }
        stream_len = n == 0 ? 0 : n - 1;
    } else if (n % 128 == 1) {
        stream_len = n - 1;
    } else if (n % 128 != 0 || n == 0) {
        violation(format("length %zu is neither a multiple of 128 nor one more", n));
        length_ok = false;
    }

    const uint8_t *s = transfer.data();
    const bool have_grid = !frame.empty();
    const uint32_t columns = (static_cast<uint32_t>(frame.width()) + kBlockWidth - 1) / kBlockWidth;
    const uint32_t rows = (static_cast<uint32_t>(frame.height()) + kBlockHeight - 1) / kBlockHeight;
    const uint64_t grid_blocks = static_cast<uint64_t>(columns) * rows;
    bool missing_table_reported[kMaxQuantIndex + 1] = {};

    size_t p = 0;
    bool parse_ok = true;
    std::optional<BlockHeader> last;
    size_t last_offset = 0;
    while (p + 4 <= stream_len) {
        const uint32_t word = load_le32(s + p);
        if (word == kFillWord) break;
        const BlockHeader h = unpack_block_header(word);
        if (h.id != kHeaderId) {
            violation(format("offset %zu: header id %u, expected %u (word %08X)", p, h.id,
                             kHeaderId, word));
            parse_ok = false;
            break;
        }
        const size_t data_len = h.data_bytes();
        if (p + 4 + data_len > stream_len) {
            violation(format("offset %zu: block %u needs %zu data bytes, the stream has %zu left",
                             p, h.block_index, data_len, stream_len - p - 4));
            parse_ok = false;
            break;
        }
        if (last && last->end) {
            violation(format("offset %zu: end bit on block %u, which is not the last record",
                             last_offset, last->block_index));
        }
        if (h.reserved0)
            violation(format("offset %zu: reserved bit set in block %u", p, h.block_index));
        if (h.quality != 1) {
            violation(format("offset %zu: quality %u in block %u, expected 1", p, h.quality,
                             h.block_index));
        }
        if (last && h.block_index <= last->block_index) {
            violation(format("offset %zu: block %u follows block %u (indices must increase)", p,
                             h.block_index, last->block_index));
        }
        const bool in_grid = have_grid && h.block_index < grid_blocks;
        if (have_grid && !in_grid) {
            violation(format("offset %zu: block %u is beyond the %u x %u grid of %d x %d", p,
                             h.block_index, columns, rows, frame.width(), frame.height()));
        }
        const uint8_t *data = s + p + 4;
        const bool eoi = ends_with_eoi(data, data_len);
        if (!eoi) {
            violation(
                format("offset %zu: data of block %u does not end with FF D9 and 0 to 3 fill "
                       "bytes",
                       p, h.block_index));
        }
        const auto &header = impl_->headers[h.quality];
        if (!header) {
            if (!missing_table_reported[h.quality]) {
                violation(format("offset %zu: no quantisation table at index %u", p, h.quality));
                missing_table_reported[h.quality] = true;
            }
        } else if (impl_->tj) {
            std::memcpy(impl_->jpeg.data(), header->data(), header->size());
            std::memcpy(impl_->jpeg.data() + header->size(), data, data_len);
            const int r = tjDecompress2(impl_->tj, impl_->jpeg.data(),
                                        static_cast<unsigned long>(header->size() + data_len),
                                        impl_->pixels.data(), kBlockWidth, kBlockWidth * 3,
                                        kBlockHeight, TJPF_RGB, 0);
            const bool fatal = r != 0 && tjGetErrorCode(impl_->tj) != TJERR_WARNING;
            if (r != 0) {
                ++report.decode_errors;
                report.decode_messages.push_back(
                    format("block %u: %s", h.block_index, tjGetErrorStr2(impl_->tj)));
            }
            if (!fatal && in_grid) {
                frame.draw_block(h.block_index, impl_->pixels.data());
                ++report.blocks_drawn;
            }
        }
        ++report.records;
        last = h;
        last_offset = p;
        p += 4 + data_len;
    }

    if (!parse_ok) return report;
    if (!last) violation("stream has no block record");
    if (last && !last->end) {
        violation(format("offset %zu: end bit missing on the last record (block %u)", last_offset,
                         last->block_index));
    }
    const size_t fill_start = p;
    bool fill_ok = true;
    while (p + 4 <= stream_len) {
        const uint32_t word = load_le32(s + p);
        if (word != kFillWord) {
            violation(format("offset %zu: fill word %08X, expected %08X", p, word, kFillWord));
            fill_ok = false;
            break;
        }
        ++report.fill_words;
        p += 4;
    }
    if (fill_ok) {
        if (report.fill_words == 0) {
            violation(format("offset %zu: no fill word after the last record", fill_start));
            fill_ok = false;
        } else if (report.fill_words > kMaxFillWords) {
            violation(format("offset %zu: %zu fill words, at most %zu", fill_start,
                             report.fill_words, kMaxFillWords));
            fill_ok = false;
        } else if (p != stream_len && length_ok) {
            violation(format("offset %zu: stream ends inside a word", p));
            fill_ok = false;
        }
    }
    report.complete = last && last->end && fill_ok && length_ok;
    return report;
}

}  // namespace torvel::testbed
