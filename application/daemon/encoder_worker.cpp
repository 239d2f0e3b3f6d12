#include "encoder_worker.h"

#include <algorithm>
#include <cstring>

#include "block_convert.h"

int64_t rgb_ycc_tab[2048];

namespace {

constexpr int R_Y = 0, G_Y = 256, B_Y = 512, R_CB = 768, G_CB = 1024, B_CB = 1280, R_CR = 1280,
              G_CR = 1536, B_CR = 1792;

// Zigzag positions kept, one step after another, when a block's data does
// not fit its record: each step drops more of the highest frequencies. With
// the DC term alone a block codes to far less than a record holds.
constexpr int KEEP_STEPS[] = {48, 36, 28, 21, 15, 10, 6, 3, 1};

// Zeroes every quantised coefficient of the data unit at a zigzag position
// of `keep` or beyond.
void drop_high_frequencies(INT16 *du, int keep) {
    for (int i = 0; i < 64; ++i) {
        if (zigzag[i] >= keep) du[i] = 0;
    }
}

// `encode` with only the first `keep` zigzag coefficients of every data unit.
int encode_truncated(cinfo_t *cinfo, int keep) {
    cinfo->wordpos = 0;
    cinfo->wordnew = 0;
    SWORD dc_y = 0, dc_cb = 0, dc_cr = 0;
    for (int ypos = 0; ypos < cinfo->Yimage; ypos += 8) {
        for (int xpos = 0; xpos < cinfo->Ximage; xpos += 8) {
            load_data_units_from_buffer(cinfo, static_cast<WORD>(xpos), static_cast<WORD>(ypos));
            fdct_and_quantization(cinfo->divisor_Y, cinfo->DU_DCTY);
            fdct_and_quantization(cinfo->divisor_Cb, cinfo->DU_DCTCb);
            fdct_and_quantization(cinfo->divisor_Cb, cinfo->DU_DCTCr);
            drop_high_frequencies(cinfo->DU_DCTY, keep);
            drop_high_frequencies(cinfo->DU_DCTCb, keep);
            drop_high_frequencies(cinfo->DU_DCTCr, keep);
            process_DU(cinfo, cinfo->DU_DCTY, &dc_y, &Y_HT);
            process_DU(cinfo, cinfo->DU_DCTCb, &dc_cb, &Cb_HT);
            process_DU(cinfo, cinfo->DU_DCTCr, &dc_cr, &Cb_HT);
        }
    }
    flashbits(cinfo);
    jpeg_stream_t &out = cinfo->jpeg_stream;
    out.pbitstream[out.pos++] = 0xFF;
    out.pbitstream[out.pos++] = 0xD9;
    return static_cast<int>(out.pos);
}

}  // namespace

void create_rgb2ycc_table() {
    for (int64_t i = 0; i < 256; ++i) {
        rgb_ycc_tab[R_Y + i] = 19595 * i;
        rgb_ycc_tab[G_Y + i] = 38470 * i;
        rgb_ycc_tab[B_Y + i] = 7471 * i + 32768;
        rgb_ycc_tab[R_CB + i] = -11059 * i;
        rgb_ycc_tab[G_CB + i] = -21709 * i;
        rgb_ycc_tab[B_CB + i] = 32768 * i + 8421375;  // also R_CR
        rgb_ycc_tab[G_CR + i] = -27439 * i;
        rgb_ycc_tab[B_CR + i] = -5329 * i;
    }
}

void rgb2yuv(int linesize, const uint8_t *raw_buffer, uint8_t *y_buffer, channel_order_e order) {
    const int64_t *t = rgb_ycc_tab;
    const int blue = blue_byte(order), red = red_byte(order);
    uint8_t *cb_buffer = y_buffer + BLOCK_PIXELS;
    uint8_t *cr_buffer = cb_buffer + BLOCK_PIXELS;
    for (int row = 0; row < BLOCK_HEIGHT; ++row) {
        const uint8_t *p = raw_buffer + static_cast<ptrdiff_t>(row) * linesize;
        for (int col = 0; col < BLOCK_WIDTH; ++col, p += 4) {
            const int b = p[blue], g = p[1], r = p[red];
            const int at = row * BLOCK_WIDTH + col;
            y_buffer[at] = static_cast<uint8_t>((t[R_Y + r] + t[G_Y + g] + t[B_Y + b]) >> 16);
            cb_buffer[at] = static_cast<uint8_t>((t[R_CB + r] + t[G_CB + g] + t[B_CB + b]) >> 16);
            cr_buffer[at] = static_cast<uint8_t>((t[R_CR + r] + t[G_CR + g] + t[B_CR + b]) >> 16);
        }
    }
}

