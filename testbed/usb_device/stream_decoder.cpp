#include "stream_decoder.h"

#include <turbojpeg.h>

#include <algorithm>
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

// Blocks decoded together as one image (see decode_batch).
constexpr int kBatchBlocks = 256;

// Writes big-endian marker segments into a caller's buffer.
class SegmentWriter {
  public:
    explicit SegmentWriter(uint8_t *out) : out_(out) {}
    void put8(uint8_t v) { out_[size_++] = v; }
    void put16(uint16_t v) {
        put8(static_cast<uint8_t>(v >> 8));
        put8(static_cast<uint8_t>(v));
    }
    void put(const uint8_t *bytes, size_t n) {
        std::memcpy(out_ + size_, bytes, n);
        size_ += n;
    }
    size_t size() const { return size_; }

  private:
    uint8_t *out_;
    size_t size_ = 0;
};

// DQT (the blob's natural order turned into zigzag order) and DHT with the
// typical tables, for one quantisation table index.
class TableSegments {
  public:
    void build(std::span<const uint8_t> blob) {
        SegmentWriter w(bytes_.data());
        w.put16(0xFFDB);
        w.put16(2 + 2 * 65);
        for (int table = 0; table < 2; ++table) {
            w.put8(static_cast<uint8_t>(table));
            const uint8_t *natural = &blob[table * 69 + 5];
            for (uint8_t natural_index : jpeg::kZigzagToNatural) w.put8(natural[natural_index]);
        }
        w.put16(0xFFC4);
        const jpeg::HuffmanTableDef *tables[4] = {&jpeg::kDcLuminance, &jpeg::kAcLuminance,
                                                  &jpeg::kDcChrominance, &jpeg::kAcChrominance};
        const uint8_t classes[4] = {0x00, 0x10, 0x01, 0x11};
        size_t length = 2;
        for (const auto *table : tables) length += 1 + 16 + table->symbol_count;
        w.put16(static_cast<uint16_t>(length));
        for (int t = 0; t < 4; ++t) {
            w.put8(classes[t]);
            w.put(tables[t]->counts.data(), tables[t]->counts.size());
            w.put(tables[t]->symbols, static_cast<size_t>(tables[t]->symbol_count));
        }
        size_ = w.size();
    }
    const uint8_t *data() const { return bytes_.data(); }
    size_t size() const { return size_; }

  private:
    std::array<uint8_t, kMaxHeader> bytes_{};
    size_t size_ = 0;
};

// SOI, the tables, SOF0 for `blocks` blocks side by side (8 lines, three
// components at 1 x 1 sampling), a restart interval of one block (four
// MCUs) when there are several, and SOS. Returns the bytes written.
size_t write_header(uint8_t *out, const TableSegments &tables, int blocks) {
    SegmentWriter w(out);
    w.put16(0xFFD8);
    w.put(tables.data(), tables.size());
    w.put16(0xFFC0);
    w.put16(17);
    w.put8(8);
    w.put16(kBlockHeight);
    w.put16(static_cast<uint16_t>(kBlockWidth * blocks));
    w.put8(3);
    for (uint8_t component = 1; component <= 3; ++component) {
        w.put8(component);
        w.put8(0x11);
        w.put8(component == 1 ? 0 : 1);
    }
    if (blocks > 1) {
        w.put16(0xFFDD);
        w.put16(4);
        w.put16(kBlockWidth / 8);
    }
    w.put16(0xFFDA);
    w.put16(12);
    w.put8(3);
    const uint8_t selectors[6] = {1, 0x00, 2, 0x11, 3, 0x11};
    w.put(selectors, sizeof selectors);
    w.put8(0);
    w.put8(63);
    w.put8(0);
    return w.size();
}

