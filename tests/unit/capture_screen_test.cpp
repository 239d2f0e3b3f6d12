// Virtual screens and the capture path against the real libevdi (under the
// EVDI emulation) and an emulated USB display device, driven tick by tick:
// partial grabs, turning and mirroring, mode changes with frames in flight,
// dropped frames, events without a screen, and screen destruction.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "device_requests.h"
#include "edid.h"
#include "evdi_emu.h"
#include "owed_blocks.h"
#include "registry.h"
#include "render.h"
#include "screen.h"
#include "setup.h"
#include "usb_device_emulator.h"
#include "usb_scrn.h"

// Array allocations that may not fail do not; those that may fail (new
// (std::nothrow) uint8_t[n]) fail above a size a test sets. Every array
// form is replaced, so each block is freed the way it was allocated.
std::atomic<size_t> g_fail_arrays_above{0};

void *operator new[](size_t n) {
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    const size_t limit = g_fail_arrays_above.load();
    return limit != 0 && n > limit ? nullptr : std::malloc(n ? n : 1);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}

namespace {

using namespace std::chrono_literals;
using torvel::testbed::FrameBuffer;
using torvel::testbed::Resolution;

// While above zero, each bulk submission fails with g_failing_bulk_error
// (and counts it down), as when usbfs refuses a URB; everything else goes
// to libusb.
std::atomic<int> g_failing_bulk_submissions{0};
std::atomic<int> g_failing_bulk_error{LIBUSB_ERROR_IO};

}  // namespace

extern "C" int libusb_submit_transfer(libusb_transfer *transfer) {
    using submit_fn = int (*)(libusb_transfer *);
    static const auto real =
        reinterpret_cast<submit_fn>(dlsym(RTLD_NEXT, "libusb_submit_transfer"));
    if (transfer->type == LIBUSB_TRANSFER_TYPE_BULK) {
        int n = g_failing_bulk_submissions.load();
        while (n > 0)
            if (g_failing_bulk_submissions.compare_exchange_weak(n, n - 1))
                return g_failing_bulk_error.load();
    }
    return real(transfer);
}

namespace {

// One emulated device opened through libusb, with a thread that handles
// libusb events (bulk completions) as the daemon's main loop does.
class Rig : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string error;
        testbed_ = torvel::testbed::UsbTestbed::create(&error);
        ASSERT_TRUE(testbed_) << error;
        torvel::testbed::DeviceConfig config;
        config.decode_queue_depth = 16;
        device_ = testbed_->add_device(config, true, &error);
        ASSERT_NE(device_, nullptr) << error;
        // Two more for EDID reads: a base block whose device claims 256
        // bytes, and one extension block with a claimed length of 200.
        for (int i = 0; i < 2; ++i) {
            torvel::testbed::DeviceConfig edid_config;
            edid_config.model = 1 + i;
            edid_config.edid = torvel::testbed::make_edid({.extension_block = i == 1});
            edid_config.edid_size = i == 0 ? 256 : 200;
            edid_devices_[i] = testbed_->add_device(edid_config, true, &error);
            ASSERT_NE(edid_devices_[i], nullptr) << error;
        }
        ASSERT_EQ(libusb_init(nullptr), 0);
        handle_ = libusb_open_device_with_vid_pid(nullptr, VENDOR_ID, PRODUCT_ID[0]);
        ASSERT_NE(handle_, nullptr);
        for (int i = 0; i < 2; ++i) {
            edid_handles_[i] =
                libusb_open_device_with_vid_pid(nullptr, VENDOR_ID, PRODUCT_ID[1 + i]);
            ASSERT_NE(edid_handles_[i], nullptr);
        }
        pump_ = std::thread([this] {
            while (!stop_.load()) {
                {
                    std::lock_guard<std::mutex> hold(pump_lock_);
                    timeval tv{0, 20000};
                    libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
                }
                std::this_thread::sleep_for(1ms);  // lets pause_pump take the lock
            }
        });
    }
    void TearDown() override {
        stop_.store(true);
        if (pump_.joinable()) pump_.join();
        if (handle_ != nullptr) libusb_close(handle_);
        for (libusb_device_handle *h : edid_handles_)
            if (h != nullptr) libusb_close(h);
        libusb_exit(nullptr);
        testbed_.reset();
    }
    // Stops the pump between two rounds (as the daemon's main loop sleeps
    // between its rounds) until it is resumed. Test thread.
    void pause_pump(bool pause) {
        if (pause)
            pump_paused_ = std::unique_lock<std::mutex>(pump_lock_);
        else if (pump_paused_.owns_lock())
            pump_paused_.unlock();
    }
    libusb_device_handle *handle() const { return handle_; }
    torvel::testbed::EmulatedDevice &device() const { return *device_; }
    libusb_device_handle *edid_handle(int i) const { return edid_handles_[i]; }
    torvel::testbed::EmulatedDevice &edid_device(int i) const { return *edid_devices_[i]; }
    torvel::testbed::UsbTestbed &testbed() const { return *testbed_; }

  private:
    std::unique_ptr<torvel::testbed::UsbTestbed> testbed_;
    torvel::testbed::EmulatedDevice *device_ = nullptr;
    torvel::testbed::EmulatedDevice *edid_devices_[2] = {};
    libusb_device_handle *handle_ = nullptr;
    libusb_device_handle *edid_handles_[2] = {};
    std::thread pump_;
    std::atomic<bool> stop_{false};
    std::mutex pump_lock_;  // held by the pump while it handles events
    std::unique_lock<std::mutex> pump_paused_;
};

Rig *rig = nullptr;

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

class Screen : public ::testing::Test {
  protected:
    static constexpr int SLOT = 0;
    static constexpr int SCREEN = 1;

    void SetUp() override {
        create_rgb2ycc_table();
        registry_reset();
        device_info[SCREEN].index.store(SLOT);
        cxt_ = &g_context[SLOT];
        prepare_encoder(cxt_, SLOT);
        cxt_->damage.limit_scan = true;  // as the daemon prepares its slots
        cxt_->draw_cursor = false;       // the module draws it unless a test says
        cxt_->usb_handle = rig->handle();
        cxt_->monitor_type = MONITOR_TYPE_NORMAL;
        cxt_->rotate_state.store(MONITOR_ROTATE_NORMAL);
        cxt_->mirror_state = MIRROR_DISABLE;
        cxt_->usb_error.store(0);
        cxt_->keep_going.store(true);
        cxt_->display_off.store(-1);
        cxt_->mode = evdi_mode{};
        device().clear_faults();
        owed_blocks[SLOT].take(owed_blocks_t::MAX_BLOCKS, [](uint32_t) {});
        rig->testbed().set_usbfs_memory_mb(16);
        device_output[SLOT].share = 0;
        device_output[SLOT].budget = 0;
        device_output[SLOT].halted = false;
        device().set_orientation(0);
        device().set_mirror(0);
        ASSERT_TRUE(SetQuantTable(rig->handle(), cxt_->qt_table, 138, 1));
    }