bool check_dirty(uint8_t *current, uint8_t *prev, const uint8_t *next, int index) {
    if (current == nullptr || prev == nullptr) return true;
    uint8_t *cur = current + static_cast<size_t>(index) * BLOCK_BYTES;
    const uint8_t *old = prev + static_cast<size_t>(index) * BLOCK_BYTES;
    if (std::memcmp(cur, next, BLOCK_BYTES) != 0) {
        std::memcpy(cur, next, BLOCK_BYTES);
        return true;
    }
    return std::memcmp(old, cur, BLOCK_BYTES) != 0;
}

namespace {

// The pixels of block (column, row): in place in the frame, or, for a block
// reaching past the frame's width or height, gathered into `edge` with the
// last visible column and row repeated. Sets *stride to the row distance.
const uint8_t *block_pixels(const frame_view_t &frame, int column, int row,
                            uint8_t (&edge)[BLOCK_HEIGHT][BLOCK_WIDTH * 4], int *stride) {
    const int x0 = column * BLOCK_WIDTH;
    const int y0 = row * BLOCK_HEIGHT;
    if (x0 + BLOCK_WIDTH <= frame.width && y0 + BLOCK_HEIGHT <= frame.height) {
        *stride = frame.stride;
        return frame.pixels + static_cast<ptrdiff_t>(y0) * frame.stride + 4 * x0;
    }
    for (int r = 0; r < BLOCK_HEIGHT; ++r) {
        const int y = std::min(y0 + r, frame.height - 1);
        const uint8_t *src = frame.pixels + static_cast<ptrdiff_t>(y) * frame.stride;
        const int visible = std::min(BLOCK_WIDTH, frame.width - x0);
        std::memcpy(edge[r], src + 4 * x0, 4 * static_cast<size_t>(visible));
        for (int c = visible; c < BLOCK_WIDTH; ++c)
            std::memcpy(&edge[r][4 * c], &edge[r][4 * (visible - 1)], 4);
    }
    *stride = BLOCK_WIDTH * 4;
    return edge[0];
}

// convert_block and check_dirty in one pass over the pixels, with the same
// results: the vector conversion equals the table for every colour, and the
// stores' comparison cache only skips comparisons whose result it knows.
bool convert_and_check(const jpegenc_param_t *job, int column, int row, int block,
                       uint8_t *planes) {
    alignas(16) uint8_t edge[BLOCK_HEIGHT][BLOCK_WIDTH * 4];
    int stride = 0;
    const uint8_t *pixels = block_pixels(job->frame, column, row, edge, &stride);
    const size_t at = static_cast<size_t>(block) * BLOCK_BYTES;
    uint8_t *current = job->curr_dirty_buf != nullptr ? job->curr_dirty_buf + at : nullptr;
    const uint8_t *previous = job->prev_dirty_buf != nullptr ? job->prev_dirty_buf + at : nullptr;
    uint8_t *equal = job->stores_equal != nullptr ? job->stores_equal + block : nullptr;
    return convert_block_changed(pixels, stride, current, previous, equal, planes,
                                 job->frame.order);
}

// Blocks of row `row` from `column` on, at most `limit`, that lie wholly
// inside the frame and so are read in place.
int blocks_in_place(const frame_view_t &frame, int column, int row, int limit) {
    if ((row + 1) * BLOCK_HEIGHT > frame.height) return 0;
    return std::clamp(frame.width / BLOCK_WIDTH - column, 0, limit);
}

// Looks for the next changed block of the band from `block` (at `column`,
// `row`) on, within that block row: returns how many blocks before it are
// unchanged, and whether it was found (its content in `planes`). Blocks read
// in place are tested in one call for the run of them; others one by one.
int next_changed(const jpegenc_param_t *job, int column, int row, int block, int limit,
                 uint8_t *planes, bool *found) {
    const int run = job->curr_dirty_buf != nullptr && job->prev_dirty_buf != nullptr
                        ? blocks_in_place(job->frame, column, row, limit)
                        : 0;
    if (run == 0) {
        *found = convert_and_check(job, column, row, block, planes);
        return *found ? 0 : 1;
    }
    const size_t at = static_cast<size_t>(block) * BLOCK_BYTES;
    const uint8_t *pixels = job->frame.pixels +
                            static_cast<ptrdiff_t>(row) * BLOCK_HEIGHT * job->frame.stride +
                            4 * BLOCK_WIDTH * column;
    const int n = convert_blocks_changed(
        pixels, job->frame.stride, run, job->curr_dirty_buf + at, job->prev_dirty_buf + at,
        job->stores_equal != nullptr ? job->stores_equal + block : nullptr, planes,
        job->frame.order);
    *found = n < run;
    return n;
}

}  // namespace

