// The USB layer against emulated devices in this process: the request
// wrappers on the wire, their failure forms, discovery, hot-plug and bulk
// output.
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "usb_device_emulator.h"
#include "usb_scrn.h"

namespace tb = torvel::testbed;
using namespace std::chrono_literals;

namespace {

constexpr uint16_t FOREIGN_PID = 0x7dff;
constexpr uint32_t ROTATING_ID = 0x201;

std::unique_ptr<tb::UsbTestbed> g_testbed;
tb::EmulatedDevice *g_plain = nullptr;     // model 0, no id, status high byte 1
tb::EmulatedDevice *g_rotating = nullptr;  // model 4, id 0x201, extended EDID
tb::EmulatedDevice *g_foreign = nullptr;   // right vendor, foreign product; unplugged
// Models 1, 2, 3 and 5, unplugged; plugged by the discovery and hot-plug tests.
tb::EmulatedDevice *g_late[4] = {};
constexpr int LATE_MODELS[4] = {1, 2, 3, 5};

class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string error;
        g_testbed = tb::UsbTestbed::create(&error);
        ASSERT_TRUE(g_testbed) << error;
        tb::DeviceConfig plain;
        plain.model = 0;
        plain.status_high_byte = 1;  // ready reads 00 01
        plain.feature = 4;
        plain.orientation = 2;
        plain.mirror = 1;
        plain.product_type = 0x5a;
        g_plain = g_testbed->add_device(plain, true, &error);
        ASSERT_NE(g_plain, nullptr) << error;
        tb::DeviceConfig rotating;
        rotating.model = 4;
        rotating.initial_id = ROTATING_ID;
        rotating.edid = tb::make_edid({.extension_block = true});
        g_rotating = g_testbed->add_device(rotating, true, &error);
        ASSERT_NE(g_rotating, nullptr) << error;
        tb::DeviceConfig foreign;
        foreign.product_id = FOREIGN_PID;
        g_foreign = g_testbed->add_device(foreign, false, &error);
        ASSERT_NE(g_foreign, nullptr) << error;
        for (int i = 0; i < 4; ++i) {
            tb::DeviceConfig late;
            late.model = LATE_MODELS[i];
            g_late[i] = g_testbed->add_device(late, false, &error);
            ASSERT_NE(g_late[i], nullptr) << error;
        }
    }
    void TearDown() override {
        // The testbed lives until the process ends: umockdev must not lose
        // its handler while libusb may still hold a device file.
        (void)g_testbed.release();
    }
};

const auto *const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

// Callbacks seen, by product id index (PID_NUM: any other product).
std::atomic<int> g_arrivals[PID_NUM + 1], g_departures[PID_NUM + 1];

int product_index(libusb_device *dev) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) != 0) return PID_NUM;
    for (int i = 0; i < PID_NUM; ++i)
        if (d.idVendor == VENDOR_ID && d.idProduct == PRODUCT_ID[i]) return i;
    return PID_NUM;
}

int on_attach(libusb_context *, libusb_device *dev, libusb_hotplug_event event, void *) {
    EXPECT_EQ(event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    ++g_arrivals[product_index(dev)];
    return 0;
}

int on_detach(libusb_context *, libusb_device *dev, libusb_hotplug_event event, void *) {
    EXPECT_EQ(event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    ++g_departures[product_index(dev)];
    return 0;
}

int total(const std::atomic<int> (&counts)[PID_NUM + 1]) {
    int n = 0;
    for (const auto &c : counts) n += c.load();
    return n;
}

// Handles libusb events until done() or the time-out.
template <typename F>
bool pump_until(F done, std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        timeval tv = {0, 50000};
        libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
    }
    return true;
}

class UsbScrnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(usb_init(on_attach, on_detach), 0);
        plain_ = open(g_plain);
        rotating_ = open(g_rotating);
        ASSERT_NE(plain_, nullptr);
        ASSERT_NE(rotating_, nullptr);
        drain_events();
    }
    void TearDown() override {
        g_plain->clear_faults();
        g_rotating->clear_faults();
        g_plain->set_busy({}, false);
        if (plain_) libusb_close(plain_);
        if (rotating_) libusb_close(rotating_);
        libusb_exit(nullptr);
    }

    static libusb_device_handle *open(tb::EmulatedDevice *emu) {
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(nullptr, &list);
        libusb_device_handle *handle = nullptr;
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_bus_number(list[i]) == emu->bus_number() &&
                libusb_get_device_address(list[i]) == emu->device_address()) {
                EXPECT_EQ(libusb_open(list[i], &handle), 0);
            }
        }
        libusb_free_device_list(list, 1);
        return handle;
    }
    static void drain_events() {
        tb::Event e;
        while (g_testbed->next_event(e, 0ms)) {
        }
    }
    // Control requests the devices saw since the last drain.
    static std::vector<tb::Event> controls() {
        std::vector<tb::Event> out;
        tb::Event e;
        while (g_testbed->next_event(e, 100ms))
            if (e.kind == tb::EventKind::kControl) out.push_back(e);
        return out;
    }
    static std::string output_of(const std::function<void()> &f) {
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        f();
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    libusb_device_handle *plain_ = nullptr;
    libusb_device_handle *rotating_ = nullptr;
};

