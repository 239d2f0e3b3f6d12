#include "reference_block_encoder.h"

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <algorithm>

namespace torvel::testbed {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr cinfo) {
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// Owns the compressor and the memory destination buffer libjpeg allocates.
struct Compressor {
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    unsigned char *out = nullptr;
    unsigned long out_size = 0;
    bool created = false;
    ~Compressor() {
        if (created) jpeg_destroy_compress(&cinfo);
        std::free(out);
    }
};

// Returns the entropy-coded data of the single scan, through the EOI marker.
std::vector<uint8_t> scan_data(const unsigned char *jpeg, size_t size) {
    size_t i = 2;
    while (i + 4 <= size) {
        if (jpeg[i] != 0xFF) return {};
        const uint8_t marker = jpeg[i + 1];
        const size_t length = static_cast<size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (marker == 0xDA) {
            const size_t start = i + 2 + length;
            if (start > size) return {};
            return std::vector<uint8_t>(jpeg + start, jpeg + size);
        }
        i += 2 + length;
    }
    return {};
}

}  // namespace

std::vector<uint8_t> reference_encode_block(const uint8_t *rgb, const QuantBlob &blob,
                                            std::string *error) {
    Compressor c;
    c.cinfo.err = jpeg_std_error(&c.err.pub);
    c.err.pub.error_exit = on_error;
    if (setjmp(c.err.jump)) {
        if (error) *error = std::string("reference encoder: ") + c.err.message;
        return {};
    }
    jpeg_create_compress(&c.cinfo);
    c.created = true;
    jpeg_mem_dest(&c.cinfo, &c.out, &c.out_size);
    c.cinfo.image_width = kBlockWidth;
    c.cinfo.image_height = kBlockHeight;
    c.cinfo.input_components = 3;
    c.cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c.cinfo);
    jpeg_set_colorspace(&c.cinfo, JCS_YCbCr);
    for (int i = 0; i < 3; ++i) {
        c.cinfo.comp_info[i].h_samp_factor = 1;
        c.cinfo.comp_info[i].v_samp_factor = 1;
    }
    c.cinfo.write_JFIF_header = FALSE;
    c.cinfo.optimize_coding = FALSE;
    c.cinfo.dct_method = JDCT_ISLOW;
    unsigned int table[64];
    for (int t = 0; t < 2; ++t) {
        std::copy(&blob[t * 69 + 5], &blob[t * 69 + 5 + 64], table);
        jpeg_add_quant_table(&c.cinfo, t, table, 100, TRUE);
    }
    jpeg_start_compress(&c.cinfo, TRUE);
    for (int y = 0; y < kBlockHeight; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + y * kBlockWidth * 3);
        jpeg_write_scanlines(&c.cinfo, &row, 1);
    }
    jpeg_finish_compress(&c.cinfo);
    auto data = scan_data(c.out, c.out_size);
    if (data.size() < 2 && error) *error = "reference encoder: no scan in its output";
    return data;
}

std::vector<uint8_t> build_stream(std::span<const StreamRecord> records, bool with_trailing_byte) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < records.size(); ++i) {
        const auto &r = records[i];
        const size_t padded = (r.data.size() + 3) / 4 * 4;
        BlockHeader h;
        h.len = static_cast<uint32_t>(padded / 4 - 1);
        h.block_index = r.block_index;
        h.end = i + 1 == records.size() ? 1 : 0;
        const uint32_t word = pack_block_header(h);
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(word >> (8 * b)));
        out.insert(out.end(), r.data.begin(), r.data.end());
        out.resize(out.size() + (padded - r.data.size()), 0);
    }
    do {
        out.push_back(0xFF);
        out.push_back(0xD9);
        out.push_back(0xFF);
        out.push_back(0xFF);
    } while (out.size() % 128 != 0);
    if (with_trailing_byte) out.push_back(0);
    return out;
}

}  // namespace torvel::testbed