    void TearDown() override {
        stop_device_requests(*cxt_);
        destroy_screen(SCREEN);
        eevt_threads[SCREEN].cancel_and_join();
        device().hold_bulk(false);
        EXPECT_TRUE(eventually([] { return slots_free(); }));
        cxt_->keep_going.store(false);
        registry_reset();
    }

    static bool slots_free() {
        for (auto &t : xfer_info[SLOT])
            if (t.occupied.load()) return false;
        return true;
    }
    torvel::testbed::EmulatedDevice &device() { return rig->device(); }

    // Creates the screen with an EDID of its own and finds its output; the
    // device's request thread starts first, as the render thread starts it
    // once monitor_type is known.
    void open_screen() {
        start_device_requests(*cxt_, SCREEN);
        std::vector<uint8_t> edid = torvel::testbed::make_edid();
        static uint8_t serial = 0;
        edid[12] = ++serial;
        edid[13] = 0x5C;
        uint8_t sum = 0;
        for (int i = 0; i < 127; ++i) sum = static_cast<uint8_t>(sum + edid[i]);
        edid[127] = static_cast<uint8_t>(0x100 - sum);
        create_screen(SCREEN, edid.data(), static_cast<uint16_t>(edid.size()));
        ASSERT_NE(evdihndl[SCREEN].load(), nullptr);
        evdiemu::CardState cards[evdiemu::kMaxOutputs];
        const int n = emu().cards(cards, evdiemu::kMaxOutputs);
        card_ = -1;
        for (int i = 0; i < n; ++i) {
            uint8_t got[256];
            if (cards[i].connected && emu().edid(i, got, sizeof got) >= 128 && got[12] == serial &&
                got[13] == 0x5C)
                card_ = i;
        }
        ASSERT_GE(card_, 0);
    }

    // A modeset by the desktop; ticks until capture runs (the device has
    // accepted the resolution) or the timeout.
    bool modeset(int w, int h) {
        w_ = w;
        h_ = h;
        if (emu().modeset(card_, w, h, 60) != 0) return false;
        return eventually([this] {
            screen_request(SCREEN);
            const evdi_mode mode = current_mode();
            return buffersRegistered[SCREEN].load() && mode.width == w_ && mode.height == h_;
        });
    }

    // One render-loop request. An armed request is answered by update_ready,
    // which the event thread grabs: once EVDI has sent it, that grab is
    // waited for, as the render loop would be woken by it.
    void request() {
        EXPECT_TRUE(eventually([this] {
            evdiemu::CardState cards[evdiemu::kMaxOutputs];
            emu().cards(cards, evdiemu::kMaxOutputs);
            std::lock_guard<std::mutex> hold(screen_state[SCREEN].lock);
            return !screen_state[SCREEN].armed || cards[card_].update_armed;
        }));
        screen_request(SCREEN);
    }
    // The context's mode, read as the capture path does: under the screen's
    // lock, which the event thread holds while it handles a mode change.
    evdi_mode current_mode() {
        std::lock_guard<std::mutex> hold(screen_state[SCREEN].lock);
        return cxt_->mode;
    }

    void paint(int x, int y, int w, int h, uint32_t rgb) {
        std::vector<uint32_t> px(static_cast<size_t>(w) * h, rgb);
        ASSERT_EQ(emu().paint(card_, x, y, w, h, px.data(), w), 0);
    }
    // Desktop-like content over the whole screen.
    void paint_desktop(int seed) {
        std::vector<uint32_t> px(static_cast<size_t>(w_) * h_);
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x)
                px[static_cast<size_t>(y) * w_ + x] = static_cast<uint32_t>(
                    (40 + 150 * y / h_) << 16 | (60 + 120 * x / w_) << 8 | (seed * 37 & 0xFF));
        std::mt19937 rng(static_cast<unsigned>(seed));
        for (int i = 0; i < 5; ++i) {
            const int x0 = static_cast<int>(rng() % static_cast<unsigned>(w_ - 40));
            const int y0 = static_cast<int>(rng() % static_cast<unsigned>(h_ - 30));
            for (int y = y0; y < std::min(h_, y0 + 150); ++y)
                for (int x = x0; x < std::min(w_, x0 + 200); ++x)
                    px[static_cast<size_t>(y) * w_ + x] =
                        (y - y0) % 9 == 4 && (x - x0) % 6 < 4 ? 0x202020u : 0xF0F0E8u;
        }
        ASSERT_EQ(emu().paint(card_, 0, 0, w_, h_, px.data(), w_), 0);
    }

    // One render-loop tick, then until its transfer has been decoded.
    void tick() {
        request();
        ASSERT_TRUE(eventually([] { return slots_free(); }));
        ASSERT_TRUE(device().wait_idle(5000ms));
    }

    // The screen as the device should show it.
    FrameBuffer expected(bool turn180, bool mirror) {
        std::vector<uint32_t> px(static_cast<size_t>(w_) * h_);
        EXPECT_EQ(emu().read_screen(card_, px.data(), px.size()), w_ * h_);
        FrameBuffer f(w_, h_);
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x) {
                const int sx = turn180 || mirror ? w_ - 1 - x : x;
                const int sy = turn180 ? h_ - 1 - y : y;
                const uint32_t v = px[static_cast<size_t>(sy) * w_ + sx];
                uint8_t *d = f.pixel(x, y);
                d[0] = static_cast<uint8_t>(v >> 16);
                d[1] = static_cast<uint8_t>(v >> 8);
                d[2] = static_cast<uint8_t>(v);
            }
        return f;
    }

    // Every 32 x 8 block of the device's picture within `tolerance` of the
    // expected picture on average: a stale block stands out however small.
    void expect_shown(const FrameBuffer &want, int tolerance = 8, double min_psnr = 35.0) {
        const FrameBuffer shown = device().frame();
        ASSERT_EQ(shown.width(), want.width());
        ASSERT_EQ(shown.height(), want.height());
        int bad = 0;
        for (int by = 0; by < want.height(); by += 8)
            for (int bx = 0; bx < want.width(); bx += 32) {
                long diff = 0, n = 0;
                for (int y = by; y < std::min(by + 8, want.height()); ++y)
                    for (int x = bx; x < std::min(bx + 32, want.width()); ++x)
                        for (int c = 0; c < 3; ++c, ++n)
                            diff += std::abs(shown.pixel(x, y)[c] - want.pixel(x, y)[c]);
                if (diff > tolerance * n && bad++ < 5)
                    ADD_FAILURE() << "block at " << bx << "," << by << " differs by " << diff / n
                                  << " on average";
            }
        EXPECT_EQ(bad, 0);
        EXPECT_GE(torvel::testbed::psnr(shown, want), min_psnr);
    }

    static evdiemu::Control &emu() { return evdiemu::local(); }

    thread_context_t *cxt_ = nullptr;
    int card_ = -1;
    int w_ = 0, h_ = 0;
};

