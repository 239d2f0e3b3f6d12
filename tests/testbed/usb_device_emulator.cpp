// A plain libusb client against the emulated USB display device, in the same
// process (the binary links libumockdev-preload first).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device_ids.h"
#include "reference_block_encoder.h"
#include "usb_device_emulator.h"

extern char **environ;

#if defined(__SANITIZE_THREAD__)
// umockdev, GLib and libudev synchronise through primitives ThreadSanitizer
// does not see (they are not instrumented): their own hand-offs between the
// umockdev worker and the caller read as races.
extern "C" const char *__tsan_default_suppressions() {
    return "race:libumockdev.so.0\nrace:libglib-2.0.so.0\nrace:libgio-2.0.so.0\n"
           "race:libudev.so.1\n";
}
#endif

namespace tb = torvel::testbed;
using namespace std::chrono_literals;

namespace {

tb::UsbTestbed *g_testbed = nullptr;

class TestbedEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string error;
        testbed_ = tb::UsbTestbed::create(&error);
        ASSERT_TRUE(testbed_) << error;
        g_testbed = testbed_.get();
    }
    void TearDown() override {
        g_testbed = nullptr;
        testbed_.reset();
    }

  private:
    std::unique_ptr<tb::UsbTestbed> testbed_;
};

const ::testing::Environment *const g_environment =
    ::testing::AddGlobalTestEnvironment(new TestbedEnvironment);

constexpr unsigned kTimeoutMs = 500;

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class UsbDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(g_testbed, nullptr);
        ASSERT_EQ(libusb_init(&ctx_), 0);
    }

    void TearDown() override {
        for (auto *h : handles_) libusb_close(h);
        handles_.clear();
        if (ctx_) libusb_exit(ctx_);
        for (auto *d : devices_) d->unplug();
        // Clients are seen gone by the worker's periodic check.
        EXPECT_TRUE(g_testbed->wait_until([] { return g_testbed->open_clients() == 0; }, 5s));
    }

    tb::EmulatedDevice *add(const tb::DeviceConfig &config = {}, bool plug = true) {
        std::string error;
        auto *d = g_testbed->add_device(config, plug, &error);
        EXPECT_NE(d, nullptr) << error;
        if (d) devices_.push_back(d);
        return d;
    }

    libusb_device *find(const tb::EmulatedDevice *d, libusb_device **&list) {
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_bus_number(list[i]) == d->bus_number() &&
                libusb_get_device_address(list[i]) == d->device_address()) {
                return list[i];
            }
        }
        return nullptr;
    }

    libusb_device_handle *open(const tb::EmulatedDevice *d) {
        libusb_device_handle *h = nullptr;
        libusb_device **list = nullptr;
        libusb_device *dev = find(d, list);
        EXPECT_NE(dev, nullptr) << "device " << d->devnode() << " not enumerated";
        if (dev) {
            EXPECT_EQ(libusb_open(dev, &h), 0);
        }
        libusb_free_device_list(list, 1);
        if (h) handles_.push_back(h);
        return h;
    }

    void close(libusb_device_handle *h) {
        std::erase(handles_, h);
        libusb_close(h);
    }

    int in(libusb_device_handle *h, uint8_t request, uint16_t value, uint8_t *buf, uint16_t length,
           unsigned timeout = kTimeoutMs) {
        return libusb_control_transfer(h, 0xC1, request, value, 0, buf, length, timeout);
    }
    int out(libusb_device_handle *h, uint8_t request, uint16_t value, const uint8_t *buf,
            uint16_t length, unsigned timeout = kTimeoutMs) {
        return libusb_control_transfer(h, 0x41, request, value, 0, const_cast<uint8_t *>(buf),
                                       length, timeout);
    }
    int set_resolution(libusb_device_handle *h, uint16_t w, uint16_t hgt) {
        const uint8_t p[4] = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                              static_cast<uint8_t>(hgt), static_cast<uint8_t>(hgt >> 8)};
        return out(h, tb::request::kSetResolution, 0, p, 4);
    }
    int set_quant(libusb_device_handle *h, const tb::QuantBlob &blob, uint16_t index = 1) {
        return out(h, tb::request::kSetQuantTable, index, blob.data(), blob.size());
    }
    int bulk(libusb_device_handle *h, std::vector<uint8_t> data, unsigned timeout = kTimeoutMs) {
        int done = 0;
        const int r = libusb_bulk_transfer(h, tb::kBulkEndpoint, data.data(),
                                           static_cast<int>(data.size()), &done, timeout);
        return r < 0 ? r : done;
    }

    libusb_context *ctx_ = nullptr;
    std::vector<libusb_device_handle *> handles_;
    std::vector<tb::EmulatedDevice *> devices_;
};

std::vector<uint8_t> solid(uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb(tb::kBlockWidth * tb::kBlockHeight * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    return rgb;
}

std::vector<uint8_t> solid_block_data(uint8_t r, uint8_t g, uint8_t b) {
    std::string error;
    auto data = tb::reference_encode_block(solid(r, g, b).data(), tb::make_quant_blob(90), &error);
    EXPECT_FALSE(data.empty()) << error;
    return data;
}

// A block of coarse noise: its data is a few hundred bytes.
std::vector<uint8_t> noisy_block_data(uint32_t seed) {
    std::vector<uint8_t> rgb(tb::kBlockWidth * tb::kBlockHeight * 3);
    for (auto &v : rgb) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<uint8_t>(seed >> 24);
    }
    std::string error;
    auto data = tb::reference_encode_block(rgb.data(), tb::make_quant_blob(90), &error);
    EXPECT_FALSE(data.empty()) << error;
    return data;
}