// Where the block data's entropy-coded segment ends: the position of its
// closing FF D9, which must be followed by 0 to 3 fill bytes; 0 when the
// data is not closed that way. In entropy-coded data a 0xFF is always
// followed by a stuffed 0x00 (or more 0xFF fill), so the first other marker
// byte ends the segment.
size_t entropy_length(const uint8_t *data, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i) {
        if (data[i] != 0xFF) continue;
        const uint8_t next = data[i + 1];
        if (next == 0x00 || next == 0xFF) continue;
        return next == 0xD9 && n - (i + 2) <= 3 ? i : 0;
    }
    return 0;
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
    struct Task {
        uint32_t block_index;
        const uint8_t *data;
        size_t data_len;
        size_t entropy_len;  // 0: not closed by FF D9, decode alone
        uint32_t quality;
        bool draw;
    };

    tjhandle tj = nullptr;
    std::array<std::optional<TableSegments>, kMaxQuantIndex + 1> tables;
    std::vector<Task> tasks;  // reused from stream to stream
    bool tag_only = false;
    // Scratch for one JPEG of up to kBatchBlocks blocks and its pixels.
    std::array<uint8_t, kMaxHeader + kBatchBlocks *(kMaxBlockData + 2) + 2> jpeg{};
    std::array<uint8_t, kBatchBlocks * kBlockWidth * kBlockHeight * 3> pixels{};

    ~Impl() {
        if (tj) tjDestroy(tj);
    }

    int decompress(size_t jpeg_size, int blocks) {
        const int width = kBlockWidth * blocks;
        return tjDecompress2(tj, jpeg.data(), static_cast<unsigned long>(jpeg_size), pixels.data(),
                             width, width * 3, kBlockHeight, TJPF_RGB, 0);
    }

    // One block by itself, with its data as it came (FF D9 and fill bytes
    // included), so that libjpeg-turbo's complaint is about this block.
    void decode_one(const Task &t, FrameBuffer &frame, DecodeReport &report) {
        size_t n = write_header(jpeg.data(), *tables[t.quality], 1);
        std::memcpy(jpeg.data() + n, t.data, t.data_len);
        n += t.data_len;
        const int r = decompress(n, 1);
        const bool fatal = r != 0 && tjGetErrorCode(tj) != TJERR_WARNING;
        if (r != 0) {
            ++report.decode_errors;
            report.decode_messages.push_back(
                format("block %u: %s", t.block_index, tjGetErrorStr2(tj)));
        }
        if (!fatal && t.draw) {
            frame.draw_block(t.block_index, pixels.data());
            ++report.blocks_drawn;
        }
    }

    // Blocks of one quantisation table as one image of `count` blocks side
    // by side: each block's entropy-coded segment becomes one restart
    // interval (the DC predictions restart in every block, as in a block
    // record), separated by RSTn markers. Far cheaper than one decompression
    // per block. Any complaint sends the blocks through decode_one, which
    // says which block is at fault.
    void decode_batch(const Task *t, int count, FrameBuffer &frame, DecodeReport &report) {
        size_t n = write_header(jpeg.data(), *tables[t[0].quality], count);
        for (int i = 0; i < count; ++i) {
            std::memcpy(jpeg.data() + n, t[i].data, t[i].entropy_len);
            n += t[i].entropy_len;
            jpeg[n++] = 0xFF;
            jpeg[n++] = i + 1 < count ? static_cast<uint8_t>(0xD0 + i % 8) : 0xD9;
        }
        if (decompress(n, count) != 0) {
            for (int i = 0; i < count; ++i) decode_one(t[i], frame, report);
            return;
        }
        const size_t stride = static_cast<size_t>(kBlockWidth) * count * 3;
        for (int i = 0; i < count; ++i) {
            if (!t[i].draw) continue;
            frame.draw_block(t[i].block_index, pixels.data() + i * kBlockWidth * 3, stride);
            ++report.blocks_drawn;
        }
    }

    // Only the blocks of the first column whose rows reach into the frame's
    // last eight (see set_decode_tag_only); the others stay undrawn.
    void keep_tag_tasks(const FrameBuffer &frame) {
        const uint32_t columns =
            (static_cast<uint32_t>(frame.width()) + kBlockWidth - 1) / kBlockWidth;
        const uint32_t first_row =
            static_cast<uint32_t>(std::max(frame.height() - kBlockHeight, 0)) / kBlockHeight;
        std::erase_if(tasks, [&](const Task &t) {
            return columns == 0 || t.block_index % columns != 0 ||
                   t.block_index / columns < first_row;
        });
    }

    void decode_tasks(FrameBuffer &frame, DecodeReport &report) {
        if (tag_only) keep_tag_tasks(frame);
        size_t i = 0;
        while (i < tasks.size()) {
            size_t j = i + 1;
            if (tasks[i].entropy_len != 0) {
                while (j < tasks.size() && j - i < kBatchBlocks && tasks[j].entropy_len != 0 &&
                       tasks[j].quality == tasks[i].quality) {
                    ++j;
                }
            }
            if (j - i == 1) {
                decode_one(tasks[i], frame, report);
            } else {
                decode_batch(&tasks[i], static_cast<int>(j - i), frame, report);
            }
            i = j;
        }
    }
};