TEST_F(Screen, PartialGrabsIntoAlternatingBuffersShowTheWholeScreen) {
    testing::internal::CaptureStdout();
    open_screen();
    // libevdi's own lines are announced as its own.
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[libevdi] "), std::string::npos);
    ASSERT_TRUE(modeset(1024, 600));
    paint_desktop(1);
    tick();
    expect_shown(expected(false, false));
    // Small changes, one per tick, so each lands in the other buffer than
    // the one before; contrasting colours make a stale block obvious.
    std::mt19937 rng(2);
    for (int i = 0; i < 12; ++i) {
        paint(static_cast<int>(rng() % 960), static_cast<int>(rng() % 560), 40, 30,
              (i & 1) != 0 ? 0xFF2000u : 0x00C0FFu);
        tick();
    }
    expect_shown(expected(false, false));
    EXPECT_EQ(device().state().counters.format_errors, 0u);
}

TEST_F(Screen, TurnedDeviceShowsTheTurnedScreenAndLaterChanges) {
    cxt_->monitor_type = MONITOR_TYPE_VMIRROR;
    device().set_orientation(MONITOR_ROTATE_180);
    open_screen();
    // The request thread reads the orientation once per frame period.
    ASSERT_TRUE(eventually([this] { return cxt_->rotate_state.load() == MONITOR_ROTATE_180; }));
    ASSERT_TRUE(modeset(640, 480));
    paint_desktop(3);
    tick();
    EXPECT_EQ(cxt_->rotate_state.load(), MONITOR_ROTATE_180);
    expect_shown(expected(true, false));
    paint(10, 20, 50, 20, 0xFF0000u);
    tick();
    paint(600, 400, 30, 60, 0x00FF00u);
    tick();
    expect_shown(expected(true, false));
    // Turned back: the frames follow the screen as it is from the next
    // reading on.
    device().set_orientation(MONITOR_ROTATE_NORMAL);
    ASSERT_TRUE(eventually([this] { return cxt_->rotate_state.load() == MONITOR_ROTATE_NORMAL; }));
    paint(300, 200, 64, 16, 0x0000FFu);
    tick();
    paint_desktop(4);
    tick();
    expect_shown(expected(false, false));
}

TEST_F(Screen, MirroredDeviceShowsTheMirroredScreenAndLaterChanges) {
    cxt_->monitor_type = MONITOR_TYPE_HMIRROR;
    device().set_mirror(MIRROR_ENABLE);
    open_screen();
    ASSERT_TRUE(eventually([] { return device_requests[SLOT].mirror.load() == MIRROR_ENABLE; }));
    ASSERT_TRUE(modeset(1366, 768));
    paint_desktop(5);
    tick();
    EXPECT_EQ(cxt_->mirror_state, MIRROR_ENABLE);
    expect_shown(expected(false, true));
    paint(1300, 700, 66, 68, 0xFFFF00u);
    tick();
    paint(0, 0, 7, 3, 0x00FFFFu);
    tick();
    expect_shown(expected(false, true));
}

TEST_F(Screen, ModeChangeWhileFramesAreInFlight) {
    open_screen();
    ASSERT_TRUE(modeset(800, 600));
    device().hold_bulk(true);
    for (int i = 0; i < 5; ++i) {
        paint(50 * i, 10, 40, 40, 0x808000u + static_cast<uint32_t>(i));
        request();
    }
    EXPECT_FALSE(slots_free());
    // The desktop changes the mode under the transfers in flight.
    ASSERT_TRUE(modeset(1280, 720));
    paint_desktop(6);
    device().hold_bulk(false);
    ASSERT_TRUE(eventually([] { return slots_free(); }));
    ASSERT_TRUE(device().wait_idle(5000ms));
    const uint64_t blocks_before = device().state().counters.blocks;
    tick();
    // The first frame of the new mode carries every block of its grid.
    EXPECT_EQ(device().state().counters.blocks - blocks_before, 40u * 90);
    EXPECT_EQ(device().state().resolution, (torvel::testbed::Resolution{1280, 720}));
    expect_shown(expected(false, false));
}

// The desktop's mode set reaches the daemon only once its event thread reads
// it; a grab made before that (a request EVDI answers at once because the
// mode set left the whole screen damaged) takes that damage into the old
// buffers. The same size fits them, so nothing fails,
// and the new buffers would show only later changes over black: the daemon
// has the desktop repaint, as the X server does on xrefresh.
// An xrefresh first on PATH that leaves a mark when the daemon asks the
// desktop to repaint; PATH and the files are put back however the test ends.
class FakeRepaint {
  public:
    FakeRepaint() {
        if (mkdtemp(dir_) == nullptr) return;
        marker_ = std::string(dir_) + "/ran";
        script_ = std::string(dir_) + "/xrefresh";
        FILE *f = std::fopen(script_.c_str(), "w");
        if (f == nullptr) return;
        std::fprintf(f, "#!/bin/sh\ntouch '%s'\n", marker_.c_str());
        std::fclose(f);
        old_path_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
        ready_ = chmod(script_.c_str(), 0755) == 0 &&
                 setenv("PATH", (std::string(dir_) + ":" + old_path_).c_str(), 1) == 0;
    }
    ~FakeRepaint() {
        if (ready_) setenv("PATH", old_path_.c_str(), 1);
        std::remove(marker_.c_str());
        std::remove(script_.c_str());
        rmdir(dir_);
    }
    bool ready() const { return ready_; }
    void clear() { std::remove(marker_.c_str()); }
    // Waits for a repaint asked for since the last clear().
    bool asked() const {
        return eventually([&] { return access(marker_.c_str(), F_OK) == 0; }, 3000ms);
    }

  private:
    char dir_[32] = "/tmp/torvel-repaint-XXXXXX";
    std::string marker_, script_, old_path_;
    bool ready_ = false;
};

TEST_F(Screen, AGrabBeforeTheModeChangeIsHandledLosesNothing) {
    FakeRepaint repaint;
    ASSERT_TRUE(repaint.ready());
    open_screen();
    ASSERT_TRUE(modeset(640, 360));
    paint_desktop(4);
    tick();
    tick();
    expect_shown(expected(false, false));
    // A paint answered by update_ready, which the event thread grabs: no
    // request is armed now.
    paint(0, 0, 64, 16, 0x336699u);
    screen_state_t &st = screen_state[SCREEN];
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> hold(st.lock);
        return !st.armed && st.frame_waiting;
    }));
    {
        // The event thread reads EVDI's events under the screen's lock: held
        // here, the mode change stays unread while a grab into the old
        // buffers is made, as the render thread's would be.
        std::lock_guard<std::mutex> hold(st.lock);
        ASSERT_EQ(emu().set_format(card_, evdiemu::kXB24), 0);
        repaint.clear();
        const evdi_handle handle = evdihndl[SCREEN].load();
        ASSERT_TRUE(evdi_request_update(handle, 0));
        evdi_rect rects[16];
        int count = 16;
        evdi_grab_pixels(handle, rects, &count);
        ASSERT_GT(count, 0);
        evdiemu::CardState cards[evdiemu::kMaxOutputs];
        emu().cards(cards, evdiemu::kMaxOutputs);
        ASSERT_EQ(cards[card_].dirty_rects, 0) << "the grab took the mode set's damage";
    }
    ASSERT_TRUE(eventually([this] {
        screen_request(SCREEN);
        return buffersRegistered[SCREEN].load();
    }));
    // The desktop repaints once asked to, as an X server does.
    const bool asked = repaint.asked();
    EXPECT_TRUE(asked) << "no repaint asked for";
    if (asked) paint_desktop(4);
    paint(0, 0, 64, 16, 0x336699u);
    tick();
    tick();
    expect_shown(expected(false, false));
}