TEST_F(UsbScrnTest, SingleByteQueriesReadTheDevice) {
    uint8_t feature = 0, orient = 0, mirror = 0, type = 0;
    EXPECT_TRUE(GetMonitorFeature(plain_, &feature));
    EXPECT_TRUE(GetMonitorOrient(plain_, &orient));
    EXPECT_TRUE(GetMonitorMirror(plain_, &mirror));
    EXPECT_TRUE(GetProductType(plain_, &type));
    EXPECT_EQ(feature, 4);
    EXPECT_EQ(orient, 2);
    EXPECT_EQ(mirror, 1);
    EXPECT_EQ(type, 0x5a);
    const auto seen = controls();
    ASSERT_EQ(seen.size(), 4u);
    const uint8_t codes[4] = {0x52, 0x49, 0x53, 0x51};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i].request, codes[i]);
        EXPECT_EQ(seen[i].value, 0u);
        EXPECT_EQ(seen[i].length, 1u);
    }
    g_plain->set_orientation(1);
    EXPECT_TRUE(GetMonitorOrient(plain_, &orient));
    EXPECT_EQ(orient, 1);
    g_plain->set_orientation(2);
}

TEST_F(UsbScrnTest, FailedQueriesPrintTheirNameAndKeepTheValue) {
    struct Case {
        uint8_t request;
        const char *name;
        std::function<bool()> call;
    };
    uint8_t byte = 0x77;
    uint64_t id = 0x1122334455667788ull;
    const Case cases[] = {
        {0x52, "GetMonitorFeature", [&] { return GetMonitorFeature(plain_, &byte); }},
        {0x49, "GetMonitorOrient", [&] { return GetMonitorOrient(plain_, &byte); }},
        {0x53, "GetMonitorMirror", [&] { return GetMonitorMirror(plain_, &byte); }},
        {0x51, "GetProductType", [&] { return GetProductType(plain_, &byte); }},
        {0x50, "GetDeviceId", [&] { return GetDeviceId(plain_, &id); }},
        {0x8F, "SetDeviceId", [&] { return SetDeviceId(plain_, 0x1234); }},
    };
    for (const auto fault : {tb::ControlFault::kStall, tb::ControlFault::kEmptyReply}) {
        for (const Case &c : cases) {
            g_plain->fail_control(c.request, fault, 1);
            bool ok = true;
            const std::string out = output_of([&] { ok = c.call(); });
            EXPECT_FALSE(ok) << c.name;
            EXPECT_EQ(out, std::string("[USBFUNC] ") + c.name + "() Fail!\n");
        }
    }
    EXPECT_EQ(byte, 0x77);
    EXPECT_EQ(id, 0x1122334455667788ull);
    EXPECT_EQ(g_plain->state().ids_set.size(), 0u);
}