void convert_block(const frame_view_t &frame, int column, int row, uint8_t *y_buffer) {
    alignas(16) uint8_t edge[BLOCK_HEIGHT][BLOCK_WIDTH * 4];
    int stride = 0;
    const uint8_t *pixels = block_pixels(frame, column, row, edge, &stride);
    rgb2yuv(stride, pixels, y_buffer, frame.order);
}

size_t encode_block_data(cinfo_t *cinfo, const uint8_t *planes, uint8_t *out) {
    uint8_t coded[kEncodeBlockMaxBytes];
    // The encoder reads its planes through signed pointers; it only reads.
    auto *samples = reinterpret_cast<SBYTE *>(const_cast<uint8_t *>(planes));
    cinfo->Y_buffer = samples;
    cinfo->Cb_buffer = samples + BLOCK_PIXELS;
    cinfo->Cr_buffer = samples + 2 * BLOCK_PIXELS;
    cinfo->jpeg_stream.pbitstream = coded;
    cinfo->jpeg_stream.pos = 0;
    size_t length = static_cast<size_t>(encode(cinfo));
    for (int keep : KEEP_STEPS) {
        if (length <= MAX_BLOCK_DATA) break;
        cinfo->jpeg_stream.pos = 0;
        length = static_cast<size_t>(encode_truncated(cinfo, keep));
    }
    std::memcpy(out, coded, length);
    const size_t padded = (length + 3) & ~size_t{3};
    std::memset(out + length, 0, padded - length);
    return padded;
}

namespace {

// The band's output: where the next record goes and the last one written.
struct band_output_t {
    uint8_t *out;
    uint8_t *last;
};

// Converts and compares blocks first .. end - 1 of the band, coding each
// changed one into `output`. False when the band is abandoned (a mode change
// has begun).
bool scan_blocks(const jpegenc_param_t *job, cinfo_t *cinfo, uint8_t *planes, int first, int end,
                 band_output_t *output) {
    const int loop_x = job->cxt->loop_x;
    const std::atomic<bool> &registered = buffersRegistered[job->screen_id];
    int row = first / loop_x;
    int column = first % loop_x;
    for (int block = first; block < end;) {
        // A mode change has begun: the frame is abandoned. Looked at before
        // each search, which covers at most the rest of a block row.
        if (!registered.load(std::memory_order_relaxed)) return false;
        bool found = false;
        int skip = next_changed(job, column, row, block, std::min(loop_x - column, end - block),
                                planes, &found);
        if (found) {
            // The area holds a largest record for every block of the band,
            // so this never fails; the test keeps it that way.
            if (output->out + MAX_RECORD > job->area_end) return false;
            const int changed = block + skip;
            const size_t data = encode_block_data(cinfo, planes, output->out + 4);
            store_block_header(output->out,
                               block_header_word(data, static_cast<uint32_t>(changed), false));
            output->last = output->out;
            output->out += 4 + data;
            ++skip;
        }
        block += skip;
        column += skip;
        if (column == loop_x) {
            column = 0;
            ++row;
        }
    }
    return true;
}

}  // namespace

void encode_band(jpegenc_param_t *job) {
    thread_context_t *cxt = job->cxt;
    auto *const area = reinterpret_cast<uint8_t *>(job->current_header);
    job->streamlen = 0;
    if (cxt->loop_x <= 0 || job->block_start >= job->block_end) return;

    cinfo_t cinfo = cxt->cinfo;
    alignas(64) uint8_t planes[BLOCK_BYTES];
    band_output_t output{area, area};
    bool whole = true;
    if (job->scan == nullptr) {
        whole = scan_blocks(job, &cinfo, planes, job->block_start, job->block_end, &output);
    } else {
        job->scan->for_each_run(
            static_cast<uint32_t>(job->block_start), static_cast<uint32_t>(job->block_end),
            [&](uint32_t first, uint32_t end) {
                if (whole)
                    whole = scan_blocks(job, &cinfo, planes, static_cast<int>(first),
                                        static_cast<int>(end), &output);
            });
    }
    if (!whole) return;
    job->streamlen = static_cast<uint64_t>(output.out - area);
    job->current_header = reinterpret_cast<BlockHeader_t *>(output.last);
}

void *jpegenc_thread(void *param) {
    encode_band(static_cast<jpegenc_param_t *>(param));
    return nullptr;
}
