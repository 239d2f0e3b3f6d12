// JFIF marker segment writers. The devices never see these; they turn an
// encoded block into a file that any decoder opens.
#include <algorithm>
#include <cstring>

#include "jpeg_enc.h"

const APP0infotype APP0info = {
    0xFFE0, 16, {'J', 'F', 'I', 'F', 0}, 1, 1, 0, 1, 1, 0, 0,
};

SOF0infotype SOF0info = {
    0xFFC0, 17, 8, 0, 0, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1,
};

DHTinfotype DHTinfo;

const SOSinfotype SOSinfo = {
    0xFFDA, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 0x3F, 0,
};

namespace {

inline void put_byte(jpeg_stream_t *stream, BYTE b) {
    stream->pbitstream[stream->pos++] = b;
}

// Segment fields are big-endian whatever the host order.
inline void put_word(jpeg_stream_t *stream, WORD w) {
    put_byte(stream, static_cast<BYTE>(w >> 8));
    put_byte(stream, static_cast<BYTE>(w & 0xFF));
}

inline void put_bytes(jpeg_stream_t *stream, const BYTE *bytes, size_t n) {
    std::memcpy(stream->pbitstream + stream->pos, bytes, n);
    stream->pos += static_cast<DWORD>(n);
}

}  // namespace

void set_DHTinfo() {
    DHTinfo.marker = 0xFFC4;
    DHTinfo.length = 418;
    DHTinfo.HTYDCinfo = 0x00;
    std::memcpy(DHTinfo.YDC_nrcodes, std_dc_luminance_nrcodes + 1, 16);
    std::memcpy(DHTinfo.YDC_values, std_dc_luminance_values, 12);
    DHTinfo.HTYACinfo = 0x10;
    std::memcpy(DHTinfo.YAC_nrcodes, std_ac_luminance_nrcodes + 1, 16);
    std::memcpy(DHTinfo.YAC_values, std_ac_luminance_values, 162);
    DHTinfo.HTCbDCinfo = 0x01;
    std::memcpy(DHTinfo.CbDC_nrcodes, std_dc_chrominance_nrcodes + 1, 16);
    std::memcpy(DHTinfo.CbDC_values, std_dc_chrominance_values, 12);
    DHTinfo.HTCbACinfo = 0x11;
    std::memcpy(DHTinfo.CbAC_nrcodes, std_ac_chrominance_nrcodes + 1, 16);
    std::memcpy(DHTinfo.CbAC_values, std_ac_chrominance_values, 162);
}

void WriteHeader(cinfo_t *cinfo, int width, int height) {
    SOF0info.width = static_cast<WORD>(width);
    SOF0info.height = static_cast<WORD>(height);
    jpeg_stream_t *stream = &cinfo->jpeg_stream;
    put_word(stream, 0xFFD8);  // start of image
    write_APP0info(stream);
    write_DQTinfo(cinfo, stream);
    write_SOF0info(cinfo);
    write_DHTinfo(stream);
    write_SOSinfo(cinfo);
}

void write_APP0info(jpeg_stream_t *jpeg_stream) {
    put_word(jpeg_stream, APP0info.marker);
    put_word(jpeg_stream, APP0info.length);
    put_bytes(jpeg_stream, APP0info.JFIFsignature, 5);
    put_byte(jpeg_stream, APP0info.versionhi);
    put_byte(jpeg_stream, APP0info.versionlo);
    put_byte(jpeg_stream, APP0info.xyunits);
    put_word(jpeg_stream, APP0info.xdensity);
    put_word(jpeg_stream, APP0info.ydensity);
    put_byte(jpeg_stream, APP0info.thumbnwidth);
    put_byte(jpeg_stream, APP0info.thumbnheight);
}

int write_DQTinfo(cinfo_t *cinfo, jpeg_stream_t *stream) {
    const DWORD start = stream->pos;
    const DQTinfotype &dqt = cinfo->DQTinfo;
    put_word(stream, dqt.marker);
    put_word(stream, dqt.length);
    put_byte(stream, dqt.QTYinfo);
    put_bytes(stream, dqt.Ytable, 64);
    put_byte(stream, dqt.QTCbinfo);
    put_bytes(stream, dqt.Cbtable, 64);
    return static_cast<int>(stream->pos - start);
}

void write_SOF0info(cinfo_t *cinfo) {
    jpeg_stream_t *stream = &cinfo->jpeg_stream;
    const SOF0infotype &sof = SOF0info;
    put_word(stream, sof.marker);
    put_word(stream, sof.length);
    put_byte(stream, sof.precision);
    put_word(stream, sof.height);
    put_word(stream, sof.width);
    const BYTE tail[10] = {sof.nrofcomponents, sof.IdY,  sof.HVY,  sof.QTY,  sof.IdCb,
                           sof.HVCb,           sof.QTCb, sof.IdCr, sof.HVCr, sof.QTCr};
    put_bytes(stream, tail, sizeof tail);
}

int write_DHTinfo(jpeg_stream_t *stream) {
    const DWORD start = stream->pos;
    put_word(stream, DHTinfo.marker);
    put_word(stream, DHTinfo.length);
    put_byte(stream, DHTinfo.HTYDCinfo);
    put_bytes(stream, DHTinfo.YDC_nrcodes, 16);
    put_bytes(stream, DHTinfo.YDC_values, 12);
    put_byte(stream, DHTinfo.HTYACinfo);
    put_bytes(stream, DHTinfo.YAC_nrcodes, 16);
    put_bytes(stream, DHTinfo.YAC_values, 162);
    put_byte(stream, DHTinfo.HTCbDCinfo);
    put_bytes(stream, DHTinfo.CbDC_nrcodes, 16);
    put_bytes(stream, DHTinfo.CbDC_values, 12);
    put_byte(stream, DHTinfo.HTCbACinfo);
    put_bytes(stream, DHTinfo.CbAC_nrcodes, 16);
    put_bytes(stream, DHTinfo.CbAC_values, 162);
    return static_cast<int>(stream->pos - start);
}

void write_SOSinfo(cinfo_t *cinfo) {
    jpeg_stream_t *stream = &cinfo->jpeg_stream;
    put_word(stream, SOSinfo.marker);
    put_word(stream, SOSinfo.length);
    const BYTE tail[10] = {
        SOSinfo.nrofcomponents, SOSinfo.IdY,  SOSinfo.HTY, SOSinfo.IdCb, SOSinfo.HTCb,
        SOSinfo.IdCr,           SOSinfo.HTCr, SOSinfo.Ss,  SOSinfo.Se,   SOSinfo.Bf};
    put_bytes(stream, tail, sizeof tail);
}

void write_comment(jpeg_stream_t *jpeg_stream, const char *comment) {
    // The length field has 16 bits and counts itself: longer text is cut so
    // the segment stays well formed.
    const size_t length = std::min<size_t>(std::strlen(comment), 0xFFFF - 2);
    put_word(jpeg_stream, 0xFFFE);
    put_word(jpeg_stream, static_cast<WORD>(length + 2));
    put_bytes(jpeg_stream, reinterpret_cast<const BYTE *>(comment), length);
}