// Bulk data and the resolution request take different pipes: a smaller
// mode's resolution goes to the device only once the larger mode's frames on
// their way have arrived, or the device would refuse their blocks.
TEST_F(Screen, ASmallerModesResolutionWaitsForTheFramesOnTheirWay) {
    open_screen();
    ASSERT_TRUE(modeset(1280, 720));
    paint_desktop(2);
    tick();
    ASSERT_TRUE(device().wait_idle(5000ms));
    // The frame is on its way for 400 ms, within the daemon's bulk time-out.
    device().set_bulk_delay(400ms);
    paint(1200, 700, 64, 16, 0x00FFFFu);  // blocks beyond the smaller grid
    request();
    ASSERT_FALSE(slots_free());
    ASSERT_TRUE(modeset(800, 600));
    ASSERT_TRUE(eventually([this] {
        return device().state().resolution == torvel::testbed::Resolution{800, 600};
    }));
    device().set_bulk_delay(0ms);
    paint_desktop(3);
    tick();
    ASSERT_TRUE(eventually([] { return slots_free(); }));
    ASSERT_TRUE(device().wait_idle(5000ms));
    EXPECT_EQ(device().state().counters.format_errors, 0u);
    expect_shown(expected(false, false));
}

TEST_F(Screen, AFrameDroppedForWantOfASlotIsSentOnALaterTick) {
    open_screen();
    ASSERT_TRUE(modeset(640, 360));
    paint_desktop(7);
    tick();
    device().hold_bulk(true);
    for (int i = 0; i < 4; ++i) {
        paint(20 * i, 0, 10, 10, 0x111111u * static_cast<uint32_t>(i + 1));
        request();
    }
    ASSERT_TRUE(eventually([] {
        for (auto &t : xfer_info[SLOT])
            if (!t.occupied.load()) return false;
        return true;
    }));
    // All four slots busy: this change is grabbed but cannot be sent.
    paint(500, 300, 100, 50, 0xFF00FFu);
    request();
    device().hold_bulk(false);
    ASSERT_TRUE(eventually([] { return slots_free(); }));
    ASSERT_TRUE(device().wait_idle(5000ms));
    // No new damage, yet the next tick sends the screen as it stands.
    tick();
    expect_shown(expected(false, false));
}

// The main loop reaps completions only every 100 ms or more: frames whose
// transfers have completed meanwhile must not hold the next ones back.
TEST_F(Screen, TransfersCompletedButNotYetReapedLeaveRoomForTheNextFrames) {
    open_screen();
    ASSERT_TRUE(modeset(640, 360));
    paint_desktop(7);
    tick();
    {
        // Resumed however the block ends, so later tests get their pump.
        struct paused_pump {
            paused_pump() { rig->pause_pump(true); }
            ~paused_pump() { rig->pause_pump(false); }
        } paused;
        // A frame counts once the device has decoded it, which comes after
        // its URB was completed (submission alone is counted sooner).
        const uint64_t before = device().state().counters.frames;
        for (uint64_t i = 0; i < 6; ++i) {
            paint(20 * static_cast<int>(i), 0, 10, 10, 0x111111u * static_cast<uint32_t>(i + 1));
            request();
            ASSERT_TRUE(eventually(
                [&] { return device().state().counters.frames == before + i + 1; }, 2000ms))
                << "frame " << i + 1 << " after the last reaping did not reach the device";
        }
    }
    ASSERT_TRUE(eventually([] { return slots_free(); }));
    EXPECT_FALSE(screen_state[SCREEN].resend);  // nothing was dropped
    expect_shown(expected(false, false));
}

TEST_F(Screen, AFailedTransferIsMadeGoodOnTheNextTick) {
    open_screen();
    ASSERT_TRUE(modeset(512, 256));
    paint_desktop(10);
    tick();
    // The first frame's blocks go out once more with the next grab.
    paint(0, 0, 4, 4, 0x102030u);
    tick();
    // Both sends of this change are lost on the way.
    device().fail_bulk(torvel::testbed::BulkFault::kError, 2);
    testing::internal::CaptureStdout();
    paint(100, 100, 60, 40, 0xFF8000u);
    tick();
    paint(300, 20, 8, 8, 0x0080FFu);
    tick();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("USB write failed@Screen#1, error:1\n"), std::string::npos) << out;
    EXPECT_EQ(cxt_->usb_error.load(), 2);
    // No new damage: the next tick sends what was lost, not the whole
    // screen (16 x 32 blocks).
    const uint64_t blocks = device().state().counters.blocks;
    tick();
    EXPECT_EQ(cxt_->usb_error.load(), 0);
    EXPECT_GT(device().state().counters.blocks - blocks, 0u);
    EXPECT_LT(device().state().counters.blocks - blocks, 64u);
    expect_shown(expected(false, false));
}

TEST_F(Screen, AStallIsClearedOnceNothingIsInFlightAndWhatItLostGoesAgain) {
    open_screen();
    ASSERT_TRUE(modeset(512, 256));
    paint_desktop(11);
    tick();
    tick();
    device().fail_bulk(torvel::testbed::BulkFault::kStall, 1);
    testing::internal::CaptureStdout();
    paint(40, 40, 100, 20, 0x20C020u);
    tick();
    EXPECT_TRUE(device().state().halted);
    paint(400, 200, 30, 30, 0xC02020u);
    tick();
    tick();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("USB write failed@Screen#1, error:4\n"), std::string::npos) << out;
    const auto s = device().state();
    EXPECT_FALSE(s.halted);
    EXPECT_EQ(s.counters.clear_halts, 1u);
    EXPECT_EQ(s.counters.clear_halts_active, 0u);  // never with transfers queued
    EXPECT_EQ(cxt_->usb_error.load(), 0);          // a stall is no failing device
    expect_shown(expected(false, false));
}

