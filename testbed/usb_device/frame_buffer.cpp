#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "stream_decoder.h"

namespace torvel::testbed {

void FrameBuffer::reset(int width, int height) {
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    rgb_.assign(static_cast<size_t>(width_) * height_ * 3, 0);
}

void FrameBuffer::draw_block(uint32_t block_index, const uint8_t *block_rgb, size_t stride) {
    if (empty()) return;
    const uint32_t columns = (static_cast<uint32_t>(width_) + kBlockWidth - 1) / kBlockWidth;
    const int x0 = static_cast<int>(block_index % columns) * kBlockWidth;
    const int y0 = static_cast<int>(block_index / columns) * kBlockHeight;
    if (y0 >= height_) return;
    const int w = std::min(kBlockWidth, width_ - x0);
    const int h = std::min(kBlockHeight, height_ - y0);
    for (int y = 0; y < h; ++y) {
        std::memcpy(pixel(x0, y0 + y), block_rgb + static_cast<size_t>(y) * stride,
                    static_cast<size_t>(w) * 3);
    }
}

bool write_png(const FrameBuffer &frame, const std::string &path, std::string *error) {
    if (frame.empty()) {
        if (error) *error = "cannot write an empty frame to " + path;
        return false;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(frame.width());
    image.height = static_cast<png_uint_32>(frame.height());
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, frame.rgb().data(), frame.width() * 3,
                                 nullptr)) {
        if (error) *error = "cannot write " + path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

namespace {
constexpr uint64_t kMaxPngPixels = uint64_t{65536} * kBlockWidth * kBlockHeight;
}  // namespace

bool read_png(const std::string &path, FrameBuffer &frame, std::string *error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        if (error) *error = "cannot read " + path + ": " + image.message;
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    // Checked before the frame is allocated: a few bytes of header can claim
    // 65535 x 65535 pixels (13 GB). No stream addresses more than 65536
    // blocks of 32 x 8 pixels, so no frame here is larger than that.
    if (image.width > 65535 || image.height > 65535 ||
        static_cast<uint64_t>(image.width) * image.height > kMaxPngPixels) {
        if (error) *error = path + ": image too large";
        png_image_free(&image);
        return false;
    }
    frame.reset(static_cast<int>(image.width), static_cast<int>(image.height));
    if (!png_image_finish_read(&image, nullptr, frame.rgb().data(), frame.width() * 3, nullptr)) {
        if (error) *error = "cannot decode " + path + ": " + image.message;
        png_image_free(&image);
        frame.reset(0, 0);
        return false;
    }
    return true;
}

double psnr(const FrameBuffer &a, const FrameBuffer &b) {
    if (a.width() != b.width() || a.height() != b.height() || a.empty()) return -1.0;
    const auto pa = a.rgb();
    const auto pb = b.rgb();
    double sum = 0.0;
    for (size_t i = 0; i < pa.size(); ++i) {
        const double d = static_cast<double>(pa[i]) - static_cast<double>(pb[i]);
        sum += d * d;
    }
    if (sum == 0.0) return std::numeric_limits<double>::infinity();
    const double mse = sum / static_cast<double>(pa.size());
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace torvel::testbed