// A transfer submitted without waiting, and how it ended.
struct Pending {
    libusb_transfer *transfer = nullptr;
    bool done = false;
    int status = -1;
    int actual = -1;
    Pending() = default;
    Pending(const Pending &) = delete;
    ~Pending() {
        if (transfer) libusb_free_transfer(transfer);
    }
    bool submit(libusb_device_handle *h, std::vector<uint8_t> &data, unsigned timeout) {
        transfer = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(
            transfer, h, tb::kBulkEndpoint, data.data(), static_cast<int>(data.size()),
            [](libusb_transfer *x) {
                auto *p = static_cast<Pending *>(x->user_data);
                p->done = true;
                p->status = x->status;
                p->actual = x->actual_length;
            },
            this, timeout);
        return libusb_submit_transfer(transfer) == 0;
    }
};

bool pump_until(libusb_context *ctx, const std::function<bool()> &done,
                std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, 10000};
        libusb_handle_events_timeout(ctx, &tv);
    }
    return done();
}

// How many whole records of `records` lie in the first `bytes` of their stream.
size_t whole_records(const std::vector<tb::StreamRecord> &records, size_t bytes) {
    size_t at = 0, n = 0;
    for (const auto &r : records) {
        at += 4 + (r.data.size() + 3) / 4 * 4;
        if (at > bytes) break;
        ++n;
    }
    return n;
}

bool contains(const std::vector<std::string> &lines, const std::string &needle) {
    for (const auto &l : lines) {
        if (l.find(needle) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

TEST_F(UsbDevice, EnumeratedByVendorAndProductIdWithItsDescriptors) {
    auto *display = add({.model = 2});
    auto *foreign = add({.product_id = 0x7dff});
    ASSERT_TRUE(display && foreign);
    libusb_device **list = nullptr;
    libusb_device *dev = find(display, list);
    ASSERT_NE(dev, nullptr);
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &desc), 0);
    EXPECT_EQ(desc.idVendor, VENDOR_ID);
    EXPECT_EQ(desc.idProduct, PRODUCT_ID[2]);
    EXPECT_EQ(libusb_get_device_speed(dev), LIBUSB_SPEED_HIGH);
    libusb_config_descriptor *config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const auto &alt = config->interface[0].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 1);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, tb::kBulkEndpoint);
    EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    libusb_free_config_descriptor(config);
    libusb_free_device_list(list, 1);

    dev = find(foreign, list);
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(libusb_get_device_descriptor(dev, &desc), 0);
    EXPECT_EQ(desc.idProduct, 0x7dff);
    libusb_free_device_list(list, 1);

    libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx_, VENDOR_ID, PRODUCT_ID[2]);
    ASSERT_NE(h, nullptr);
    handles_.push_back(h);
    unsigned char text[64] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(h, 1, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "Torvel");
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_release_interface(h, 0), 0);
    EXPECT_EQ(libusb_clear_halt(h, tb::kBulkEndpoint), 0);
    EXPECT_EQ(display->state().counters.clear_halts, 1u);
    EXPECT_TRUE(g_testbed->wait_until([&] { return display->state().open_clients == 1; }, 2s));
}