TEST_F(Screen, AFrameLargerThanMayBeInFlightGoesOutAsSeveralStreams) {
    // A machine with 1 MiB of usbfs memory: a frame of noise codes to more.
    rig->testbed().set_usbfs_memory_mb(1);
    open_screen();
    ASSERT_TRUE(modeset(1280, 720));
    std::vector<uint32_t> noise(1280 * 720);
    std::mt19937 rng(12);
    for (auto &px : noise) px = rng() & 0xFFFFFFu;
    ASSERT_EQ(emu().paint(card_, 0, 0, 1280, 720, noise.data(), 1280), 0);
    const auto before = device().state().counters;
    tick();
    const auto after = device().state().counters;
    EXPECT_GT(after.bytes - before.bytes, 1u << 20);
    EXPECT_GT(after.frames - before.frames, 4u);  // each stream stands alone
    EXPECT_EQ(after.submit_nomem, 0u);
    EXPECT_EQ(after.format_errors, 0u);
    EXPECT_EQ(cxt_->usb_error.load(), 0);
    // Noise at quality 90: every block arrived, none of them exactly.
    expect_shown(expected(false, false), 24, 25.0);
}

TEST_F(Screen, ATransferCutShortIsMadeGood) {
    open_screen();
    ASSERT_TRUE(modeset(640, 360));
    paint_desktop(12);
    tick();
    tick();
    device().fail_bulk(torvel::testbed::BulkFault::kPartial, 1);
    testing::internal::CaptureStdout();
    paint_desktop(13);
    tick();  // waits out the time-out
    tick();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("USB write failed@Screen#1, error:2\n"), std::string::npos) << out;
    EXPECT_EQ(device().state().counters.partial_transfers, 1u);
    expect_shown(expected(false, false));
}

TEST_F(Screen, AFrameWhoseSubmissionFailedIsMadeGoodOnTheNextTick) {
    open_screen();
    ASSERT_TRUE(modeset(512, 256));
    paint_desktop(11);
    tick();
    tick();
    g_failing_bulk_error.store(LIBUSB_ERROR_IO);
    g_failing_bulk_submissions.store(1);
    testing::internal::CaptureStdout();
    paint(200, 100, 50, 30, 0x30FF30u);
    request();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("screen_transfer: USB write failed@Screen#1!\n"), std::string::npos) << out;
    EXPECT_EQ(g_failing_bulk_submissions.load(), 0);
    // No new damage: the next tick sends the screen again.
    tick();
    expect_shown(expected(false, false));
    // usbfs full (ENOMEM): the frame waits, whole, and goes with the next
    // tick; nothing is lost, nothing reported.
    g_failing_bulk_error.store(LIBUSB_ERROR_NO_MEM);
    g_failing_bulk_submissions.store(1);
    testing::internal::CaptureStdout();
    paint(20, 200, 70, 20, 0xFF3030u);
    request();
    EXPECT_FALSE(slots_free());
    tick();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("USB write failed"), std::string::npos) << out;
    EXPECT_EQ(cxt_->usb_error.load(), 0);
    expect_shown(expected(false, false));
}

TEST_F(Screen, BuffersOfTransfersInFlightAtDestructionAreFreedByTheirCompletion) {
    open_screen();
    ASSERT_TRUE(modeset(640, 360));
    paint_desktop(13);
    tick();
    device().hold_bulk(true);
    for (int i = 0; i < 2; ++i) {
        paint(100 * i, 0, 64, 16, 0x102030u * static_cast<uint32_t>(i + 1));
        request();
    }
    ASSERT_FALSE(slots_free());
    testing::internal::CaptureStdout();
    destroy_screen(SCREEN);
    testing::internal::GetCapturedStdout();
    device().hold_bulk(false);
    ASSERT_TRUE(eventually([] { return slots_free(); }));
    for (const transfer_info_t &t : xfer_info[SLOT]) {
        EXPECT_EQ(t.stream, nullptr);
        EXPECT_EQ(t.stream_size, 0u);
    }
}

TEST_F(Screen, EventsForAScreenNoRegistryEntryNamesChangeNothing) {
    device_info[SCREEN].index.store(-1);
    const size_t resolutions = device().state().resolutions_set.size();
    open_screen();
    testing::internal::CaptureStdout();
    ASSERT_EQ(emu().modeset(card_, 320, 200, 60), 0);
    ASSERT_EQ(emu().dpms(card_, 3), 0);
    std::this_thread::sleep_for(300ms);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Mode change"), std::string::npos) << out;
    EXPECT_EQ(out.find("DPMS"), std::string::npos) << out;
    EXPECT_FALSE(buffersRegistered[SCREEN].load());
    EXPECT_EQ(buffers[SCREEN][0].buffer, nullptr);
    EXPECT_EQ(device().state().resolutions_set.size(), resolutions);
    EXPECT_EQ(cxt_->display_off.load(), -1);
}

TEST_F(Screen, RefusedResolutionKeepsCaptureOff) {
    open_screen();
    device().fail_control(torvel::testbed::request::kSetResolution,
                          torvel::testbed::ControlFault::kStall, 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(emu().modeset(card_, 320, 200, 60), 0);
    ASSERT_TRUE(eventually([this] { return current_mode().width == 320; }));
    std::this_thread::sleep_for(200ms);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Screen#1, Set Resolution Failed!"), std::string::npos) << out;
    EXPECT_FALSE(buffersRegistered[SCREEN].load());
    const uint64_t transfers = device().state().counters.transfers;
    paint(0, 0, 64, 16, 0xFF0000u);
    request();
    EXPECT_EQ(device().state().counters.transfers, transfers);
    // The next mode change brings capture back.
    ASSERT_TRUE(modeset(352, 200));
    paint_desktop(8);
    tick();
    expect_shown(expected(false, false));
}

// EVDI holds the desktop's commit while damage is pending until the next
// grab: a screen that cannot stream grabs on.
TEST_F(Screen, AScreenWithoutMemoryForTheModeStillCompletesTheDesktopsCommits) {
    open_screen();
    ASSERT_TRUE(modeset(320, 200));
    auto pending = [this] {
        evdiemu::CardState cards[evdiemu::kMaxOutputs];
        emu().cards(cards, evdiemu::kMaxOutputs);
        return cards[card_].commit_pending;
    };
    testing::internal::CaptureStdout();
    g_fail_arrays_above.store(256 * 1024);
    ASSERT_EQ(emu().modeset(card_, 1024, 768, 60), 0);
    ASSERT_TRUE(eventually([] {
        std::lock_guard<std::mutex> hold(screen_state[SCREEN].lock);
        return screen_state[SCREEN].draining;
    }));
    g_fail_arrays_above.store(0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "Screen#1, not enough memory for 1024x768, no capture"),
              std::string::npos);
    const uint64_t transfers = device().state().counters.transfers;
    auto completes = [&] {
        return eventually([&] {
            request();
            return !pending();
        });
    };
    EXPECT_TRUE(completes());  // the mode set
    paint(10, 10, 20, 20, 0xFF0000u);
    EXPECT_TRUE(completes());
    EXPECT_EQ(device().state().counters.transfers, transfers);
    EXPECT_FALSE(buffersRegistered[SCREEN].load());
    // A mode with memory to spare streams again.
    ASSERT_TRUE(modeset(512, 256));
    paint_desktop(11);
    tick();
    expect_shown(expected(false, false));
}

