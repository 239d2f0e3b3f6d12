// Vector colour conversion and change test against the table conversion, on
// every SIMD target this CPU runs.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "block_convert.h"
#include "hwy/targets.h"

namespace {

// The table conversion the daemon is specified with: eight sections of 256
// fixed-point terms, summed and shifted right by 16.
struct Table {
    int64_t t[2048];
    Table() {
        for (int64_t i = 0; i < 256; ++i) {
            t[0 + i] = 19595 * i;
            t[256 + i] = 38470 * i;
            t[512 + i] = 7471 * i + 32768;
            t[768 + i] = -11059 * i;
            t[1024 + i] = -21709 * i;
            t[1280 + i] = 32768 * i + 8421375;
            t[1536 + i] = -27439 * i;
            t[1792 + i] = -5329 * i;
        }
    }
    // Pixels in memory as B, G, R, X, or with `rgbx` as R, G, B, X.
    void convert(const uint8_t *pixels, ptrdiff_t stride, uint8_t *out, bool rgbx = false) const {
        for (int row = 0; row < 8; ++row) {
            for (int col = 0; col < 32; ++col) {
                const uint8_t *p = pixels + row * stride + 4 * col;
                const int b = p[rgbx ? 2 : 0], g = p[1], r = p[rgbx ? 0 : 2], at = row * 32 + col;
                out[at] = static_cast<uint8_t>((t[r] + t[256 + g] + t[512 + b]) >> 16);
                out[256 + at] =
                    static_cast<uint8_t>((t[768 + r] + t[1024 + g] + t[1280 + b]) >> 16);
                out[512 + at] =
                    static_cast<uint8_t>((t[1280 + r] + t[1536 + g] + t[1792 + b]) >> 16);
            }
        }
    }
};

const Table &table() {
    static const Table tab;
    return tab;
}

// Conversion and change test done the plain way: convert, then compare the
// current store, copy on a difference, else compare the two stores.
bool reference_changed(const uint8_t *pixels, ptrdiff_t stride, uint8_t *current,
                       const uint8_t *previous, uint8_t *out, channel_order_e order) {
    table().convert(pixels, stride, out, order == channel_order_e::RGBX);
    if (current == nullptr || previous == nullptr) return true;
    if (std::memcmp(current, out, CONVERT_BLOCK_BYTES) != 0) {
        std::memcpy(current, out, CONVERT_BLOCK_BYTES);
        return true;
    }
    return std::memcmp(previous, current, CONVERT_BLOCK_BYTES) != 0;
}

std::vector<int64_t> targets() {
    hwy::SetSupportedTargetsForTest(0);
    std::vector<int64_t> out;
    int64_t bits = block_convert_detail::compiled_targets() & hwy::SupportedTargets();
    for (; bits != 0; bits &= bits - 1) out.push_back(bits & -bits);
    return out;
}

template <class Fn>
void for_each_target(Fn &&fn) {
    const auto list = targets();
    ASSERT_FALSE(list.empty());
    for (int64_t t : list) {
        hwy::SetSupportedTargetsForTest(t);
        SCOPED_TRACE(hwy::TargetName(t));
        ASSERT_EQ(block_convert_detail::dispatched_target(), t);
        fn();
    }
    hwy::SetSupportedTargetsForTest(0);
}

constexpr channel_order_e kOrders[] = {channel_order_e::BGRX, channel_order_e::RGBX};
const char *order_name(channel_order_e order) {
    return order == channel_order_e::BGRX ? "BGRX" : "RGBX";
}

// A 32 x 8 block inside a wider frame, with an odd stride and a start that
// is not 16-byte aligned, so nothing depends on the EVDI layout.
struct Frame {
    static constexpr ptrdiff_t kStride = 4 * 45;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(8 * kStride + 64, 0);
    uint8_t *block() { return bytes.data() + 4; }
    uint8_t *pixel(int row, int col) { return block() + row * kStride + 4 * col; }
    void set(int row, int col, uint32_t bgrx) { std::memcpy(pixel(row, col), &bgrx, 4); }
};

// In both channel orders, converted alone and through the change test (a
// block of one colour takes its own path there).
TEST(BlockConvert, PrimaryColoursInEachOrderOnEveryTarget) {
    struct Case {
        uint8_t r, g, b, y, cb, cr;
    };
    const Case cases[] = {
        {255, 255, 255, 255, 128, 128}, {0, 0, 0, 0, 128, 128},    {255, 0, 0, 76, 85, 255},
        {0, 255, 0, 150, 44, 21},       {0, 0, 255, 29, 255, 107}, {128, 128, 128, 128, 128, 128},
    };
    for_each_target([&] {
        for (channel_order_e order : kOrders) {
            SCOPED_TRACE(order_name(order));
            for (const Case &c : cases) {
                const bool rgbx = order == channel_order_e::RGBX;
                const uint32_t first = rgbx ? c.r : c.b, third = rgbx ? c.b : c.r;
                Frame f;
                for (int row = 0; row < 8; ++row)
                    for (int col = 0; col < 32; ++col)
                        f.set(row, col, first | uint32_t{c.g} << 8 | third << 16 | 0xEEu << 24);
                uint8_t alone[CONVERT_BLOCK_BYTES], tested[CONVERT_BLOCK_BYTES];
                std::array<uint8_t, CONVERT_BLOCK_BYTES> current{}, previous{};
                convert_block_ycc(f.block(), Frame::kStride, alone, order);
                // Stores of zeros: no colour here converts to all zeros.
                ASSERT_TRUE(convert_block_changed(f.block(), Frame::kStride, current.data(),
                                                  previous.data(), nullptr, tested, order));
                for (int i = 0; i < 256; ++i) {
                    for (const uint8_t *out : {alone, tested}) {
                        ASSERT_EQ(out[i], c.y) << int{c.r} << "," << int{c.g} << "," << int{c.b};
                        ASSERT_EQ(out[256 + i], c.cb);
                        ASSERT_EQ(out[512 + i], c.cr);
                    }
                }
            }
        }
    });
}

// Every one of the 2^24 colours in each channel order, at every position of
// a block, with the ignored fourth byte never zero.
TEST(BlockConvert, AllColoursInEachOrderEqualTheTableOnEveryTarget) {
    const auto list = targets();
    ASSERT_FALSE(list.empty());
    for (channel_order_e order : kOrders) {
        SCOPED_TRACE(order_name(order));
        std::vector<int> mismatched_blocks(list.size(), 0);
        Frame f;
        uint8_t expected[CONVERT_BLOCK_BYTES], got[CONVERT_BLOCK_BYTES];
        for (uint32_t block = 0; block < (1u << 24) / 256; ++block) {
            for (uint32_t i = 0; i < 256; ++i) {
                const uint32_t colour = block * 256 + i;  // 0xRRGGBB
                // Place colours so that neighbouring ones land in different
                // rows and lanes from block to block.
                const uint32_t at = (i * 37 + block) & 255;
                f.set(static_cast<int>(at / 32), static_cast<int>(at % 32),
                      colour | ((colour * 2654435761u) | 1u) << 24);
            }
            table().convert(f.block(), Frame::kStride, expected, order == channel_order_e::RGBX);
            for (size_t t = 0; t < list.size(); ++t) {
                hwy::SetSupportedTargetsForTest(list[t]);
                convert_block_ycc(f.block(), Frame::kStride, got, order);
                if (std::memcmp(expected, got, sizeof got) != 0) ++mismatched_blocks[t];
            }
        }
        hwy::SetSupportedTargetsForTest(0);
        for (size_t t = 0; t < list.size(); ++t)
            EXPECT_EQ(mismatched_blocks[t], 0) << hwy::TargetName(list[t]);
    }
}

TEST(BlockConvert, ChangeTestFollowsTheStoresOnEveryTarget) {
    for_each_target([&] {
        std::mt19937 rng(7);
        Frame f;
        for (auto &b : f.bytes) b = static_cast<uint8_t>(rng());
        uint8_t content[CONVERT_BLOCK_BYTES];
        table().convert(f.block(), Frame::kStride, content);

        for (bool cached : {false, true}) {
            SCOPED_TRACE(cached ? "with the equality cache" : "without the equality cache");
            std::array<uint8_t, CONVERT_BLOCK_BYTES> current{}, previous{}, out{};
            uint8_t equal = 0;
            uint8_t *const cache = cached ? &equal : nullptr;
            // Both stores hold the content: unchanged, nothing written; the
            // cache learns that the stores agree.
            std::memcpy(current.data(), content, sizeof content);
            std::memcpy(previous.data(), content, sizeof content);
            EXPECT_FALSE(convert_block_changed(f.block(), Frame::kStride, current.data(),
                                               previous.data(), cache, out.data()));
            EXPECT_EQ(0, std::memcmp(current.data(), content, sizeof content));
            if (cached) {
                EXPECT_EQ(equal, 1);
            }

            // Only the other store differs (the change of the frame before):
            // sent again with the content, the current store stays as it is.
            previous[700] ^= 1;
            equal = 0;  // whoever writes a store clears the cache
            out.fill(0);
            EXPECT_TRUE(convert_block_changed(f.block(), Frame::kStride, current.data(),
                                              previous.data(), cache, out.data()));
            EXPECT_EQ(0, std::memcmp(out.data(), content, sizeof content));
            EXPECT_EQ(0, std::memcmp(current.data(), content, sizeof content));
            EXPECT_EQ(equal, 0);

            // The current store differs in its last byte: changed, and it
            // takes the new content; the other store is never written.
            current[767] ^= 0x80;
            const auto previous_before = previous;
            out.fill(0);
            EXPECT_TRUE(convert_block_changed(f.block(), Frame::kStride, current.data(),
                                              previous.data(), cache, out.data()));
            EXPECT_EQ(0, std::memcmp(out.data(), content, sizeof content));
            EXPECT_EQ(0, std::memcmp(current.data(), content, sizeof content));
            EXPECT_EQ(previous, previous_before);
            EXPECT_EQ(equal, 0);

            // No stores: always changed, the content still comes out.
            out.fill(0);
            EXPECT_TRUE(convert_block_changed(f.block(), Frame::kStride, nullptr, previous.data(),
                                              cache, out.data()));
            EXPECT_EQ(0, std::memcmp(out.data(), content, sizeof content));
            EXPECT_TRUE(convert_block_changed(f.block(), Frame::kStride, current.data(), nullptr,
                                              cache, out.data()));
        }

        // A set cache is trusted: the other store is not looked at, which is
        // what makes an unchanged block cost one store read.
        std::array<uint8_t, CONVERT_BLOCK_BYTES> current{}, other{}, out{};
        std::memcpy(current.data(), content, sizeof content);
        other.fill(0x5A);
        uint8_t equal = 1;
        EXPECT_FALSE(convert_block_changed(f.block(), Frame::kStride, current.data(), other.data(),
                                           &equal, out.data()));
        // A change of the content clears it.
        f.pixel(3, 9)[1] ^= 0x40;
        EXPECT_TRUE(convert_block_changed(f.block(), Frame::kStride, current.data(), other.data(),
                                          &equal, out.data()));
        EXPECT_EQ(equal, 0);
    });
}

// One pixel changed at each position of the block, on a flat block and on
// noise: found wherever it is, and the whole new content comes out, also the
// rows before the first differing one.
TEST(BlockConvert, ChangedPixelIsFoundAtEveryPositionOnEveryTarget) {
    for_each_target([&] {
        for (bool flat : {true, false}) {
            SCOPED_TRACE(flat ? "block of one colour" : "noise");
            std::mt19937 rng(3);
            Frame f;
            for (auto &b : f.bytes) b = static_cast<uint8_t>(rng());
            if (flat) {
                for (int row = 0; row < 8; ++row)
                    for (int col = 0; col < 32; ++col) f.set(row, col, 0xA0C0E0F0u);
            }
            uint8_t base[CONVERT_BLOCK_BYTES], expected[CONVERT_BLOCK_BYTES];
            table().convert(f.block(), Frame::kStride, base);
            for (int at = 0; at < 256; ++at) {
                uint8_t *px = f.pixel(at / 32, at % 32);
                std::array<uint8_t, CONVERT_BLOCK_BYTES> current{}, out{};
                std::memcpy(current.data(), base, sizeof base);
                const auto previous = current;
                // Only the ignored byte: nothing changed.
                px[3] ^= 0x5A;
                ASSERT_FALSE(convert_block_changed(f.block(), Frame::kStride, current.data(),
                                                   previous.data(), nullptr, out.data()))
                    << at;
                px[1] ^= 0x08;
                table().convert(f.block(), Frame::kStride, expected);
                ASSERT_TRUE(convert_block_changed(f.block(), Frame::kStride, current.data(),
                                                  previous.data(), nullptr, out.data()))
                    << at;
                ASSERT_EQ(0, std::memcmp(out.data(), expected, sizeof expected)) << at;
                ASSERT_EQ(0, std::memcmp(current.data(), expected, sizeof expected)) << at;
                px[1] ^= 0x08;
                px[3] ^= 0x5A;
            }
        }
    });
}

// A row of blocks tested in one call stops at the first changed block, with
// exactly what block-by-block calls give up to it, and leaves the blocks
// after it untouched.
TEST(BlockConvert, RowScanStopsAtTheFirstChangedBlockOnEveryTarget) {
    constexpr int kBlocks = 7;
    constexpr ptrdiff_t kStride = 4 * 32 * kBlocks + 12;
    for_each_target([&] {
        std::mt19937 rng(5);
        std::vector<uint8_t> pixels(8 * kStride);
        for (auto &b : pixels) b = static_cast<uint8_t>(rng());
        // Blocks 1 and 4 flat, the others noise.
        for (int block : {1, 4})
            for (int row = 0; row < 8; ++row)
                for (int col = 0; col < 32; ++col)
                    std::memcpy(&pixels[row * kStride + 4 * (32 * block + col)], "\x10\x80\xF0\x00",
                                4);
        std::vector<uint8_t> current(kBlocks * CONVERT_BLOCK_BYTES);
        for (int b = 0; b < kBlocks; ++b)
            table().convert(&pixels[4 * 32 * b], kStride, &current[b * CONVERT_BLOCK_BYTES]);
        std::vector<uint8_t> previous = current;
        std::vector<uint8_t> equal(kBlocks, 0);
        uint8_t out[CONVERT_BLOCK_BYTES];

        // Nothing changed: all blocks tested, the cache learns every one.
        EXPECT_EQ(convert_blocks_changed(pixels.data(), kStride, kBlocks, current.data(),
                                         previous.data(), equal.data(), out),
                  kBlocks);
        EXPECT_EQ(equal, std::vector<uint8_t>(kBlocks, 1));

        // Blocks 4 and 5 change: the scan stops at 4, whose content comes out
        // and goes into the current store; block 5 is not looked at yet.
        pixels[3 * kStride + 4 * (32 * 4 + 7) + 2] ^= 0x20;
        pixels[6 * kStride + 4 * (32 * 5 + 30) + 0] ^= 0x01;
        uint8_t expected[CONVERT_BLOCK_BYTES];
        table().convert(&pixels[4 * 32 * 4], kStride, expected);
        const auto before = current;
        EXPECT_EQ(convert_blocks_changed(pixels.data(), kStride, kBlocks, current.data(),
                                         previous.data(), equal.data(), out),
                  4);
        EXPECT_EQ(0, std::memcmp(out, expected, sizeof out));
        EXPECT_EQ(0, std::memcmp(&current[4 * CONVERT_BLOCK_BYTES], expected, sizeof expected));
        EXPECT_EQ(equal[4], 0);
        EXPECT_EQ(0, std::memcmp(&current[5 * CONVERT_BLOCK_BYTES],
                                 &before[5 * CONVERT_BLOCK_BYTES], 2 * CONVERT_BLOCK_BYTES));
        // The rest of the row from block 5 on: 5 changed, found at index 0.
        EXPECT_EQ(convert_blocks_changed(&pixels[4 * 32 * 5], kStride, 2,
                                         &current[5 * CONVERT_BLOCK_BYTES],
                                         &previous[5 * CONVERT_BLOCK_BYTES], &equal[5], out),
                  0);
        // Without the cache, a block whose stores differ is sent again.
        EXPECT_EQ(convert_blocks_changed(pixels.data(), kStride, kBlocks, current.data(),
                                         previous.data(), nullptr, out),
                  4);
        EXPECT_EQ(0, std::memcmp(out, expected, sizeof out));
    });
}

// Sequences of frames with small changes against the plain way, store by
// store: the decisions and both stores must stay identical throughout, with
// and without the equality cache, in both channel orders.
// Starting from noise, and from a block of one colour that now and then is
// repainted or gains a stray pixel (the path for flat blocks).
TEST(BlockConvert, FrameSequencesEqualThePlainWayOnEveryTarget) {
    for_each_target([&] {
        for (int start = 0; start < 8; ++start) {
            const bool cached = (start & 1) != 0, flat = (start & 2) != 0;
            const channel_order_e order = kOrders[start >> 2];
            SCOPED_TRACE(order_name(order));
            SCOPED_TRACE(cached ? "with the equality cache" : "without the equality cache");
            SCOPED_TRACE(flat ? "block of one colour" : "noise");
            std::mt19937 rng(11);
            Frame f;
            const auto paint = [&f](uint32_t colour) {
                for (int row = 0; row < 8; ++row)
                    for (int col = 0; col < 32; ++col) f.set(row, col, colour);
            };
            for (auto &b : f.bytes) b = static_cast<uint8_t>(rng());
            if (flat) paint(0x00336699u);
            std::array<std::array<uint8_t, CONVERT_BLOCK_BYTES>, 2> fast{}, slow{};
            for (auto *stores : {&fast, &slow}) {
                (*stores)[0].fill(0xAA);
                (*stores)[1].fill(0xAB);
            }
            uint8_t equal = 0;
            int changed = 0;
            for (int frame = 0; frame < 400; ++frame) {
                const int current = frame & 1;
                // Now and then a pixel changes, sometimes back and forth; a
                // change of only the ignored byte changes nothing.
                const int what = static_cast<int>(rng() % 5);
                if (what == 0) f.block()[rng() % (8 * Frame::kStride - 4 * 13)] ^= 0x01;
                if (what == 1)
                    f.pixel(static_cast<int>(rng() % 8), static_cast<int>(rng() % 32))[3] ^= 0xFF;
                if (what == 2) f.pixel(5, 5)[2] ^= 0x10;
                // Repainted: the same colour (another ignored byte), or another.
                if (what == 3 && flat) {
                    const uint32_t colours[] = {0x00336699u, 0xFF336699u, 0x7F336698u};
                    paint(colours[rng() % 3]);
                }
                uint8_t out_fast[CONVERT_BLOCK_BYTES], out_slow[CONVERT_BLOCK_BYTES];
                const bool a = convert_block_changed(f.block(), Frame::kStride,
                                                     fast[current].data(), fast[1 - current].data(),
                                                     cached ? &equal : nullptr, out_fast, order);
                const bool b = reference_changed(f.block(), Frame::kStride, slow[current].data(),
                                                 slow[1 - current].data(), out_slow, order);
                ASSERT_EQ(a, b) << "frame " << frame;
                if (a) {
                    ASSERT_EQ(0, std::memcmp(out_fast, out_slow, sizeof out_fast));
                }
                ASSERT_EQ(fast, slow) << "frame " << frame;
                if (cached && equal != 0) {
                    ASSERT_EQ(fast[0], fast[1]) << "frame " << frame;
                }
                changed += a;
            }
            // Both outcomes occurred.
            EXPECT_GT(changed, 20);
            EXPECT_LT(changed, 380);
        }
    });
}

}  // namespace