TEST_F(UsbScrnTest, SilentRequestsPrintNothingOnFailure) {
    uint16_t status = 0x1234, size = 0x4321, w = 11, h = 22;
    uint8_t edid[128];
    memset(edid, 0xEE, sizeof edid);
    const uint8_t blob[138] = {};
    g_plain->fail_control(0x40, tb::ControlFault::kStall, 1);
    g_plain->fail_control(0x41, tb::ControlFault::kStall, 2);
    g_plain->fail_control(0x82, tb::ControlFault::kStall, 1);
    g_plain->fail_control(0x83, tb::ControlFault::kStall, 1);
    const std::string out = output_of([&] {
        EXPECT_FALSE(GetStatus(plain_, &status));
        EXPECT_FALSE(get_EDID_size(plain_, &size));
        EXPECT_FALSE(get_EDID_data(plain_, edid, 1));
        EXPECT_FALSE(GetResolution(plain_, &w, &h));
        EXPECT_FALSE(SetQuantTable(plain_, blob, sizeof blob, 1));
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(status, 0x34);  // the preset, masked to its low byte
    EXPECT_EQ(size, 0x4321);
    EXPECT_EQ(edid[0], 0xEE);
    EXPECT_EQ(w, 11);
    EXPECT_EQ(h, 22);
}

TEST_F(UsbScrnTest, NullHandleSendsNothing) {
    const uint64_t before =
        g_plain->state().counters.control_requests + g_rotating->state().counters.control_requests;
    uint8_t b = 0;
    uint16_t v = 0;
    uint64_t id = 0;
    uint8_t buf[128] = {};
    EXPECT_FALSE(SetResolution(nullptr, 0, 0));
    output_of([&] {
        EXPECT_FALSE(GetStatus(nullptr, &v));
        EXPECT_FALSE(get_EDID_size(nullptr, &v));
        EXPECT_FALSE(get_EDID_data(nullptr, buf, 1));
        EXPECT_FALSE(GetMonitorOrient(nullptr, &b));
        EXPECT_FALSE(GetDeviceId(nullptr, &id));
        EXPECT_FALSE(SetDeviceId(nullptr, 1));
        EXPECT_FALSE(GetResolution(nullptr, &v, &v));
        EXPECT_FALSE(SetQuantTable(nullptr, buf, 4, 1));
        EXPECT_FALSE(WaitReady(nullptr));
        EXPECT_FALSE(Write(nullptr, buf, 4, nullptr, nullptr));
    });
    EXPECT_EQ(
        g_plain->state().counters.control_requests + g_rotating->state().counters.control_requests,
        before);
}

TEST_F(UsbScrnTest, DeviceIdLittleEndianIntoTheLowHalf) {
    uint64_t id = 0xABCD0000FFFFFFFFull;
    EXPECT_TRUE(GetDeviceId(plain_, &id));  // FF FF FF FF: no id yet
    EXPECT_EQ(id, 0xABCD0000FFFFFFFFull);
    id = 0xFFFFFFFF;
    EXPECT_TRUE(GetDeviceId(rotating_, &id));  // 01 02 00 00
    EXPECT_EQ(id, ROTATING_ID);
    EXPECT_TRUE(SetDeviceId(plain_, 0x99CAFE0102ull));  // high half is not sent
    EXPECT_EQ(g_plain->state().ids_set.back(), 0xCAFE0102u);
    id = 0;
    EXPECT_TRUE(GetDeviceId(plain_, &id));
    EXPECT_EQ(id, 0xCAFE0102u);
    const auto seen = controls();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0].request, 0x50);
    EXPECT_EQ(seen[0].length, 4u);
    EXPECT_EQ(seen[2].request, 0x8F);
    EXPECT_EQ(seen[2].length, 4u);
}

TEST_F(UsbScrnTest, EdidSizeAndBanks) {
    const auto base = tb::make_edid();
    const auto extended = tb::make_edid({.extension_block = true});
    uint16_t size = 0;
    uint8_t buf[256] = {};
    EXPECT_TRUE(get_EDID_size(plain_, &size));
    EXPECT_EQ(size, 128);
    EXPECT_TRUE(get_EDID_data(plain_, buf, 1));
    EXPECT_EQ(0, memcmp(buf, base.data(), 128));
    EXPECT_TRUE(get_EDID_size(rotating_, &size));
    EXPECT_EQ(size, 256);
    EXPECT_TRUE(get_EDID_data(rotating_, buf, 1));
    EXPECT_TRUE(get_EDID_data(rotating_, buf + 128, 2));
    EXPECT_EQ(0, memcmp(buf, extended.data(), 256));
    const auto seen = controls();
    ASSERT_EQ(seen.size(), 5u);
    for (const auto &e : seen) EXPECT_EQ(e.request, 0x41);
    EXPECT_EQ(seen[0].value, 0u);
    EXPECT_EQ(seen[0].length, 2u);
    EXPECT_EQ(seen[1].value, 1u);
    EXPECT_EQ(seen[1].length, 128u);
    EXPECT_EQ(seen[4].value, 2u);
    EXPECT_EQ(seen[4].length, 128u);
}

