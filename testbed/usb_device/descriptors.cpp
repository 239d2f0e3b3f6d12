// What the emulated device tells about itself before any vendor request:
// USB descriptors for sysfs and GET_DESCRIPTOR, and its EDID.
#include <algorithm>
#include <cstring>

#include "emulator_internal.h"

namespace torvel::testbed {
namespace {

void put(std::vector<uint8_t> &out, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) out.push_back(b);
}

void put_le16(std::vector<uint8_t> &out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void fix_checksum(uint8_t *block) {
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += block[i];
    block[127] = static_cast<uint8_t>((256 - sum % 256) % 256);
}

// An 18-byte detailed timing descriptor, 60 Hz. 1920 x 1080 uses the
// CEA-861 timing; other sizes use reduced blanking (160 pixels, 5 % lines).
void detailed_timing(uint8_t *d, int width, int height) {
    int hblank = 160, hfront = 48, hsync = 32;
    int vblank = std::max(23, height / 20), vfront = 3, vsync = 5;
    if (width == 1920 && height == 1080) {
        hblank = 280;
        hfront = 88;
        hsync = 44;
        vblank = 45;
        vfront = 4;
        vsync = 5;
    }
    const long clock_10khz = static_cast<long>(width + hblank) * (height + vblank) * 60 / 10000;
    d[0] = static_cast<uint8_t>(clock_10khz);
    d[1] = static_cast<uint8_t>(clock_10khz >> 8);
    d[2] = static_cast<uint8_t>(width);
    d[3] = static_cast<uint8_t>(hblank);
    d[4] = static_cast<uint8_t>((width >> 8 & 0xF) << 4 | (hblank >> 8 & 0xF));
    d[5] = static_cast<uint8_t>(height);
    d[6] = static_cast<uint8_t>(vblank);
    d[7] = static_cast<uint8_t>((height >> 8 & 0xF) << 4 | (vblank >> 8 & 0xF));
    d[8] = static_cast<uint8_t>(hfront);
    d[9] = static_cast<uint8_t>(hsync);
    d[10] = static_cast<uint8_t>((vfront & 0xF) << 4 | (vsync & 0xF));
    d[11] = static_cast<uint8_t>((hfront >> 8 & 3) << 6 | (hsync >> 8 & 3) << 4 |
                                 (vfront >> 4 & 3) << 2 | (vsync >> 4 & 3));
    const int mm_w = 527, mm_h = 296;
    d[12] = static_cast<uint8_t>(mm_w);
    d[13] = static_cast<uint8_t>(mm_h);
    d[14] = static_cast<uint8_t>((mm_w >> 8 & 0xF) << 4 | (mm_h >> 8 & 0xF));
    d[15] = 0;
    d[16] = 0;
    d[17] = 0x1E;  // digital separate sync, both polarities positive
}

void text_descriptor(uint8_t *d, uint8_t tag, const char *text) {
    std::memset(d, 0, 18);
    d[3] = tag;
    size_t i = 0;
    for (; text[i] && i < 13; ++i) d[5 + i] = static_cast<uint8_t>(text[i]);
    if (i < 13) d[5 + i++] = '\n';
    for (; i < 13; ++i) d[5 + i] = ' ';
}

}  // namespace

std::vector<uint8_t> make_edid(const EdidOptions &options) {
    std::vector<uint8_t> edid(options.extension_block ? 256 : 128, 0);
    uint8_t *b = edid.data();
    const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::memcpy(b, header, 8);
    // Manufacturer "TVL" in three 5-bit letters, big-endian.
    const unsigned id = ('T' - '@') << 10 | ('V' - '@') << 5 | ('L' - '@');
    b[8] = static_cast<uint8_t>(id >> 8);
    b[9] = static_cast<uint8_t>(id);
    b[10] = 0x01;  // product code
    b[12] = 0x01;  // serial number
    b[16] = 1;     // week
    b[17] = 34;    // year 2024
    b[18] = 1;     // EDID 1.3
    b[19] = 3;
    b[20] = 0x80;  // digital input
    b[21] = 53;    // cm
    b[22] = 30;
    b[23] = 120;   // gamma 2.2
    b[24] = 0x0A;  // RGB colour, preferred timing in the first descriptor
    // sRGB chromaticity.
    const uint8_t chroma[10] = {0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54};
    std::memcpy(b + 25, chroma, 10);
    b[35] = 0x21;                               // 640 x 480 and 800 x 600 at 60 Hz
    b[36] = 0x08;                               // 1024 x 768 at 60 Hz
    for (int i = 38; i < 54; ++i) b[i] = 0x01;  // no standard timings
    detailed_timing(b + 54, options.width, options.height);
    // Range limits: 56-76 Hz vertical, 30-83 kHz horizontal, 170 MHz.
    const uint8_t range[18] = {0,  0, 0,    0xFD, 0,    56,   76,   30,   83,
                               17, 0, 0x0A, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    std::memcpy(b + 72, range, 18);
    text_descriptor(b + 90, 0xFC, "TORVEL USB");
    text_descriptor(b + 108, 0xFF, "0000001");
    b[126] = options.extension_block ? 1 : 0;
    fix_checksum(b);
    if (options.extension_block) {
        uint8_t *x = b + 128;
        x[0] = 0x02;  // CEA-861
        x[1] = 0x03;
        x[2] = 4;  // no data blocks: detailed timings start at byte 4
        x[3] = 0;
        detailed_timing(x + 4, options.width, options.height);
        fix_checksum(x);
    }
    return edid;
}

std::vector<uint8_t> usb_descriptors(uint16_t vendor_id, uint16_t product_id) {
    std::vector<uint8_t> d;
    // Device descriptor: USB 2.0, class per interface, 64-byte EP0.
    put(d, {18, 0x01});
    put_le16(d, 0x0200);
    put(d, {0x00, 0x00, 0x00, 64});
    put_le16(d, vendor_id);
    put_le16(d, product_id);
    put_le16(d, 0x0100);
    put(d, {1, 2, 3, 1});
    // Configuration 1: one vendor interface with the bulk OUT endpoint 0x01.
    put(d, {9, 0x02});
    put_le16(d, 9 + 9 + 7);
    put(d, {1, 1, 0, 0x80, 250});
    put(d, {9, 0x04, 0, 0, 1, 0xFF, 0x00, 0x00, 0});
    put(d, {7, 0x05, kBulkEndpoint, 0x02});
    put_le16(d, 512);
    d.push_back(0);
    return d;
}

std::vector<uint8_t> string_descriptor(const std::string &text) {
    std::vector<uint8_t> d;
    const size_t n = std::min<size_t>(text.size(), 126);
    d.push_back(static_cast<uint8_t>(2 + 2 * n));
    d.push_back(0x03);
    for (size_t i = 0; i < n; ++i) put_le16(d, static_cast<uint8_t>(text[i]));
    return d;
}

}  // namespace torvel::testbed
