// Band encoder: colour conversion of 32 x 8 blocks, the change test against
// the two snapshot stores, and the worker that codes one band of block rows
// into block records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "block_convert.h"
#include "damage.h"
#include "state.h"
#include "stream.h"

// Fixed-point BT.601 full-range conversion terms, eight sections of 256:
// R->Y, G->Y, B->Y (+ one half), R->Cb, G->Cb, B->Cb and R->Cr (+ chroma
// centre), G->Cr, B->Cr. Built once at start-up; read-only afterwards.
extern int64_t rgb_ycc_tab[2048];
void create_rgb2ycc_table();

// Converts the 32 x 8 pixels at raw_buffer (rows linesize bytes apart, bytes
// of a pixel in `order`) into a 768-byte block: Y at +0, Cb at +256, Cr at
// +512, 32 bytes per row.
void rgb2yuv(int linesize, const uint8_t *raw_buffer, uint8_t *y_buffer,
             channel_order_e order = channel_order_e::BGRX);

// True when block `index` must be sent. `next` is its fresh content;
// `current` and `prev` are the snapshot stores (null: nothing stored, always
// changed). A changed block's content is written into `current`, so a change
// is sent in the frame where it appears and once more in the next one.
bool check_dirty(uint8_t *current, uint8_t *prev, const uint8_t *next, int index);

// A captured frame as the workers read it: 4 bytes per pixel.
struct frame_view_t {
    const uint8_t *pixels;
    int width;
    int height;
    int stride;  // bytes per row
    // The bytes of a pixel: B, G, R, X for XR24 and AR24 planes, R, G, B, X
    // for XB24 and AB24 ones.
    channel_order_e order = channel_order_e::BGRX;
};

// Converts block (column, row) of the frame. Blocks reaching past the
// frame's width or height repeat its last column, then its last row; no
// pixel outside the frame is read.
void convert_block(const frame_view_t &frame, int column, int row, uint8_t *y_buffer);

// Job record of one band worker.
struct jpegenc_param_t {
    thread_context_t *cxt;     // grid, block sizes and the encoder template
    int screen_id;             // its buffersRegistered flag aborts the band
    int buffer_to_be_updated;  // frame buffer id the frame was grabbed into
    int block_start;           // first block of the band (a row start)
    int block_end;             // one past the band's last block (a row start or the block count)
    uint8_t *curr_dirty_buf;   // snapshot store current for this frame (may be null)
    uint8_t *prev_dirty_buf;   // the other store (may be null)
    uint64_t streamlen;        // out: bytes of records written
    // In: start of the worker's output area. Out: header of the last record
    // written; unchanged when the band had no changed block.
    BlockHeader_t *current_header;
    // The frame to read (an EVDI buffer, or its turned copy).
    frame_view_t frame;
    // End of the worker's output area; nothing is written at or past it.
    uint8_t *area_end;
    // The stores' comparison cache, one byte per block of the grid (may be
    // null: the stores are compared every time).
    uint8_t *stores_equal;
    // The blocks that can differ from either store (damage.h); the others
    // are skipped. Null: every block of the band is converted and compared.
    const block_mask_t *scan = nullptr;
};

// Codes the band described by `job` (see jpegenc_param_t); the body of
// jpegenc_thread, callable on any thread.
void encode_band(jpegenc_param_t *job);
// Thread entry: encode_band(param), then leaves the thread.
void *jpegenc_thread(void *param);

// Codes the YCbCr block at `planes` (Y, Cb, Cr planes of 256 bytes) with a
// private copy of the encoder state, into out (room for MAX_BLOCK_DATA
// bytes). Data that would exceed MAX_BLOCK_DATA bytes is coded again with its
// highest-frequency coefficients dropped, more of them each time, until it
// fits. Returns the data length raised to a multiple of 4 (fill bytes are 0).
size_t encode_block_data(cinfo_t *cinfo, const uint8_t *planes, uint8_t *out);
