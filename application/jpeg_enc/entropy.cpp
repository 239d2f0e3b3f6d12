// Block entry point and the bit-level writers of the entropy coder.
#include <cstdio>
#include <cstdlib>

#include "hwy/highway.h"
#include "jpeg_enc.h"
#include "jpeg_enc/entropy-inl.h"

// The coder core carries the static target's attributes (on AArch64 the
// NEON target string), so it is only called from functions that carry them
// too; the public writers below go through these.
HWY_BEFORE_NAMESPACE();
namespace jpeg_enc_detail {
namespace HWY_NAMESPACE {

void ProcessDuStatic(cinfo_t *cinfo, const INT16 *DU, SWORD *DC, const HuffmanTable_t *HT) {
    BitSink sink = LoadSink(cinfo);
    EncodeUnit(sink, DU, NonzeroMask(DU), DC, HT);
    StoreSink(sink, cinfo);
}

void WritebitsStatic(bitstring bs, cinfo_t *cinfo) {
    BitSink sink = LoadSink(cinfo);
    int n = static_cast<int>(bs & 0xFF);
    const uint32_t bits = bs >> 16;
    // Counts above 16 mean leading zero bits in front of the 16 given ones.
    for (; n > 16; n -= 16) Put(sink, 0, 16);
    Put(sink, bits & ((uint32_t{1} << n) - 1), n);
    StoreSink(sink, cinfo);
}

void FlashbitsStatic(cinfo_t *cinfo) {
    BitSink sink = LoadSink(cinfo);
    Flush(sink);
    StoreSink(sink, cinfo);
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace jpeg_enc_detail
HWY_AFTER_NAMESPACE();

namespace hn_entropy = jpeg_enc_detail::HWY_NAMESPACE;

int encode(cinfo_t *cinfo) {
    cinfo->wordpos = 0;
    cinfo->wordnew = 0;
    main_encoder(cinfo);
    flashbits(cinfo);
    // End of image; markers are never stuffed.
    cinfo->jpeg_stream.pbitstream[cinfo->jpeg_stream.pos++] = 0xFF;
    cinfo->jpeg_stream.pbitstream[cinfo->jpeg_stream.pos++] = 0xD9;
    return static_cast<int>(cinfo->jpeg_stream.pos);
}

void load_data_units_from_buffer(cinfo_t *cinfo, WORD xpos, WORD ypos) {
    const auto stride = static_cast<size_t>(cinfo->Ximage);
    const size_t origin = static_cast<size_t>(ypos) * stride + xpos;
    const SBYTE *planes[3] = {cinfo->Y_buffer, cinfo->Cb_buffer, cinfo->Cr_buffer};
    INT16 *units[3] = {cinfo->DU_DCTY, cinfo->DU_DCTCb, cinfo->DU_DCTCr};
    for (int p = 0; p < 3; ++p) {
        const auto *samples = reinterpret_cast<const BYTE *>(planes[p]) + origin;
        for (int r = 0; r < 8; ++r) {
            for (int c = 0; c < 8; ++c) {
                units[p][8 * r + c] = static_cast<INT16>(samples[r * stride + c] - 128);
            }
        }
    }
}

void process_DU(cinfo_t *cinfo, const INT16 *DU, SWORD *DC, const HuffmanTable_t *HT) {
    hn_entropy::ProcessDuStatic(cinfo, DU, DC, HT);
}

void writebits(bitstring bs, cinfo_t *cinfo) {
    hn_entropy::WritebitsStatic(bs, cinfo);
}

void flashbits(cinfo_t *cinfo) {
    hn_entropy::FlashbitsStatic(cinfo);
}

void exitmessage(const char *error_message) {
    std::printf("%s\n", error_message);
    std::exit(1);
}