TEST_F(UsbScrnTest, ResolutionPayloadsAndLine) {
    std::string out = output_of([&] { EXPECT_TRUE(SetResolution(plain_, 1920, 1080)); });
    EXPECT_EQ(out, "SetResolution 1920 x 1080, len: 4\n");
    out = output_of([&] { EXPECT_TRUE(SetResolution(plain_, 0, 0)); });
    EXPECT_EQ(out, "SetResolution 0 x 0, len: 4\n");
    const auto state = g_plain->state();
    ASSERT_GE(state.resolutions_set.size(), 2u);
    const auto n = state.resolutions_set.size();
    EXPECT_EQ(state.resolutions_set[n - 2], (tb::Resolution{1920, 1080}));  // 80 07 38 04
    EXPECT_EQ(state.resolutions_set[n - 1], (tb::Resolution{0, 0}));
    EXPECT_TRUE(state.display_off);
    // Status wait, request, status wait; every status reads 00 01 (ready).
    const auto seen = controls();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].request, 0x40);
    EXPECT_EQ(seen[0].length, 2u);
    EXPECT_EQ(seen[1].request, 0x81);
    EXPECT_EQ(seen[1].length, 4u);
    EXPECT_EQ(seen[2].request, 0x40);

    uint16_t w = 0, h = 0;
    ASSERT_TRUE(SetResolution(plain_, 1366, 768));
    EXPECT_TRUE(GetResolution(plain_, &w, &h));
    EXPECT_EQ(w, 1366);
    EXPECT_EQ(h, 768);
    g_plain->fail_control(0x82, tb::ControlFault::kShortReply, 1, 2);
    w = h = 7;
    EXPECT_FALSE(GetResolution(plain_, &w, &h));
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 7);
}

TEST_F(UsbScrnTest, FailedResolutionRequestIsReportedWithItsError) {
    g_plain->fail_control(0x81, tb::ControlFault::kStall, 1);
    bool ok = true;
    const std::string out = output_of([&] { ok = SetResolution(plain_, 800, 600); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "SetResolution 800 x 600, len: " + std::to_string(LIBUSB_ERROR_PIPE) + "\n");
    // The second status wait runs after a failed request too.
    const auto seen = controls();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].request, 0x40);
}

TEST_F(UsbScrnTest, WaitReadyPollsWhileBusy) {
    g_plain->set_busy({1, 1, 1}, false);
    bool ok = false;
    const auto start = std::chrono::steady_clock::now();
    const std::string out = output_of([&] { ok = WaitReady(plain_); });
    EXPECT_TRUE(ok);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(out, "usbdev: Not ready yet\nusbdev: Not ready yet\nusbdev: Not ready yet\n");
    EXPECT_EQ(controls().size(), 4u);

    g_plain->fail_control(0x40, tb::ControlFault::kStall, 1);
    EXPECT_EQ(output_of([&] { ok = WaitReady(plain_); }), "usbdev: Fails on GetStatus()\n");
    EXPECT_FALSE(ok);
    // A resolution is not sent when the first wait fails.
    g_plain->fail_control(0x40, tb::ControlFault::kStall, 1);
    const auto before = g_plain->state().resolutions_set.size();
    output_of([&] { EXPECT_FALSE(SetResolution(plain_, 640, 480)); });
    EXPECT_EQ(g_plain->state().resolutions_set.size(), before);
}