TEST_F(UsbDevice, AnswersEveryVendorRequest) {
    tb::DeviceConfig config;
    config.model = 4;
    config.feature = 2;
    config.orientation = 3;
    config.mirror = 1;
    config.product_type = 0x42;
    config.busy_statuses = {1, 7};
    config.status_high_byte = 1;
    auto *d = add(config);
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    uint8_t buf[256] = {};

    // Status: the programmed busy answers, then ready; only byte 0 counts.
    for (uint8_t expected : {1, 7, 0, 0}) {
        ASSERT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2), 2);
        EXPECT_EQ(buf[0], expected);
        EXPECT_EQ(buf[1], 1);
    }
    EXPECT_EQ(d->state().counters.status_polls, 4u);

    ASSERT_EQ(in(h, tb::request::kGetEdid, 0, buf, 2), 2);
    EXPECT_EQ(buf[0] | buf[1] << 8, 128);
    ASSERT_EQ(in(h, tb::request::kGetEdid, 1, buf, 128), 128);
    const auto edid = tb::make_edid();
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 128), edid);
    unsigned sum = 0;
    for (int i = 0; i < 128; ++i) sum += buf[i];
    EXPECT_EQ(sum % 256, 0u);
    EXPECT_EQ(buf[126], 0);  // no extension
    // 1920 x 1080 in the first detailed timing.
    EXPECT_EQ(buf[56] | (buf[58] >> 4) << 8, 1920);
    EXPECT_EQ(buf[59] | (buf[61] >> 4) << 8, 1080);

    ASSERT_EQ(in(h, tb::request::kGetMonitorOrient, 0, buf, 1), 1);
    EXPECT_EQ(buf[0], 3);
    ASSERT_EQ(in(h, tb::request::kGetMonitorFeature, 0, buf, 1), 1);
    EXPECT_EQ(buf[0], 2);
    ASSERT_EQ(in(h, tb::request::kGetMonitorMirror, 0, buf, 1), 1);
    EXPECT_EQ(buf[0], 1);
    ASSERT_EQ(in(h, tb::request::kGetProductType, 0, buf, 1), 1);
    EXPECT_EQ(buf[0], 0x42);

    // No id yet, then a stored one (little-endian).
    ASSERT_EQ(in(h, tb::request::kGetDeviceId, 0, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    const uint8_t id[4] = {0x01, 0x02, 0x00, 0x00};
    ASSERT_EQ(out(h, tb::request::kSetDeviceId, 0, id, 4), 4);
    ASSERT_EQ(in(h, tb::request::kGetDeviceId, 0, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), std::vector<uint8_t>(id, id + 4));

    // Resolutions, display off included.
    ASSERT_EQ(in(h, tb::request::kGetResolution, 0, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    ASSERT_EQ(set_resolution(h, 1920, 1080), 4);
    ASSERT_EQ(in(h, tb::request::kGetResolution, 0, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0x80, 0x07, 0x38, 0x04}));
    ASSERT_EQ(set_resolution(h, 0, 0), 4);

    const auto blob = tb::make_quant_blob(90);
    ASSERT_EQ(set_quant(h, blob), 138);

    const auto s = d->state();
    EXPECT_EQ(s.device_id, 0x201u);
    EXPECT_EQ(s.ids_set, (std::vector<uint32_t>{0x201}));
    ASSERT_EQ(s.resolutions_set.size(), 2u);
    EXPECT_EQ(s.resolutions_set[0], (tb::Resolution{1920, 1080}));
    EXPECT_EQ(s.resolutions_set[1], (tb::Resolution{0, 0}));
    EXPECT_TRUE(s.display_off);
    EXPECT_EQ(s.quant_index, 1);
    EXPECT_EQ(s.quant_blob, std::vector<uint8_t>(blob.begin(), blob.end()));
    EXPECT_EQ(s.counters.stalls, 0u);
    EXPECT_EQ(s.counters.control_requests, 18u);

    // Live changes are seen by the next request.
    d->set_orientation(1);
    d->set_mirror(0);
    d->set_feature(4);
    ASSERT_EQ(in(h, tb::request::kGetMonitorOrient, 0, buf, 1), 1);
    EXPECT_EQ(buf[0], 1);
    ASSERT_EQ(in(h, tb::request::kGetMonitorMirror, 0, buf, 1), 1);
    EXPECT_EQ(buf[0], 0);
    ASSERT_EQ(in(h, tb::request::kGetMonitorFeature, 0, buf, 1), 1);
    EXPECT_EQ(buf[0], 4);
}

TEST_F(UsbDevice, MalformedRequestsStall) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    uint8_t buf[256] = {};
    // Unknown code, wrong request type, wrong length, wrong value, wrong index.
    EXPECT_EQ(in(h, 0x42, 0, buf, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, tb::request::kGetStatus, 0, 0, buf, 2, kTimeoutMs),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(h, tb::request::kGetStatus, 0, buf, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(h, tb::request::kGetDeviceId, 0, buf, 8), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(h, tb::request::kGetMonitorOrient, 1, buf, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, tb::request::kGetStatus, 0, 1, buf, 2, kTimeoutMs),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(out(h, tb::request::kSetResolution, 0, buf, 3), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(h, tb::request::kGetEdid, 2, buf, 128), LIBUSB_ERROR_PIPE);  // no bank 2
    EXPECT_EQ(in(h, tb::request::kGetEdid, 1, buf, 64), LIBUSB_ERROR_PIPE);
    // A quantisation blob of the wrong length or form.
    auto blob = tb::make_quant_blob(90);
    EXPECT_EQ(out(h, tb::request::kSetQuantTable, 1, blob.data(), 137), LIBUSB_ERROR_PIPE);
    blob[70] = 0xDC;
    EXPECT_EQ(set_quant(h, blob), LIBUSB_ERROR_PIPE);
    const auto s = d->state();
    EXPECT_EQ(s.counters.stalls, 11u);
    EXPECT_EQ(s.quant_index, -1);
    EXPECT_EQ(s.counters.format_errors, 1u);
    EXPECT_TRUE(contains(s.violations, "quantisation blob: bytes 69-73")) << s.violations.size();
    // The device still answers afterwards.
    EXPECT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2), 2);
}

TEST_F(UsbDevice, EdidVariants) {
    tb::DeviceConfig config;
    config.edid = tb::make_edid({.width = 1280, .height = 720, .extension_block = true});
    config.edid_size = 300;  // a lie
    config.failing_edid_bank = 2;
    auto *d = add(config);
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    uint8_t buf[128];
    ASSERT_EQ(in(h, tb::request::kGetEdid, 0, buf, 2), 2);
    EXPECT_EQ(buf[0] | buf[1] << 8, 300);
    ASSERT_EQ(in(h, tb::request::kGetEdid, 1, buf, 128), 128);
    EXPECT_EQ(buf[126], 1);
    EXPECT_EQ(buf[56] | (buf[58] >> 4) << 8, 1280);
    EXPECT_EQ(in(h, tb::request::kGetEdid, 2, buf, 128), LIBUSB_ERROR_PIPE);
    // The extension block itself is well formed.
    const auto &e = config.edid;
    unsigned sum = 0;
    for (int i = 128; i < 256; ++i) sum += e[i];
    EXPECT_EQ(sum % 256, 0u);
    EXPECT_EQ(e[128], 0x02);
}

TEST_F(UsbDevice, ControlFaults) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    uint8_t buf[8] = {};
    d->fail_control(tb::request::kGetDeviceId, tb::ControlFault::kStall, 2);
    EXPECT_EQ(in(h, tb::request::kGetDeviceId, 0, buf, 4), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(h, tb::request::kGetDeviceId, 0, buf, 4), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(h, tb::request::kGetDeviceId, 0, buf, 4), 4);

    d->fail_control(tb::request::kGetResolution, tb::ControlFault::kShortReply, 1, 2);
    EXPECT_EQ(in(h, tb::request::kGetResolution, 0, buf, 4), 2);
    d->fail_control(tb::request::kGetMonitorFeature, tb::ControlFault::kEmptyReply, 1);
    EXPECT_EQ(in(h, tb::request::kGetMonitorFeature, 0, buf, 1), 0);
    d->fail_control(tb::request::kSetResolution, tb::ControlFault::kEmptyReply, 1);
    const uint8_t res[4] = {0x80, 0x07, 0x38, 0x04};
    EXPECT_EQ(out(h, tb::request::kSetResolution, 0, res, 4), 0);
    EXPECT_TRUE(d->state().resolutions_set.empty());  // the device took nothing

    // A request that is never answered ends with the client's time-out.
    d->fail_control(tb::request::kGetStatus, tb::ControlFault::kTimeout, tb::kForever);
    EXPECT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2, 100), LIBUSB_ERROR_TIMEOUT);
    d->clear_faults();
    EXPECT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2), 2);
    EXPECT_EQ(d->state().urbs_in_flight, 0);

    d->set_busy({}, true);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2), 2);
        EXPECT_EQ(buf[0], 1);
    }
    d->set_busy({}, false);
    ASSERT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2), 2);
    EXPECT_EQ(buf[0], 0);
}