StreamDecoder::StreamDecoder() : impl_(std::make_unique<Impl>()) {
    impl_->tj = tjInitDecompress();
}

StreamDecoder::~StreamDecoder() = default;

void StreamDecoder::set_decode_tag_only(bool tag_only) {
    impl_->tag_only = tag_only;
}

bool StreamDecoder::set_quant_blob(int index, std::span<const uint8_t> blob, std::string *error) {
    if (index < 0 || index > kMaxQuantIndex) {
        if (error)
            *error = format("quantisation table index %d, at most %d", index, kMaxQuantIndex);
        return false;
    }
    if (!check_quant_blob(blob, error)) return false;
    impl_->tables[index].emplace();
    impl_->tables[index]->build(blob);
    return true;
}

void StreamDecoder::clear_quant_blobs() {
    for (auto &t : impl_->tables) t.reset();
}

bool StreamDecoder::has_quant_blob(int index) const {
    return index >= 0 && index <= kMaxQuantIndex && impl_->tables[index].has_value();
}

DecodeReport StreamDecoder::decode(std::span<const uint8_t> transfer, TrailingByte trailing,
                                   FrameBuffer &frame) {
    return parse(transfer, trailing, frame, false);
}

DecodeReport StreamDecoder::decode_cut(std::span<const uint8_t> part, FrameBuffer &frame) {
    return parse(part, TrailingByte::kOptional, frame, true);
}

DecodeReport StreamDecoder::parse(std::span<const uint8_t> transfer, TrailingByte trailing,
                                  FrameBuffer &frame, bool cut) {
    DecodeReport report;
    auto violation = [&report](std::string line) { report.violations.push_back(std::move(line)); };

    const size_t n = transfer.size();
    size_t stream_len = n;
    bool length_ok = true;
    if (cut) {
        // Whatever arrived: its length says nothing.
    } else if (trailing == TrailingByte::kRequired) {
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

    impl_->tasks.clear();
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
        if (cut && p + 4 + data_len > stream_len) break;  // the record the cut fell in
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
        const size_t entropy_len = entropy_length(data, data_len);
        if (entropy_len == 0) {
            violation(
                format("offset %zu: data of block %u does not end with FF D9 and 0 to 3 fill "
                       "bytes",
                       p, h.block_index));
        }
        if (!impl_->tables[h.quality]) {
            if (!missing_table_reported[h.quality]) {
                violation(format("offset %zu: no quantisation table at index %u", p, h.quality));
                missing_table_reported[h.quality] = true;
            }
        } else {
            impl_->tasks.push_back(
                {h.block_index, data, data_len, entropy_len, h.quality, in_grid});
        }
        ++report.records;
        last = h;
        last_offset = p;
        p += 4 + data_len;
    }

    if (impl_->tj) impl_->decode_tasks(frame, report);
    if (!parse_ok || cut) return report;
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
