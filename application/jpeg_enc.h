// Baseline JPEG block encoder.
//
// A block of Y, Cb and Cr sample planes (4:4:4, each Ximage x Yimage bytes) is
// coded as one interleaved scan with the typical Huffman tables of ITU-T T.81
// Annex K, DC prediction restarting at 0 in every call, followed by FF D9. The
// device already knows the tables, so `encode` writes no marker segments;
// `WriteHeader` in front of it makes a complete JFIF file.
//
// Usage: `Initialize(&cinfo, quality)` once, set `Ximage`, `Yimage`, the three
// plane pointers and `jpeg_stream`, then `encode(&cinfo)`. A `cinfo_t` owns
// nothing and is trivially copyable: a byte copy of a prepared record is an
// independent encoder, so each worker thread encodes with its own copy. After
// the first `Initialize` the shared tables are only read, and `encode` writes
// only its record, the output buffer and its own stack; it allocates nothing.
#pragma once

#include <cstddef>
#include <type_traits>

#include "mm_type.h"

// One run of bits for the entropy coder: bit count in bits 0-7, the bits
// themselves right-aligned in bits 16-31.
typedef DWORD bitstring;

struct HuffmanTable_t {
    bitstring DC[12];   // by DC difference category 0-11
    bitstring AC[256];  // by symbol run * 16 + category; 0 where undefined
};

// Output cursor. Writers store at pbitstream[pos] and advance pos; nobody
// checks capacity, the caller sizes the buffer (see encode_max_bytes).
struct jpeg_stream_t {
    BYTE *pbitstream;
    DWORD pos;
};

// The scaled quantisation tables in DQT segment layout (zigzag order).
struct DQTinfotype {
    WORD marker;   // 0xFFDB
    WORD length;   // 132
    BYTE QTYinfo;  // 0
    BYTE Ytable[64];
    BYTE QTCbinfo;  // 1
    BYTE Cbtable[64];
};

struct cinfo_t {
    // Divisor tables in natural coefficient order, four groups of 64:
    // reciprocal, correction, scale (2^(15 - shift), used by the vector
    // quantiser to apply the shift as a multiply), shift.
    INT16 divisor_Y[256];
    INT16 divisor_Cb[256];  // serves Cb and Cr
    INT16 DU_DCTY[64];
    INT16 DU_DCTCb[64];
    INT16 DU_DCTCr[64];
    INT16 ZDU[64];   // not used
    DWORD RLE[128];  // not used
    jpeg_stream_t jpeg_stream;
    DWORD wordnew;  // pending bits, right-aligned
    int wordpos;    // number of pending bits, 0-31
    int Ximage;     // block width, a multiple of 8; also the row length of each plane
    int Yimage;     // block height, a multiple of 8
    SBYTE *Y_buffer;
    SBYTE *Cb_buffer;
    SBYTE *Cr_buffer;
    int QualityFactor;  // recorded, not consulted
    DQTinfotype DQTinfo;
};
static_assert(std::is_trivially_copyable_v<cinfo_t>);

// Worst case output of `encode`: at most 1660 bits per data unit (DC code and
// bits 22, each AC coefficient 26), every byte stuffed, plus FF D9.
constexpr size_t encode_max_bytes(size_t ximage, size_t yimage) {
    return (ximage * yimage / 64 * 3 * 1660 + 7) / 8 * 2 + 10;
}
// Room that suffices for a 32 x 8 block.
constexpr int kEncodeBlockMaxBytes = 5000;
static_assert(encode_max_bytes(32, 8) <= kEncodeBlockMaxBytes);

// ---- Tables (read-only once the first Initialize has run) ----
extern const WORD zigzag[64];  // natural index -> zigzag position
extern const BYTE std_luminance_qt[64];
extern const BYTE std_chrominance_qt[64];
extern const BYTE std_dc_luminance_nrcodes[17];
extern const BYTE std_dc_luminance_values[12];
extern const BYTE std_dc_chrominance_nrcodes[17];
extern const BYTE std_dc_chrominance_values[12];
extern const BYTE std_ac_luminance_nrcodes[17];
extern const BYTE std_ac_luminance_values[162];
extern const BYTE std_ac_chrominance_nrcodes[17];
extern const BYTE std_ac_chrominance_values[162];
extern const INT16 aanscales[64];
extern HuffmanTable_t Y_HT;   // Y
extern HuffmanTable_t Cb_HT;  // Cb and Cr

