// Fixed tables, quality scaling, divisor tables, Huffman code tables and the
// quantisation blob sent to the device.
#include <mutex>

#include "jpeg_enc.h"

const WORD zigzag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28,  //
    2,  4,  7,  13, 16, 26, 29, 42,  //
    3,  8,  12, 17, 25, 30, 41, 43,  //
    9,  11, 18, 24, 31, 40, 44, 53,  //
    10, 19, 23, 32, 39, 45, 52, 54,  //
    20, 22, 33, 38, 46, 51, 55, 60,  //
    21, 34, 37, 47, 50, 56, 59, 61,  //
    35, 36, 48, 49, 57, 58, 62, 63,
};

const BYTE std_luminance_qt[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99,
};

const BYTE std_chrominance_qt[64] = {
    17, 18, 24, 47, 99, 99, 99, 99,  //
    18, 21, 26, 66, 99, 99, 99, 99,  //
    24, 26, 56, 99, 99, 99, 99, 99,  //
    47, 66, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,
};

const BYTE std_dc_luminance_nrcodes[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const BYTE std_dc_luminance_values[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

const BYTE std_dc_chrominance_nrcodes[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const BYTE std_dc_chrominance_values[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

const BYTE std_ac_luminance_nrcodes[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const BYTE std_ac_luminance_values[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

const BYTE std_ac_chrominance_nrcodes[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const BYTE std_ac_chrominance_values[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

// round(16384 * s(row) * s(column)), s(0) = 1, s(k) = sqrt(2) * cos(k * pi / 16).
const INT16 aanscales[64] = {
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520,  //
    22725, 31521, 29692, 26722, 22725, 17855, 12299, 6270,  //
    21407, 29692, 27969, 25172, 21407, 16819, 11585, 5906,  //
    19266, 26722, 25172, 22654, 19266, 15137, 10426, 5315,  //
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520,  //
    12873, 17855, 16819, 15137, 12873, 10114, 6967,  3552,  //
    8867,  12299, 11585, 10426, 8867,  6967,  4799,  2446,  //
    4520,  6270,  5906,  5315,  4520,  3552,  2446,  1247,
};

HuffmanTable_t Y_HT;
HuffmanTable_t Cb_HT;

namespace {

// Set once, inside the call_once below; everything it guards is read-only
// afterwards, and call_once publishes it to every later caller.
int initialized = 0;
std::once_flag shared_tables_once;

}  // namespace

void Initialize(cinfo_t *cinfo, BYTE scalefactor) {
    std::call_once(shared_tables_once, [] {
        if (initialized == 0) {
            set_DHTinfo();
            init_Huffman_tables();
            initialized = 1;
        }
    });
    cinfo->QualityFactor = scalefactor;
    set_DQTinfo(cinfo, scalefactor);
    prepare_quant_tables(cinfo);
}

void DeInitialize() {}

void set_DQTinfo(cinfo_t *cinfo, BYTE quality) {
    // Computed in 8 bits: one rule for every quality, none special below 50.
    const BYTE scale = static_cast<BYTE>(2 * (100 - quality));
    cinfo->DQTinfo.marker = 0xFFDB;
    cinfo->DQTinfo.length = 132;
    cinfo->DQTinfo.QTYinfo = 0;
    cinfo->DQTinfo.QTCbinfo = 1;
    set_quant_table(std_luminance_qt, scale, cinfo->DQTinfo.Ytable);
    set_quant_table(std_chrominance_qt, scale, cinfo->DQTinfo.Cbtable);
}

void set_quant_table(const BYTE *basic_table, BYTE scale_factor, BYTE *newtable) {
    for (int i = 0; i < 64; ++i) {
        int t = (basic_table[i] * scale_factor + 50) / 100;
        if (t == 0) t = 1;
        if (t > 255) t = 255;
        newtable[zigzag[i]] = static_cast<BYTE>(t);
    }
}

namespace {

void prepare_divisors(const BYTE *zigzag_table, INT16 *divisors) {
    for (int i = 0; i < 64; ++i) {
        const unsigned q = zigzag_table[zigzag[i]];
        // Folds the output scaling of the fast DCT into the divisor.
        const auto d = static_cast<UINT16>((q * static_cast<unsigned>(aanscales[i]) + 1024) >> 11);
        compute_reciprocal(d, &divisors[i]);
    }
}

}  // namespace

void prepare_quant_tables(cinfo_t *cinfo) {
    prepare_divisors(cinfo->DQTinfo.Ytable, cinfo->divisor_Y);
    prepare_divisors(cinfo->DQTinfo.Cbtable, cinfo->divisor_Cb);
}

int flss(UINT16 val) {
    int bits = 0;
    for (unsigned v = val; v != 0; v >>= 1) ++bits;
    return bits;
}

void compute_reciprocal(UINT16 divisor, DCTELEM *dtbl) {
    UDCTELEM2 fq, fr;
    UDCTELEM c;
    int r;
    if (divisor <= 1) {
        // The general rule below would give reciprocal 32768 and shift -1,
        // which drops the lowest bit of every magnitude. 0xFFFF with a
        // correction of 1 gives floor((a + 1) * 65535 / 65536) = a exactly
        // for every magnitude below 65535. (0 never occurs: scaled entries
        // are at least 1 and every aanscales entry rounds up to d >= 1.)
        fq = 0xFFFF;
        c = 1;
        r = 16;
    } else {
        const int b = flss(divisor) - 1;
        r = 16 + b;
        fq = (static_cast<UDCTELEM2>(1) << r) / divisor;
        fr = (static_cast<UDCTELEM2>(1) << r) % divisor;
        c = static_cast<UDCTELEM>(divisor / 2);
        if (fr == 0) {  // a power of two
            fq >>= 1;
            r--;
        } else if (fr <= divisor / 2U) {
            c++;
        } else {
            fq++;
        }
    }
    const int shift = r - 16;
    dtbl[0] = static_cast<DCTELEM>(static_cast<UDCTELEM>(fq));
    dtbl[64] = static_cast<DCTELEM>(c);
    // Lets vector code apply the shift as a multiply-high: for a product p
    // below 32768, (2p * 2^(15 - shift)) >> 16 == p >> shift.
    dtbl[128] = static_cast<DCTELEM>(static_cast<UDCTELEM>(1U << (15 - shift)));
    dtbl[192] = static_cast<DCTELEM>(shift);
}

void compute_Huffman_table(const BYTE *nrcodes, const BYTE *std_table, bitstring *HT) {
    WORD code = 0;
    int p = 0;
    for (int k = 1; k <= 16; ++k) {
        for (int j = 0; j < nrcodes[k]; ++j) {
            HT[std_table[p]] = (static_cast<bitstring>(code) << 16) | static_cast<bitstring>(k);
            ++p;
            ++code;
        }
        code = static_cast<WORD>(code << 1);
    }
}

void init_Huffman_tables() {
    compute_Huffman_table(std_dc_luminance_nrcodes, std_dc_luminance_values, Y_HT.DC);
    compute_Huffman_table(std_dc_chrominance_nrcodes, std_dc_chrominance_values, Cb_HT.DC);
    compute_Huffman_table(std_ac_luminance_nrcodes, std_ac_luminance_values, Y_HT.AC);
    compute_Huffman_table(std_ac_chrominance_nrcodes, std_ac_chrominance_values, Cb_HT.AC);
}

int GetDQTinfo(cinfo_t *cinfo, jpeg_stream_t *stream) {
    BYTE *out = stream->pbitstream;
    DWORD pos = stream->pos;
    const BYTE *tables[2] = {cinfo->DQTinfo.Ytable, cinfo->DQTinfo.Cbtable};
    for (int t = 0; t < 2; ++t) {
        out[pos++] = 0xFF;
        out[pos++] = 0xDB;
        out[pos++] = 0x00;
        out[pos++] = 0x43;
        out[pos++] = static_cast<BYTE>(t);
        // The device takes its entries in natural row-major order.
        for (int k = 0; k < 64; ++k) out[pos++] = tables[t][zigzag[k]];
    }
    const int written = static_cast<int>(pos - stream->pos);
    stream->pos = pos;
    return written;
}