TEST_F(UsbDevice, DecodesAHandBuiltStreamToTheExpectedPixels) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(set_resolution(h, 100, 20), 4);
    ASSERT_EQ(set_quant(h, tb::make_quant_blob(90)), 138);
    // 4 x 3 grid; the right-most column and the bottom row are clipped.
    std::vector<tb::StreamRecord> recs = {{0, solid_block_data(255, 0, 0)},
                                          {3, solid_block_data(0, 255, 0)},
                                          {5, solid_block_data(0, 0, 255)},
                                          {11, solid_block_data(255, 255, 255)}};
    auto stream = tb::build_stream(recs, true);
    ASSERT_EQ(bulk(h, stream), static_cast<int>(stream.size()));
    ASSERT_TRUE(d->wait_idle(5s));
    const auto s = d->state();
    EXPECT_EQ(s.counters.transfers, 1u);
    EXPECT_EQ(s.counters.bytes, stream.size());
    EXPECT_EQ(s.counters.frames, 1u);
    EXPECT_EQ(s.counters.blocks, 4u);
    EXPECT_EQ(s.counters.format_errors, 0u);
    EXPECT_EQ(s.counters.decode_errors, 0u);
    const auto f = d->frame();
    ASSERT_EQ(f.width(), 100);
    ASSERT_EQ(f.height(), 20);
    auto near = [&](int x, int y, int r, int g, int b) {
        const uint8_t *p = f.pixel(x, y);
        EXPECT_NEAR(p[0], r, 3) << x << "," << y;
        EXPECT_NEAR(p[1], g, 3) << x << "," << y;
        EXPECT_NEAR(p[2], b, 3) << x << "," << y;
    };
    near(0, 0, 255, 0, 0);
    near(31, 7, 255, 0, 0);
    near(32, 0, 0, 0, 0);  // never sent: black
    near(99, 7, 0, 255, 0);
    near(32, 8, 0, 0, 255);
    near(96, 19, 255, 255, 255);
    const auto png = std::filesystem::temp_directory_path() /
                     ("torvel-usbdev-" + std::to_string(::getpid()) + ".png");
    std::string error;
    ASSERT_TRUE(d->write_png(png, &error)) << error;
    tb::FrameBuffer back;
    ASSERT_TRUE(tb::read_png(png, back, &error)) << error;
    std::filesystem::remove(png);
    EXPECT_TRUE(std::isinf(tb::psnr(f, back)));

    // A second frame updates one block; the rest stays.
    std::vector<tb::StreamRecord> update = {{0, solid_block_data(0, 0, 0)}};
    ASSERT_GT(bulk(h, tb::build_stream(update, true)), 0);
    ASSERT_TRUE(d->wait_idle(5s));
    const auto g = d->frame();
    EXPECT_NEAR(g.pixel(0, 0)[0], 0, 3);
    EXPECT_NEAR(g.pixel(99, 7)[1], 255, 3);
}