TEST_F(UsbScrnTest, WaitReadyGivesUpOnADeviceBusyForEver) {
    g_plain->set_busy({}, true);
    bool ok = true;
    const std::string out = output_of([&] { ok = SetResolution(plain_, 640, 480); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(g_plain->state().counters.status_polls >= WAIT_READY_MAX_POLLS, true);
    EXPECT_NE(out.find("usbdev: Still not ready, giving up\n"), std::string::npos);
    EXPECT_EQ(out.find("SetResolution"), std::string::npos);
}

// The device takes the resolution, then stays busy past the second wait's
// bound: the request still counts as done.
TEST_F(UsbScrnTest, ResolutionTakenByADeviceThatStaysBusyCounts) {
    std::vector<uint8_t> statuses(1 + WAIT_READY_MAX_POLLS + 5, 1);
    statuses[0] = 0;
    g_plain->set_busy(statuses, false);
    bool ok = false;
    const std::string out = output_of([&] { ok = SetResolution(plain_, 800, 600); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(out,
              "SetResolution 800 x 600, len: 4\n"
              "usbdev: Still busy after SetResolution, no longer waiting\n");
    EXPECT_EQ(g_plain->state().resolution, (tb::Resolution{800, 600}));
}

TEST_F(UsbScrnTest, QuantTableCarriesIndexAndLength) {
    uint8_t blob[140] = {};
    const auto quant = tb::make_quant_blob(90);
    std::copy(quant.begin(), quant.end(), blob);
    blob[138] = 0xEE;  // spare bytes beyond the length are not sent
    blob[139] = 0xEE;
    EXPECT_TRUE(SetQuantTable(plain_, blob, 138, 1));
    const auto seen = controls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request, 0x83);
    EXPECT_EQ(seen[0].value, 1u);
    EXPECT_EQ(seen[0].length, 138u);
    const auto state = g_plain->state();
    EXPECT_EQ(state.quant_index, 1);
    EXPECT_EQ(state.quant_blob, std::vector<uint8_t>(blob, blob + 138));
}

struct Completion {
    std::atomic<bool> done{false};
    std::atomic<int> status{-1};
    std::atomic<int> length{-1};
    std::atomic<unsigned> timeout{0};
};

void on_complete(libusb_transfer *xfr) {
    auto *c = static_cast<Completion *>(xfr->user_data);
    c->status.store(xfr->status);
    c->length.store(xfr->length);
    c->timeout.store(xfr->timeout);
    c->done.store(true);
    libusb_free_transfer(xfr);
}

TEST_F(UsbScrnTest, WriteSendsOneByteMoreOnTheBulkEndpoint) {
    std::vector<uint8_t> data(4097, 0xFF);
    Completion c;
    ASSERT_TRUE(Write(plain_, data.data(), 4096, on_complete, &c));
    ASSERT_TRUE(pump_until([&] { return c.done.load(); }));
    EXPECT_EQ(c.status.load(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(c.length.load(), 4097);
    tb::Event e;
    bool bulk = false;
    while (!bulk && g_testbed->next_event(e, 1000ms))
        if (e.kind == tb::EventKind::kBulk) {
            bulk = true;
            EXPECT_EQ(e.length, 4097u);
        }
    EXPECT_TRUE(bulk);

    g_plain->fail_bulk(tb::BulkFault::kStall, 1);
    Completion failed;
    ASSERT_TRUE(Write(plain_, data.data(), 128, on_complete, &failed));
    ASSERT_TRUE(pump_until([&] { return failed.done.load(); }));
    EXPECT_EQ(failed.status.load(), LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(libusb_clear_halt(plain_, USB_SCRN_BULK_EP), 0);  // the halt stays until cleared
}

// Control requests and bulk transfers to a device that never answers end
// after 500 ms.
TEST_F(UsbScrnTest, RequestsAndTransfersGiveUpAfterHalfASecond) {
    g_plain->fail_control(0x52, tb::ControlFault::kTimeout, 1);
    uint8_t feature = 0;
    auto start = std::chrono::steady_clock::now();
    output_of([&] { EXPECT_FALSE(GetMonitorFeature(plain_, &feature)); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 490ms);
    EXPECT_LT(waited, 1000ms);

    g_plain->fail_bulk(tb::BulkFault::kTimeout, 1);
    std::vector<uint8_t> data(129, 0xFF);
    Completion c;
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Write(plain_, data.data(), 128, on_complete, &c));
    ASSERT_TRUE(pump_until([&] { return c.done.load(); }));
    waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(c.status.load(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(c.timeout.load(), 500u);
    EXPECT_GE(waited, 490ms);
}

TEST_F(UsbScrnTest, DiscoveryKeepsListOrderAndIgnoresOtherProducts) {
    std::string error;
    ASSERT_TRUE(g_foreign->plug(&error)) << error;
    ASSERT_TRUE(g_late[2]->plug(&error)) << error;  // model 3
    ASSERT_TRUE(g_late[3]->plug(&error)) << error;  // model 5
    libusb_device **list = nullptr;
    ASSERT_TRUE(pump_until([&] {
        if (list) libusb_free_device_list(list, 1);
        return libusb_get_device_list(nullptr, &list) >= 5;
    }));
    libusb_device *monitors[USB_SCRN_MAX_MONITORS] = {};
    int pids[USB_SCRN_MAX_MONITORS] = {};
    ASSERT_EQ(find_device(list, monitors, pids), 4);
    std::vector<libusb_device *> expected;
    std::vector<int> expected_pids;
    for (int i = 0; list[i]; ++i) {
        libusb_device_descriptor d;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
        if (d.idProduct != FOREIGN_PID) {
            expected.push_back(list[i]);
            expected_pids.push_back(d.idProduct);
        }
    }
    EXPECT_EQ(std::vector<libusb_device *>(monitors, monitors + 4), expected);
    EXPECT_EQ(std::vector<int>(pids, pids + 4), expected_pids);
    std::vector<int> sorted = expected_pids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted,
              (std::vector<int>{PRODUCT_ID[0], PRODUCT_ID[3], PRODUCT_ID[4], PRODUCT_ID[5]}));

    // A fifth match has no slot: the table of four is never overrun.
    libusb_device *five[6] = {expected[0], expected[1], expected[2],
                              expected[3], expected[0], nullptr};
    libusb_device *out[USB_SCRN_MAX_MONITORS + 1] = {};
    int out_pids[USB_SCRN_MAX_MONITORS + 1] = {};
    EXPECT_EQ(find_device(five, out, out_pids), USB_SCRN_MAX_MONITORS);
    EXPECT_EQ(out[USB_SCRN_MAX_MONITORS], nullptr);
    EXPECT_EQ(out_pids[3], expected_pids[3]);
    libusb_free_device_list(list, 1);
    g_foreign->unplug();
    g_late[2]->unplug();
    g_late[3]->unplug();
    pump_until([] { return false; }, 300ms);
}

// usb_init registers one arrival and one departure callback per product id:
// each of the six products is reported exactly once each way, others never.
TEST_F(UsbScrnTest, HotPlugReportsEveryProductOnceEachWayAndNoOther) {
    for (int i = 0; i <= PID_NUM; ++i) g_arrivals[i] = g_departures[i] = 0;
    std::string error;
    ASSERT_TRUE(g_foreign->plug(&error)) << error;
    for (tb::EmulatedDevice *d : g_late) ASSERT_TRUE(d->plug(&error)) << error;
    ASSERT_TRUE(pump_until([] { return total(g_arrivals) >= 4; }));
    pump_until([] { return false; }, 300ms);
    for (tb::EmulatedDevice *d : g_late) d->unplug();
    g_foreign->unplug();
    libusb_close(plain_);
    libusb_close(rotating_);
    plain_ = rotating_ = nullptr;
    g_plain->unplug();
    g_rotating->unplug();
    ASSERT_TRUE(pump_until([] { return total(g_departures) >= 6; }));
    pump_until([] { return false; }, 300ms);
    ASSERT_TRUE(g_plain->plug(&error)) << error;
    ASSERT_TRUE(g_rotating->plug(&error)) << error;
    ASSERT_TRUE(pump_until([] { return total(g_arrivals) >= 6; }));
    pump_until([] { return false; }, 300ms);
    for (int i = 0; i < PID_NUM; ++i) {
        EXPECT_EQ(g_arrivals[i].load(), 1) << "product " << i;
        EXPECT_EQ(g_departures[i].load(), 1) << "product " << i;
    }
    EXPECT_EQ(g_arrivals[PID_NUM].load(), 0);
    EXPECT_EQ(g_departures[PID_NUM].load(), 0);
}

TEST(UsbInit, FailedRegistrationClosesAndNamesTheKind) {
    // A registration that fails (no callback function) closes the context
    // again and names the kind of callback.
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    const int rc = usb_init(nullptr, on_detach);
    fflush(stdout);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error registering callback 0\n");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(usb_init(on_attach, nullptr), 1);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error registering callback 1\n");
}

}  // namespace