// libevdi answers false both for an armed request and for a failed one; a
// failed request armed nothing, so the next tick asks again.
TEST_F(Screen, AFailedUpdateRequestIsMadeAgain) {
    open_screen();
    ASSERT_TRUE(modeset(320, 200));
    paint_desktop(12);
    tick();
    ASSERT_EQ(emu().fail_next(evdiemu::Op::RequestUpdate, EIO, 1), 0);
    testing::internal::CaptureStdout();
    paint(0, 0, 64, 64, 0x00FF00u);
    tick();
    testing::internal::GetCapturedStdout();
    tick();
    expect_shown(expected(false, false));
}

TEST_F(Screen, DpmsEventsSwitchTheCountdownAndRestoreTheResolution) {
    open_screen();
    ASSERT_TRUE(modeset(320, 240));
    testing::internal::CaptureStdout();
    ASSERT_EQ(emu().dpms(card_, 3), 0);
    ASSERT_TRUE(eventually([this] { return cxt_->display_off.load() == 1; }));
    const size_t before = device().state().resolutions_set.size();
    ASSERT_EQ(emu().dpms(card_, 0), 0);
    ASSERT_TRUE(eventually([this] { return cxt_->display_off.load() == 0; }));
    ASSERT_TRUE(eventually([&] { return device().state().resolutions_set.size() > before; }));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Screen#1, DPMS event: 3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Screen#1, DPMS event: 0\n"), std::string::npos) << out;
    EXPECT_EQ(device().state().resolution, (torvel::testbed::Resolution{320, 240}));
    // While the render loop is not running, DPMS events are dropped.
    cxt_->keep_going.store(false);
    cxt_->display_off.store(-1);
    ASSERT_EQ(emu().dpms(card_, 3), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(cxt_->display_off.load(), -1);
}

// A DPMS on that comes while the countdown's last step is sending the 0 x 0
// request (held for 100 ms by one busy status) still leaves the display on.
TEST_F(Screen, DisplayOnDuringTheCountdownsLastStepKeepsTheDisplayOn) {
    open_screen();
    ASSERT_TRUE(modeset(320, 240));
    // The display goes off only once no stream is in flight.
    ASSERT_TRUE(eventually([] { return slots_free(); }));
    ASSERT_TRUE(device().wait_idle(5000ms));
    testing::internal::CaptureStdout();
    // EVDI reports DPMS on only after an off.
    ASSERT_EQ(emu().dpms(card_, 3), 0);
    ASSERT_TRUE(eventually([this] { return cxt_->display_off.load() == 1; }));
    cxt_->display_off.store(DISPLAY_OFF_COUNT - 1);
    device().set_busy({1}, false);
    const uint64_t polls = device().state().counters.status_polls;
    std::thread countdown([this] { display_off_step(SCREEN, *cxt_); });
    const bool waiting = eventually([&] { return device().state().counters.status_polls > polls; });
    EXPECT_EQ(emu().dpms(card_, 0), 0);
    countdown.join();
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(eventually([this] {
        return cxt_->display_off.load() == 0 && device().state().resolution == Resolution{320, 240};
    }));
    std::this_thread::sleep_for(300ms);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(device().state().resolution, (Resolution{320, 240}));
    EXPECT_EQ(device().state().resolutions_set.back(), (Resolution{320, 240}));
}

// Nothing is sent while the countdown has switched the device's display off
// (the device would discard it); once the display is back, the screen is.
TEST_F(Screen, WhatChangedWhileTheDisplayWasOffIsSentWhenItComesBack) {
    open_screen();
    ASSERT_TRUE(modeset(320, 240));
    paint_desktop(12);
    tick();
    tick();
    testing::internal::CaptureStdout();
    ASSERT_EQ(emu().dpms(card_, 3), 0);
    ASSERT_TRUE(eventually([this] { return cxt_->display_off.load() == 1; }));
    cxt_->display_off.store(DISPLAY_OFF_COUNT - 1);
    display_off_step(SCREEN, *cxt_);
    // The device's requests go out on a thread of their own.
    ASSERT_TRUE(eventually([this] { return device().state().display_off; }));
    const uint64_t transfers = device().state().counters.transfers;
    paint(40, 40, 100, 60, 0xFF0000u);
    tick();
    tick();
    EXPECT_EQ(device().state().counters.transfers, transfers);  // nothing while off
    ASSERT_EQ(emu().dpms(card_, 0), 0);
    ASSERT_TRUE(eventually([this] { return !device().state().display_off; }));
    // The resend is asked for once the device has answered.
    ASSERT_TRUE(eventually([] { return screen_state[SCREEN].refresh.load(); }));
    tick();
    testing::internal::GetCapturedStdout();
    expect_shown(expected(false, false));
    EXPECT_EQ(device().state().counters.format_errors, 0u);
}

// The display goes off only once the device has taken every stream: bulk
// data and the 0 x 0 request take different pipes, and a frame still on the
// link would reach a display already off. Nothing new goes out meanwhile.
TEST_F(Screen, TheDisplayGoesOffOnlyOnceNothingIsInFlight) {
    open_screen();
    ASSERT_TRUE(modeset(320, 240));
    paint_desktop(3);
    tick();
    ASSERT_TRUE(device().wait_idle(5000ms));
    testing::internal::CaptureStdout();
    device().hold_bulk(true);
    paint(10, 10, 50, 50, 0x00FF00u);
    request();
    ASSERT_FALSE(slots_free());
    const uint64_t transfers = device().state().counters.transfers;
    // EVDI reports DPMS on only after an off.
    ASSERT_EQ(emu().dpms(card_, 3), 0);
    ASSERT_TRUE(eventually([this] { return cxt_->display_off.load() == 1; }));
    cxt_->display_off.store(DISPLAY_OFF_COUNT - 1);
    display_off_step(SCREEN, *cxt_);
    paint(100, 100, 20, 20, 0xFF0000u);
    request();
    display_off_step(SCREEN, *cxt_);
    EXPECT_FALSE(device().state().display_off);
    EXPECT_EQ(cxt_->display_off.load(), DISPLAY_OFF_COUNT - 1);
    device().hold_bulk(false);
    ASSERT_TRUE(eventually([] { return slots_free(); }));
    display_off_step(SCREEN, *cxt_);
    ASSERT_TRUE(device().wait_idle(5000ms));
    // The device's requests go out on a thread of their own.
    EXPECT_TRUE(eventually([this] { return device().state().display_off; }));
    EXPECT_EQ(cxt_->display_off.load(), -1);
    EXPECT_EQ(device().state().counters.transfers, transfers);  // the held frame only
    ASSERT_EQ(emu().dpms(card_, 0), 0);
    ASSERT_TRUE(eventually([this] { return !device().state().display_off; }));
    ASSERT_TRUE(eventually([] { return screen_state[SCREEN].refresh.load(); }));
    tick();
    testing::internal::GetCapturedStdout();
    expect_shown(expected(false, false));
    EXPECT_EQ(device().state().counters.format_errors, 0u);
}

// A mode with more blocks than a frame can number: capture stays off, and a
// DPMS on afterwards does not send the resolution of the mode before it.
TEST_F(Screen, AnUnsupportedModeLeavesNoResolutionForDisplayOn) {
    open_screen();
    ASSERT_TRUE(modeset(320, 240));
    testing::internal::CaptureStdout();
    ASSERT_EQ(emu().modeset(card_, 7680, 2200, 60), 0);
    ASSERT_TRUE(eventually([] {
        std::lock_guard<std::mutex> hold(screen_state[SCREEN].lock);
        return buffers[SCREEN][0].buffer == nullptr;
    }));
    std::this_thread::sleep_for(300ms);  // the DPMS on that follows a mode set
    const size_t sent = device().state().resolutions_set.size();
    // EVDI reports DPMS on only after an off.
    ASSERT_EQ(emu().dpms(card_, 3), 0);
    ASSERT_EQ(emu().dpms(card_, 0), 0);
    std::this_thread::sleep_for(300ms);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Screen#1, mode 7680x2200 32bpp not supported, no capture\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(device().state().resolutions_set.size(), sent) << out;
    EXPECT_FALSE(buffersRegistered[SCREEN].load());
}

// A device cannot decode a block without its table: a lost request is sent
// again, a few times.
TEST_F(Screen, TheQuantisationTableIsSentAgainWhenTheRequestFails) {
    auto requests = [this] { return device().state().counters.control_requests; };
    uint64_t before = requests();
    device().fail_control(torvel::testbed::request::kSetQuantTable,
                          torvel::testbed::ControlFault::kStall, QUANT_TABLE_TRIES - 1);
    EXPECT_TRUE(send_quant_table(*cxt_));
    EXPECT_EQ(requests() - before, static_cast<uint64_t>(QUANT_TABLE_TRIES));
    before = requests();
    device().fail_control(torvel::testbed::request::kSetQuantTable,
                          torvel::testbed::ControlFault::kEmptyReply, QUANT_TABLE_TRIES);
    EXPECT_FALSE(send_quant_table(*cxt_));
    EXPECT_EQ(requests() - before, static_cast<uint64_t>(QUANT_TABLE_TRIES));
    EXPECT_TRUE(send_quant_table(*cxt_));
}

// The base block's extension count (byte 126) decides whether bank 2 is
// read, whatever length the device claims.
TEST(Edid, TheExtensionByteChoosesOneOrTwoBanks) {
    const std::vector<uint8_t> edids[2] = {torvel::testbed::make_edid(),
                                           torvel::testbed::make_edid({.extension_block = true})};
    const uint16_t lengths[2] = {128, 256};
    const uint64_t requests[2] = {2, 3};  // the length, bank 1, bank 2
    const std::atomic<bool> stop{false};
    for (int i = 0; i < 2; ++i) {
        const uint64_t before = rig->edid_device(i).state().counters.control_requests;
        uint8_t buf[EDID_MAX_BYTES];
        memset(buf, 0x5A, sizeof buf);
        EXPECT_EQ(fetch_edid(rig->edid_handle(i), buf, stop), lengths[i]);
        EXPECT_EQ(rig->edid_device(i).state().counters.control_requests - before, requests[i]);
        EXPECT_EQ(std::memcmp(buf, edids[i].data(), edids[i].size()), 0);
        if (i == 0) {
            EXPECT_EQ(std::count(buf + EDID_BANK, buf + EDID_MAX_BYTES, 0), EDID_BANK);
        }
    }
}

TEST_F(Screen, DestroyedScreenHasNoBuffersAndItsEventThreadStaysClear) {
    open_screen();
    ASSERT_TRUE(modeset(512, 256));
    paint_desktop(9);
    tick();
    testing::internal::CaptureStdout();
    destroy_screen(SCREEN);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("destroy_screen: Screen#1, Destroying buffer with id: 0\n"),
              std::string::npos);
    EXPECT_NE(out.find("destroy_screen: Screen#1, Destroying buffer with id: 1\n"),
              std::string::npos);
    EXPECT_FALSE(buffersRegistered[SCREEN].load());
    EXPECT_EQ(evdihndl[SCREEN].load(), nullptr);
    EXPECT_EQ(buffers[SCREEN][0].buffer, nullptr);
    EXPECT_EQ(buffers[SCREEN][1].buffer, nullptr);
    EXPECT_EQ(cxt_->dirty_block[0], nullptr);
    EXPECT_EQ(cxt_->dirty_block[1], nullptr);
    EXPECT_EQ(device_info[SCREEN].index.load(), -1);
    // The render loop may still tick once; nothing happens.
    screen_request(SCREEN);
    // The event thread lives on until cancelled, and is cancelled promptly.
    EXPECT_TRUE(eevt_threads[SCREEN].running());
    std::this_thread::sleep_for(250ms);
    const auto start = std::chrono::steady_clock::now();
    eevt_threads[SCREEN].cancel_and_join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// The cursor drawn here shows on the device exactly as the cursor EVDI draws
// into its grabs (cursor events off): the same pixels after every change,
// also partly off the screen and over new content.
TEST_F(Screen, TheCursorDrawnHereShowsWhatEvdiWouldHaveDrawn) {
    constexpr int CW = 20, CH = 31;  // an odd height: the module leaves out the last row
    std::vector<uint32_t> arrow(CW * CH);
    for (int i = 0; i < CW * CH; ++i)
        arrow[static_cast<size_t>(i)] = static_cast<uint32_t>((i * 53) % 256) << 24 |
                                        static_cast<uint32_t>(i * 2654435761u >> 8);
    const int places[][2] = {{10, 10}, {100, 57}, {305, 185}, {-7, -3}, {150, 90}};
    std::vector<std::vector<uint8_t>> shown[2];
    for (int here = 0; here < 2; ++here) {
        SCOPED_TRACE(here ? "drawn here" : "drawn by EVDI");
        cxt_->draw_cursor = here == 1;
        device_info[SCREEN].index.store(SLOT);  // given back by the last destruction
        open_screen();
        ASSERT_TRUE(modeset(320, 200));
        paint_desktop(3);
        tick();
        // Until the event thread has handled the events up to this state.
        const auto after_event = [&](bool visible, int x, int y) {
            if (here == 0) return;
            ASSERT_TRUE(eventually([&] {
                std::lock_guard<std::mutex> hold(screen_state[SCREEN].lock);
                const screen_cursor_t &c = screen_state[SCREEN].cursor;
                return screen_state[SCREEN].cursor_changed && c.visible() == visible &&
                       (!visible || (c.x() == x && c.y() == y));
            }));
        };
        const auto look = [&] {
            tick();
            const FrameBuffer f = device().frame();
            shown[here].emplace_back(f.pixel(0, 0), f.pixel(0, 0) + 3 * 320 * 200);
        };
        look();
        ASSERT_EQ(emu().cursor_set(card_, 0, 0, CW, CH, true, arrow.data()), 0);
        ASSERT_EQ(emu().cursor_move(card_, places[0][0], places[0][1]), 0);
        after_event(true, places[0][0], places[0][1]);
        look();
        // The cursor is there at all.
        EXPECT_FALSE(shown[here][0] == shown[here][1]);
        for (const auto &p : places) {
            if (&p == &places[0]) continue;  // there already: EVDI sends no event
            ASSERT_EQ(emu().cursor_move(card_, p[0], p[1]), 0);
            after_event(true, p[0], p[1]);
            look();
            // EVDI damages the whole screen (250 blocks); here only the
            // blocks under the places since the older store: the last two
            // moves', up to 2 x 5 blocks each.
            if (here == 1)
                EXPECT_LE(cxt_->last_scan_blocks, 30u);
            else
                EXPECT_EQ(cxt_->last_scan_blocks, 250u);
        }
        paint(140, 80, 40, 30, 0x30A040);  // under the cursor
        look();
        // Hidden: EVDI marks nothing dirty and the device goes on showing
        // its cursor until the next damage; the one drawn here goes at once.
        ASSERT_EQ(emu().cursor_set(card_, 0, 0, CW, CH, false, arrow.data()), 0);
        if (here == 1) {
            after_event(false, 0, 0);
            tick();
            expect_shown(expected(false, false));
        }
        stop_device_requests(*cxt_);
        destroy_screen(SCREEN);
        eevt_threads[SCREEN].cancel_and_join();
    }
    ASSERT_EQ(shown[0].size(), shown[1].size());
    for (size_t i = 0; i < shown[0].size(); ++i) EXPECT_TRUE(shown[0][i] == shown[1][i]) << i;
}

// libevdi drops a cursor_set whose image it cannot map: the daemon has no
// image to draw, and the module sends one only at the desktop's next change
// of it. The module draws the cursor instead, and the device shows it.
TEST_F(Screen, ACursorImageLibevdiCouldNotMapIsDrawnByEvdi) {
    FakeRepaint repaint;
    ASSERT_TRUE(repaint.ready());
    constexpr int CW = 16, CH = 16;
    std::vector<uint32_t> arrow(CW * CH, 0xFFE01020u);  // opaque red
    cxt_->draw_cursor = true;
    open_screen();
    ASSERT_TRUE(modeset(320, 200));
    paint_desktop(3);
    tick();
    const auto events_off = [this] {
        evdiemu::CardState cards[evdiemu::kMaxOutputs];
        emu().cards(cards, evdiemu::kMaxOutputs);
        return !cards[card_].cursor_events;
    };
    ASSERT_FALSE(events_off());
    repaint.clear();
    ASSERT_EQ(emu().fail_next(evdiemu::Op::MapDumb, EIO, 1), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(emu().cursor_set(card_, 0, 0, CW, CH, true, arrow.data()), 0);
    ASSERT_EQ(emu().cursor_move(card_, 100, 60), 0);
    const bool handed_over = eventually(events_off);
    const bool asked = repaint.asked();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(handed_over) << "cursor events still on: nobody draws the cursor";
    EXPECT_TRUE(asked) << "no repaint asked for";
    EXPECT_NE(out.find("Screen#1, cursor image lost, EVDI draws the cursor\n"), std::string::npos);
    if (asked) paint_desktop(3);
    tick();
    tick();
    expect_shown(expected(false, false));
    // It follows the pointer from here on.
    ASSERT_EQ(emu().cursor_move(card_, 200, 120), 0);
    tick();
    tick();
    expect_shown(expected(false, false));
}

// Only switching the cursor on or off is logged: neither a new image nor a
// move (the pointer moves every frame while the mouse does).
TEST(CursorEvents, OnlySwitchingOnOrOffIsLoggedAndTheImageIsReleased) {
    testing::internal::CaptureStdout();
    evdi_cursor_set set{};
    set.hot_x = 3;
    set.hot_y = 4;
    set.enabled = 1;
    set.width = set.height = 64;
    set.buffer_length = 64 * 64 * 4;
    void *screen = reinterpret_cast<void *>(intptr_t{1});
    for (int image = 0; image < 2; ++image) {
        set.buffer = static_cast<uint32_t *>(std::calloc(set.buffer_length, 1));
        on_cursor_set(set, screen);
    }
    on_cursor_move(evdi_cursor_move{10, 20}, screen);
    set.enabled = 0;
    set.buffer = nullptr;
    on_cursor_set(set, screen);
    on_cursor_set(set, screen);
    on_crtc_state_change(2, screen);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cursor ON: Hot[X,Y]=3, 4\nCursor OFF: Hot[X,Y]=3, 4\nCRTC state change: 2\n");
}

// libevdi retries a card that will not open yet, and marks it in use only
// once it is open: a second screen opened meanwhile must still get a card of
// its own.
TEST_F(Screen, ScreensOpenedAtOnceGetCardsOfTheirOwn) {
    constexpr int OTHER = 2;
    auto connected = [] {
        evdiemu::CardState cards[evdiemu::kMaxOutputs];
        const int n = emu().cards(cards, evdiemu::kMaxOutputs);
        int count = 0;
        for (int i = 0; i < n; ++i) count += cards[i].connected;
        return count;
    };
    const int before = connected();
    ASSERT_EQ(emu().fail_next(evdiemu::Op::Open, EBUSY, 4), 0);
    testing::internal::CaptureStdout();
    std::vector<uint8_t> edid = torvel::testbed::make_edid();
    std::thread first([&] { create_screen(SCREEN, edid.data(), 128); });
    std::this_thread::sleep_for(150ms);
    create_screen(OTHER, edid.data(), 128);
    first.join();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(evdihndl[SCREEN].load(), nullptr);
    EXPECT_NE(evdihndl[OTHER].load(), nullptr);
    EXPECT_EQ(connected(), before + 2);
    testing::internal::CaptureStdout();
    destroy_screen(OTHER);
    eevt_threads[OTHER].cancel_and_join();
    testing::internal::GetCapturedStdout();
}

// Last: libevdi gives up on its own time after a failed open.
TEST_F(Screen, OpenFailurePrintsOneLineAndLeavesCaptureOff) {
    ASSERT_EQ(emu().fail_next(evdiemu::Op::Open, EACCES, 100), 0);
    testing::internal::CaptureStdout();
    const std::vector<uint8_t> edid = torvel::testbed::make_edid();
    create_screen(SCREEN, edid.data(), 128);
    const std::string out = testing::internal::GetCapturedStdout();
    emu().fail_next(evdiemu::Op::Open, 0, 0);
    EXPECT_NE(out.find("Screen#1, EVDI output cannot be opened, no capture on this screen\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(evdihndl[SCREEN].load(), nullptr);
    EXPECT_FALSE(buffersRegistered[SCREEN].load());
    screen_request(SCREEN);
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    rig = new Rig;
    ::testing::AddGlobalTestEnvironment(rig);
    return RUN_ALL_TESTS();
}