TEST_F(UsbDevice, ReportsStreamViolations) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    std::vector<tb::StreamRecord> recs = {{1, solid_block_data(9, 9, 9)}};
    const auto good = tb::build_stream(recs, true);

    ASSERT_GT(bulk(h, good), 0);  // before any resolution and table
    ASSERT_TRUE(d->wait_idle(5s));
    auto s = d->state();
    EXPECT_TRUE(contains(s.violations, "stream received before any resolution was set"));
    EXPECT_TRUE(contains(s.violations, "no quantisation table at index 1"));
    EXPECT_EQ(s.counters.frames, 0u);
    EXPECT_EQ(s.counters.blocks, 0u);

    ASSERT_EQ(set_resolution(h, 64, 16), 4);
    ASSERT_EQ(set_quant(h, tb::make_quant_blob(90)), 138);
    auto no_trailing = good;
    no_trailing.pop_back();
    ASSERT_GT(bulk(h, no_trailing), 0);
    auto bad_id = good;
    bad_id[3] = 0xC8;  // id 12
    ASSERT_GT(bulk(h, bad_id), 0);
    std::vector<tb::StreamRecord> beyond = {{8, solid_block_data(9, 9, 9)}};
    ASSERT_GT(bulk(h, tb::build_stream(beyond, true)), 0);
    ASSERT_GT(bulk(h, good), 0);
    ASSERT_TRUE(d->wait_idle(5s));
    s = d->state();
    EXPECT_TRUE(
        contains(s.violations, "transfer length 128 is not one more than a multiple of 128"));
    EXPECT_TRUE(contains(s.violations, "header id 12, expected 13"));
    EXPECT_TRUE(contains(s.violations, "block 8 is beyond the 2 x 2 grid of 64 x 16"));
    EXPECT_EQ(s.counters.frames, 1u);  // only the good one
    EXPECT_EQ(s.counters.blocks, 2u);  // the short transfer's records are still drawn

    ASSERT_EQ(set_resolution(h, 0, 0), 4);
    ASSERT_GT(bulk(h, good), 0);
    ASSERT_TRUE(d->wait_idle(5s));
    s = d->state();
    EXPECT_TRUE(contains(s.violations, "stream received while the display is off (0 x 0)"));
    EXPECT_EQ(s.counters.transfers, 6u);
    EXPECT_GE(s.counters.format_errors, 6u);

    // The events carry the same lines.
    bool seen = false;
    tb::Event e;
    while (g_testbed->next_event(e, 0ms)) {
        if (e.kind == tb::EventKind::kViolation && e.device == d->index() &&
            e.text.find("header id 12") != std::string::npos) {
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
}

TEST_F(UsbDevice, BulkFaults) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(set_resolution(h, 64, 8), 4);
    ASSERT_EQ(set_quant(h, tb::make_quant_blob(90)), 138);
    std::vector<tb::StreamRecord> recs = {{0, solid_block_data(1, 2, 3)}};
    const auto stream = tb::build_stream(recs, true);

    // A stall halts the endpoint until it is cleared.
    d->fail_bulk(tb::BulkFault::kStall, 1);
    EXPECT_EQ(bulk(h, stream), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(bulk(h, stream), LIBUSB_ERROR_PIPE);
    EXPECT_TRUE(d->state().halted);
    EXPECT_EQ(libusb_clear_halt(h, tb::kBulkEndpoint), 0);
    EXPECT_FALSE(d->state().halted);
    d->fail_bulk(tb::BulkFault::kError, 1);
    EXPECT_EQ(bulk(h, stream), LIBUSB_ERROR_IO);
    d->fail_bulk(tb::BulkFault::kNoDevice, 1);
    EXPECT_EQ(bulk(h, stream), LIBUSB_ERROR_NO_DEVICE);
    d->fail_bulk(tb::BulkFault::kTimeout, 1);
    EXPECT_EQ(bulk(h, stream, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(bulk(h, stream), static_cast<int>(stream.size()));

    d->hold_bulk(true);
    EXPECT_EQ(bulk(h, stream, 100), LIBUSB_ERROR_TIMEOUT);
    // Released before the client gives up: completes.
    std::thread release([d] {
        std::this_thread::sleep_for(50ms);
        d->hold_bulk(false);
    });
    EXPECT_EQ(bulk(h, stream, 5000), static_cast<int>(stream.size()));
    release.join();

    d->set_bulk_delay(40ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bulk(h, stream, 5000), static_cast<int>(stream.size()));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
    d->set_bulk_delay({});

    ASSERT_TRUE(d->wait_idle(5s));
    const auto s = d->state();
    EXPECT_EQ(s.counters.transfers, 9u);
    EXPECT_EQ(s.counters.failed_transfers, 6u);
    EXPECT_EQ(s.counters.frames, 3u);
    EXPECT_EQ(s.counters.halts, 1u);
    EXPECT_EQ(s.counters.clear_halts, 1u);
    EXPECT_EQ(s.counters.clear_halts_active, 0u);
    EXPECT_EQ(s.urbs_in_flight, 0);
}

TEST_F(UsbDevice, UsbfsMemoryIsBoundedOverAllDevices) {
    g_testbed->set_usbfs_memory_mb(1);
    std::ifstream param(g_testbed->sys_dir() + "/module/usbcore/parameters/usbfs_memory_mb");
    std::string shown;
    std::getline(param, shown);
    EXPECT_EQ(shown, "1");
    auto *a = add();
    auto *b = add();
    auto *ha = open(a);
    auto *hb = open(b);
    ASSERT_TRUE(ha && hb);
    a->hold_bulk(true);
    b->hold_bulk(true);
    std::vector<uint8_t> data(600 * 1024 + 1, 0xFF);
    Pending first, refused, later;
    ASSERT_TRUE(first.submit(ha, data, 0));
    // The limit is the machine's, not the device's: the other device's
    // transfer does not fit beside the first.
    EXPECT_FALSE(refused.submit(hb, data, 0));
    EXPECT_EQ(libusb_submit_transfer(refused.transfer), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(b->state().counters.submit_nomem, 2u);
    EXPECT_EQ(a->state().counters.submit_nomem, 0u);
    EXPECT_GE(g_testbed->usbfs_memory_used(), data.size());
    // A transfer's memory is given back when it is reaped.
    ASSERT_EQ(libusb_cancel_transfer(first.transfer), 0);
    ASSERT_TRUE(pump_until(ctx_, [&] { return first.done; }));
    EXPECT_EQ(g_testbed->usbfs_memory_used(), 0u);
    EXPECT_TRUE(later.submit(hb, data, 0));
    ASSERT_EQ(libusb_cancel_transfer(later.transfer), 0);
    ASSERT_TRUE(pump_until(ctx_, [&] { return later.done; }));
    g_testbed->set_usbfs_memory_mb(16);
}

TEST_F(UsbDevice, CutTransfersDeliverTheirWholeRecords) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(set_resolution(h, 640, 8), 4);
    ASSERT_EQ(set_quant(h, tb::make_quant_blob(90)), 138);
    std::vector<tb::StreamRecord> recs;
    for (uint32_t i = 0; i < 20; ++i) recs.push_back({i, noisy_block_data(i + 1)});
    auto stream = tb::build_stream(recs, true);
    ASSERT_GT(stream.size(), 4096u);

    // A partial fault: half of it arrives, then libusb gives up on it.
    d->fail_bulk(tb::BulkFault::kPartial, 1);
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, tb::kBulkEndpoint, stream.data(),
                                   static_cast<int>(stream.size()), &done, 200),
              LIBUSB_ERROR_TIMEOUT);
    const size_t half = stream.size() / 2 / 512 * 512;
    EXPECT_EQ(done, static_cast<int>(half));
    ASSERT_TRUE(d->wait_idle(5s));
    auto s = d->state();
    EXPECT_EQ(s.counters.partial_transfers, 1u);
    EXPECT_EQ(s.counters.frames, 0u);
    EXPECT_EQ(s.counters.blocks, whole_records(recs, half));
    EXPECT_EQ(s.counters.format_errors, 0u) << (s.violations.empty() ? "" : s.violations[0]);
    const size_t first_missing = whole_records(recs, half);
    ASSERT_LT(first_missing, recs.size());
    const tb::FrameBuffer shown = d->frame();
    const uint8_t *black = shown.pixel(static_cast<int>(first_missing) * 32 + 16, 4);
    EXPECT_EQ(black[0] | black[1] | black[2], 0);

    // A slow link: what crossed it before the time-out arrives.
    d->set_link_rate(20000.0);
    EXPECT_EQ(libusb_bulk_transfer(h, tb::kBulkEndpoint, stream.data(),
                                   static_cast<int>(stream.size()), &done, 150),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_GT(done, 0);
    EXPECT_LT(done, static_cast<int>(stream.size()));
    EXPECT_EQ(done % 512, 0);
    d->set_link_rate(0);
    ASSERT_TRUE(d->wait_idle(5s));
    s = d->state();
    EXPECT_EQ(s.counters.partial_transfers, 2u);
    EXPECT_EQ(s.counters.format_errors, 0u);
    // The link's rate sets how long a whole transfer takes.
    d->set_link_rate(200000.0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bulk(h, stream, 5000), static_cast<int>(stream.size()));
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::duration<double>(static_cast<double>(stream.size()) / 200000.0));
    d->set_link_rate(0);
}

TEST_F(UsbDevice, InterfaceClaims) {
    auto *plain = add();
    auto *h1 = open(plain);
    auto *h2 = open(plain);
    ASSERT_TRUE(h1 && h2);
    auto stream =
        tb::build_stream(std::vector<tb::StreamRecord>{{0, solid_block_data(1, 2, 3)}}, true);
    // usbfs claims an unclaimed interface at its first bulk use, and says so.
    EXPECT_EQ(bulk(h1, stream), static_cast<int>(stream.size()));
    auto s = plain->state();
    EXPECT_EQ(s.counters.unclaimed_bulk, 1u);
    EXPECT_TRUE(s.interface_claimed);
    EXPECT_TRUE(contains(s.violations, "did not claim interface 0 before use"));
    EXPECT_EQ(libusb_claim_interface(h2, 0), LIBUSB_ERROR_BUSY);
    // libusb reports any submission errno but ENODEV and ENOMEM as an I/O error.
    EXPECT_EQ(bulk(h2, stream), LIBUSB_ERROR_IO);
    close(h1);
    ASSERT_TRUE(g_testbed->wait_until([&] { return !plain->state().interface_claimed; }, 5s));
    EXPECT_EQ(libusb_claim_interface(h2, 0), 0);
    EXPECT_EQ(bulk(h2, stream), static_cast<int>(stream.size()));
    EXPECT_EQ(plain->state().counters.unclaimed_bulk, 2u);

    // A kernel driver bound to it: libusb detaches it when asked to.
    auto *bound = add({.interface_holder = tb::InterfaceHolder::kKernelDriver});
    auto *hb = open(bound);
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(libusb_kernel_driver_active(hb, 0), 1);
    EXPECT_EQ(libusb_claim_interface(hb, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(hb, 1), 0);
    EXPECT_EQ(libusb_claim_interface(hb, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(hb, 0), 0);
    EXPECT_EQ(bulk(hb, stream), static_cast<int>(stream.size()));
    EXPECT_EQ(bound->state().counters.unclaimed_bulk, 0u);

    // Another program holds it: nothing takes it away.
    auto *held = add({.interface_holder = tb::InterfaceHolder::kOtherProgram});
    auto *hh = open(held);
    ASSERT_NE(hh, nullptr);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(hh, 1), 0);
    EXPECT_EQ(libusb_claim_interface(hh, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(bulk(hh, stream), LIBUSB_ERROR_IO);
}

TEST_F(UsbDevice, WithoutScatterGatherTransfersTravelIn16KiBPieces) {
    auto *d = add({.scatter_gather = false});
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(set_resolution(h, 640, 480), 4);
    ASSERT_EQ(set_quant(h, tb::make_quant_blob(90)), 138);
    std::vector<tb::StreamRecord> recs;
    for (uint32_t i = 0; i < 150; ++i) recs.push_back({i, noisy_block_data(i + 7)});
    auto stream = tb::build_stream(recs, true);
    const uint64_t pieces = (stream.size() + 16383) / 16384;
    ASSERT_GE(pieces, 3u);
    // The device puts the transfer together from its packets.
    EXPECT_EQ(bulk(h, stream), static_cast<int>(stream.size()));
    ASSERT_TRUE(d->wait_idle(5s));
    auto s = d->state();
    EXPECT_EQ(s.counters.transfers, pieces);
    EXPECT_EQ(s.counters.frames, 1u);
    EXPECT_EQ(s.counters.blocks, recs.size());

    // A stall of the first piece cancels the others; libusb reports the stall.
    d->hold_bulk(true);
    Pending stalled;
    ASSERT_TRUE(stalled.submit(h, stream, 5000));
    ASSERT_TRUE(g_testbed->wait_until(
        [&] { return d->state().urbs_in_flight == static_cast<int>(pieces); }, 5s));
    d->fail_bulk(tb::BulkFault::kStall, 1);
    d->hold_bulk(false);
    ASSERT_TRUE(pump_until(ctx_, [&] { return stalled.done; }));
    EXPECT_EQ(stalled.status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(stalled.actual, 0);
    ASSERT_EQ(libusb_clear_halt(h, tb::kBulkEndpoint), 0);

    // A piece cut short: the whole records in the pieces before count.
    d->fail_bulk(tb::BulkFault::kPartial, 1);
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, tb::kBulkEndpoint, stream.data(),
                                   static_cast<int>(stream.size()), &done, 200),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 8192);
    ASSERT_TRUE(d->wait_idle(5s));
    s = d->state();
    EXPECT_EQ(s.counters.partial_transfers, 1u);
    EXPECT_EQ(s.counters.blocks, recs.size() + whole_records(recs, 8192));
    EXPECT_EQ(s.counters.format_errors, 0u);
    // The next transfer arrives whole again.
    EXPECT_EQ(bulk(h, stream), static_cast<int>(stream.size()));
    ASSERT_TRUE(d->wait_idle(5s));
    EXPECT_EQ(d->state().counters.frames, 2u);
}

TEST_F(UsbDevice, BackPressureWhenTheDecodeQueueIsFull) {
    tb::DeviceConfig config;
    config.decode_queue_depth = 1;
    auto *d = add(config);
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(set_resolution(h, 640, 480), 4);
    ASSERT_EQ(set_quant(h, tb::make_quant_blob(90)), 138);
    std::vector<tb::StreamRecord> recs;
    const auto block = solid_block_data(50, 100, 150);
    for (uint32_t i = 0; i < 1200; ++i) recs.push_back({i, block});
    auto stream = tb::build_stream(recs, true);
    constexpr int kTransfers = 6;
    std::atomic<int> completed{0};
    std::vector<libusb_transfer *> transfers;
    for (int i = 0; i < kTransfers; ++i) {
        auto *t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(
            t, h, tb::kBulkEndpoint, stream.data(), static_cast<int>(stream.size()),
            [](libusb_transfer *x) {
                if (x->status == LIBUSB_TRANSFER_COMPLETED)
                    ++*static_cast<std::atomic<int> *>(x->user_data);
            },
            &completed, 10000);
        ASSERT_EQ(libusb_submit_transfer(t), 0);
        transfers.push_back(t);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    timeval tv{0, 20000};
    while (completed < kTransfers && std::chrono::steady_clock::now() < deadline) {
        libusb_handle_events_timeout(ctx_, &tv);
    }
    EXPECT_EQ(completed, kTransfers);
    for (auto *t : transfers) libusb_free_transfer(t);
    ASSERT_TRUE(d->wait_idle(10s));
    const auto s = d->state();
    EXPECT_EQ(s.counters.frames, static_cast<uint64_t>(kTransfers));
    EXPECT_EQ(s.counters.blocks, 1200u * kTransfers);
}

TEST_F(UsbDevice, HotplugBothWaysWithoutEnumeratingPresentDevices) {
    // Present before the client starts.
    libusb_exit(ctx_);
    auto *present = add({.model = 0});
    ASSERT_NE(present, nullptr);
    ASSERT_EQ(libusb_init(&ctx_), 0);
    struct Seen {
        std::vector<std::pair<int, int>> arrived, left;  // bus, address
    } seen;
    auto callback = [](libusb_context *, libusb_device *dev, libusb_hotplug_event event,
                       void *user) -> int {
        auto *s = static_cast<Seen *>(user);
        auto where = std::make_pair(libusb_get_bus_number(dev), libusb_get_device_address(dev));
        (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? s->arrived : s->left).push_back(where);
        return 0;
    };
    for (int i = 0; i < PID_NUM; ++i) {
        for (auto event : {LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT}) {
            ASSERT_EQ(libusb_hotplug_register_callback(
                          ctx_, event, LIBUSB_HOTPLUG_NO_FLAGS, VENDOR_ID, PRODUCT_ID[i],
                          LIBUSB_HOTPLUG_MATCH_ANY, callback, &seen, nullptr),
                      0);
        }
    }
    timeval zero{0, 0};
    libusb_handle_events_timeout(ctx_, &zero);
    EXPECT_TRUE(seen.arrived.empty());  // present at start: not reported

    auto *foreign = add({.product_id = 0x1234});
    auto *arriving = add({.model = 4});
    ASSERT_TRUE(foreign && arriving);
    const auto arriving_at = std::make_pair(arriving->bus_number(), arriving->device_address());
    auto pump_until = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        timeval tv{0, 10000};
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            libusb_handle_events_timeout(ctx_, &tv);
        }
        return done();
    };
    ASSERT_TRUE(pump_until([&] { return !seen.arrived.empty(); }));
    EXPECT_EQ(seen.arrived, (std::vector<std::pair<int, int>>{arriving_at}));

    arriving->unplug();
    ASSERT_TRUE(pump_until([&] { return !seen.left.empty(); }));
    EXPECT_EQ(seen.left, (std::vector<std::pair<int, int>>{arriving_at}));
    foreign->unplug();
    present->unplug();
    ASSERT_TRUE(pump_until([&] { return seen.left.size() >= 2; }));
    EXPECT_EQ(seen.left.size(), 2u);
    EXPECT_EQ(seen.arrived.size(), 1u);
}

TEST_F(UsbDevice, UnplugEndsTransfersInFlightAndLaterRequestsFail) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    d->hold_bulk(true);
    std::vector<uint8_t> data(129, 0xFF);
    std::vector<int> statuses;
    std::vector<libusb_transfer *> transfers;
    for (int i = 0; i < 2; ++i) {
        auto *t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(
            t, h, tb::kBulkEndpoint, data.data(), static_cast<int>(data.size()),
            [](libusb_transfer *x) {
                static_cast<std::vector<int> *>(x->user_data)->push_back(x->status);
            },
            &statuses, 0 /* no time-out: only the unplug can end it */);
        ASSERT_EQ(libusb_submit_transfer(t), 0);
        transfers.push_back(t);
    }
    ASSERT_TRUE(g_testbed->wait_until([&] { return d->state().urbs_in_flight == 2; }, 5s));
    // The node as libusb polls it (opened here past the preload): quiet
    // while nothing is ready, hung up by the unplug.
    const int node = static_cast<int>(syscall(SYS_openat, AT_FDCWD,
                                              (g_testbed->root_dir() + d->devnode()).c_str(),
                                              O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(node, 0);
    pollfd p{node, POLLOUT, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    d->unplug();
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(p.revents & (POLLERR | POLLHUP), POLLERR | POLLHUP);
    ::close(node);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    timeval tv{0, 10000};
    while (statuses.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        libusb_handle_events_timeout(ctx_, &tv);
    }
    // The transfer on the wire fails with a transfer error, the rest as
    // the device's endpoints are flushed.
    EXPECT_EQ(statuses, (std::vector<int>{LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_NO_DEVICE}));
    for (auto *t : transfers) libusb_free_transfer(t);

    uint8_t buf[4];
    EXPECT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(bulk(h, data), LIBUSB_ERROR_NO_DEVICE);
    // The event loop neither hangs nor reports anything further.
    const auto start = std::chrono::steady_clock::now();
    timeval short_tv{0, 50000};
    EXPECT_EQ(libusb_handle_events_timeout(ctx_, &short_tv), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    const auto s = d->state();
    EXPECT_EQ(s.counters.failed_transfers, 2u);
    EXPECT_EQ(s.urbs_in_flight, 0);
    close(h);
    EXPECT_TRUE(g_testbed->wait_until([&] { return d->state().open_clients == 0; }, 5s));
}

TEST_F(UsbDevice, IdSurvivesReplugAndTheRestStartsAfresh) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    const uint8_t id[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_EQ(out(h, tb::request::kSetDeviceId, 0, id, 4), 4);
    ASSERT_EQ(set_resolution(h, 800, 600), 4);
    const int old_address = d->device_address();
    close(h);
    d->unplug();
    std::string error;
    ASSERT_TRUE(d->plug(&error)) << error;
    EXPECT_NE(d->device_address(), old_address);
    h = open(d);
    ASSERT_NE(h, nullptr);
    uint8_t buf[4] = {};
    ASSERT_EQ(in(h, tb::request::kGetDeviceId, 0, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), std::vector<uint8_t>(id, id + 4));
    ASSERT_EQ(in(h, tb::request::kGetResolution, 0, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(d->state().quant_index, -1);
}

TEST_F(UsbDevice, SeveralDevicesAtOnce) {
    std::vector<tb::EmulatedDevice *> all;
    for (int i = 0; i < 5; ++i) all.push_back(add({.model = i}));
    std::vector<libusb_device_handle *> hs;
    for (int i = 0; i < 5; ++i) {
        ASSERT_NE(all[i], nullptr);
        hs.push_back(open(all[i]));
        ASSERT_NE(hs.back(), nullptr);
    }
    for (int i = 0; i < 5; ++i) {
        const uint8_t id[4] = {static_cast<uint8_t>(i), 0, 0, 0};
        ASSERT_EQ(out(hs[i], tb::request::kSetDeviceId, 0, id, 4), 4);
    }
    for (int i = 0; i < 5; ++i) EXPECT_EQ(all[i]->state().device_id, static_cast<uint32_t>(i));
    EXPECT_TRUE(g_testbed->wait_until([] { return g_testbed->open_clients() == 5; }, 5s));
}

TEST_F(UsbDevice, IdleEventLoopDoesNotSpin) {
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    uint8_t buf[2];
    ASSERT_EQ(in(h, tb::request::kGetStatus, 0, buf, 2), 2);  // one completion reaped
    const double cpu0 = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 300ms) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout(ctx_, &tv);
    }
    const double cpu = process_cpu_seconds() - cpu0;
    // A spinning loop burns the whole 300 ms (and the worker as much again).
    EXPECT_LT(cpu, 0.1) << "CPU seconds over 300 ms of idle event handling";
}

TEST_F(UsbDevice, EventsAreQueuedAndSignalled) {
    tb::Event e;
    while (g_testbed->next_event(e, 0ms)) {
    }
    auto *d = add();
    auto *h = open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(set_resolution(h, 320, 240), 4);
    pollfd p{g_testbed->event_fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 1000), 1);
    std::vector<tb::EventKind> kinds;
    bool resolution_seen = false;
    while (g_testbed->next_event(e, 100ms)) {
        EXPECT_EQ(e.device, d->index());
        kinds.push_back(e.kind);
        if (e.kind == tb::EventKind::kResolution) {
            resolution_seen = true;
            EXPECT_EQ(e.resolution, (tb::Resolution{320, 240}));
        }
    }
    ASSERT_GE(kinds.size(), 4u);
    EXPECT_EQ(kinds[0], tb::EventKind::kPlugged);
    EXPECT_TRUE(resolution_seen);
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), tb::EventKind::kClientOpened), kinds.end());
    EXPECT_EQ(::poll(&p, 1, 0), 0);  // drained
    EXPECT_EQ(g_testbed->dropped_events(), 0u);
}

// The harness form: this process owns the testbed, the client runs in a
// process of its own under the preload and sees a device arrive.
TEST_F(UsbDevice, ClientInAnotherProcess) {
    // ctest names the client; run by hand, it sits beside this binary.
    const char *named = std::getenv("USB_DEVICE_CLIENT");
    const std::string client_path =
        named
            ? named
            : (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "usb_device_client")
                  .string();
    const char *client = client_path.c_str();
    ASSERT_TRUE(std::filesystem::exists(client_path)) << client_path;
    std::vector<std::string> env;
    const auto extra = g_testbed->child_environment("");
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "UMOCKDEV_DIR" && name != "LD_PRELOAD" && name != "ASAN_OPTIONS") {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
#if defined(__SANITIZE_ADDRESS__)
    // The preload comes before the sanitizer runtime in LD_PRELOAD order.
    const char *asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
#endif
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char *argv[] = {const_cast<char *>(client), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, client, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string said;
    auto read_until = [&](const std::string &word) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (said.find(word) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) != 1) continue;
            char buf[256];
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            said.append(buf, static_cast<size_t>(n));
        }
        return said.find(word) != std::string::npos;
    };
    const bool ready = read_until("ready");
    tb::EmulatedDevice *d = ready ? add({.model = 1}) : nullptr;
    const bool done = d && read_until("done");
    int status = -1;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    ASSERT_TRUE(ready) << said;
    ASSERT_TRUE(done) << said;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(d->wait_idle(5s));
    const auto s = d->state();
    EXPECT_EQ(s.ids_set, (std::vector<uint32_t>{0xCAFE}));
    EXPECT_EQ(s.counters.frames, 1u);
    EXPECT_EQ(s.counters.blocks, 1u);
    const auto f = d->frame();
    ASSERT_EQ(f.width(), 64);
    EXPECT_NEAR(f.pixel(40, 4)[0], 255, 3);
    EXPECT_EQ(f.pixel(10, 4)[0], 0);
    // The client's exit closed its device file.
    EXPECT_TRUE(g_testbed->wait_until([&] { return d->state().open_clients == 0; }, 5s));
}