// ---- Set-up ----
// Prepares the quantisation side of `cinfo` for quality 0-100; the first call
// in the process also builds the shared Huffman tables and DHT record
// (thread-safe). Leaves stream, accumulator, geometry and planes alone.
void Initialize(cinfo_t *cinfo, BYTE scalefactor);
void DeInitialize();
void set_DQTinfo(cinfo_t *cinfo, BYTE quality);
void set_quant_table(const BYTE *basic_table, BYTE scale_factor, BYTE *newtable);
void prepare_quant_tables(cinfo_t *cinfo);
// Writes dtbl[0] (reciprocal), dtbl[64] (correction), dtbl[128] (scale) and
// dtbl[192] (shift) for divisor d >= 1. A divisor of 1 gets reciprocal 0xFFFF,
// correction 1, shift 0, which passes every coefficient through unchanged.
void compute_reciprocal(UINT16 divisor, DCTELEM *dtbl);
int flss(UINT16 val);  // number of significant bits, 0 for 0
// Building the shared tables is Initialize's job; calling these while
// encoders run races with them.
void init_Huffman_tables();
void compute_Huffman_table(const BYTE *nrcodes, const BYTE *std_table, bitstring *HT);
void set_DHTinfo();
// Appends the 138-byte device blob (two DQT-framed tables in natural order).
int GetDQTinfo(cinfo_t *cinfo, jpeg_stream_t *stream);

// ---- Block encoding ----
// Returns jpeg_stream.pos after the closing FF D9.
int encode(cinfo_t *cinfo);
void main_encoder(cinfo_t *cinfo);
void load_data_units_from_buffer(cinfo_t *cinfo, WORD xpos, WORD ypos);
// Fast integer DCT and quantisation of one data unit in place (vector code,
// chosen for the running CPU; identical results to the scalar reference).
void fdct_and_quantization(const INT16 *divisors, SWORD *outdata);
void process_DU(cinfo_t *cinfo, const INT16 *DU, SWORD *DC, const HuffmanTable_t *HT);
void writebits(bitstring bs, cinfo_t *cinfo);
void flashbits(cinfo_t *cinfo);
[[noreturn]] void exitmessage(const char *error_message);

// ---- Marker segments ----
struct APP0infotype {
    WORD marker;  // 0xFFE0
    WORD length;  // 16
    BYTE JFIFsignature[5];
    BYTE versionhi;
    BYTE versionlo;
    BYTE xyunits;
    WORD xdensity;
    WORD ydensity;
    BYTE thumbnwidth;
    BYTE thumbnheight;
};

struct SOF0infotype {
    WORD marker;  // 0xFFC0
    WORD length;  // 17
    BYTE precision;
    WORD height;
    WORD width;
    BYTE nrofcomponents;
    BYTE IdY, HVY, QTY;
    BYTE IdCb, HVCb, QTCb;
    BYTE IdCr, HVCr, QTCr;
};

struct DHTinfotype {
    WORD marker;  // 0xFFC4
    WORD length;  // 418
    BYTE HTYDCinfo;
    BYTE YDC_nrcodes[16];
    BYTE YDC_values[12];
    BYTE HTYACinfo;
    BYTE YAC_nrcodes[16];
    BYTE YAC_values[162];
    BYTE HTCbDCinfo;
    BYTE CbDC_nrcodes[16];
    BYTE CbDC_values[12];
    BYTE HTCbACinfo;
    BYTE CbAC_nrcodes[16];
    BYTE CbAC_values[162];
};

struct SOSinfotype {
    WORD marker;  // 0xFFDA
    WORD length;  // 12
    BYTE nrofcomponents;
    BYTE IdY, HTY;
    BYTE IdCb, HTCb;
    BYTE IdCr, HTCr;
    BYTE Ss, Se, Bf;
};

extern const APP0infotype APP0info;
// WriteHeader stores the image size here: two threads writing headers at the
// same time would race on it.
extern SOF0infotype SOF0info;
extern DHTinfotype DHTinfo;
extern const SOSinfotype SOSinfo;

// SOI, APP0, DQT, SOF0, DHT, SOS: 607 bytes to cinfo->jpeg_stream.
void WriteHeader(cinfo_t *cinfo, int width, int height);
void write_APP0info(jpeg_stream_t *jpeg_stream);
int write_DQTinfo(cinfo_t *cinfo, jpeg_stream_t *stream);
void write_SOF0info(cinfo_t *cinfo);
int write_DHTinfo(jpeg_stream_t *stream);
void write_SOSinfo(cinfo_t *cinfo);
void write_comment(jpeg_stream_t *jpeg_stream, const char *comment);
