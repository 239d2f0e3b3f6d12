// A plain libevdi 1.12 client against the emulated EVDI module.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "evdi_compat.h"
#include "evdi_emu.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
#endif

namespace {

using evdiemu::CardState;
using evdiemu::Op;

evdiemu::Control &emu() {
    return evdiemu::local();
}

// A valid base EDID with `ext` extension blocks; `serial` tells tests apart.
std::vector<uint8_t> make_edid(uint32_t serial, int ext = 0) {
    std::vector<uint8_t> e(128 * (1 + ext), 0);
    const uint8_t header[] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
    std::memcpy(e.data(), header, sizeof(header));
    std::memcpy(&e[12], &serial, 4);
    e[18] = 1;
    e[19] = 3;
    e[126] = static_cast<uint8_t>(ext);
    uint8_t sum = 0;
    for (int i = 0; i < 127; ++i) sum = static_cast<uint8_t>(sum + e[i]);
    e[127] = static_cast<uint8_t>(-sum);
    for (int b = 1; b <= ext; ++b) e[128 * b] = 0x02;
    return e;
}

std::vector<CardState> states() {
    std::vector<CardState> s(evdiemu::kMaxOutputs);
    int n = emu().cards(s.data(), static_cast<int>(s.size()));
    s.resize(n > 0 ? n : 0);
    return s;
}

// Index of the output that a client connected with this EDID, or -1.
int card_with_edid(const std::vector<uint8_t> &edid) {
    std::vector<CardState> s = states();
    for (size_t i = 0; i < s.size(); ++i) {
        if (!s[i].connected || s[i].edid_length != edid.size()) continue;
        std::vector<uint8_t> got(edid.size());
        emu().edid(static_cast<int>(i), got.data(), got.size());
        if (got == edid) return static_cast<int>(i);
    }
    return -1;
}

// Asks for an update of buffer `id`, which damage makes ready at once, and
// grabs it; returns the number of rectangles (0: the grab failed).
int grab_now(evdi_handle h, int id, evdi_rect *rects) {
    EXPECT_TRUE(evdi_request_update(h, id));
    int n = 16;
    evdi_grab_pixels(h, rects, &n);
    return n;
}

// The emulated module's log: kernel.log in the private tree.
std::string kernel_log() {
    const char *base = std::getenv("TMPDIR");
    const std::string dir = base && *base ? base : "/tmp";
    const std::string prefix = "torvel-evdi-" + std::to_string(getpid()) + "-";
    std::string text;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (std::string(e->d_name).rfind(prefix, 0) != 0) continue;
            std::ifstream f(dir + "/" + e->d_name + "/kernel.log");
            std::stringstream ss;
            ss << f.rdbuf();
            text += ss.str();
        }
        closedir(d);
    }
    return text;
}

std::vector<std::string> g_log;
void collect_log(void *, const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    g_log.emplace_back(line);
}

struct Event {
    enum Kind { Dpms, Mode, Update, CursorSet, CursorMove } kind;
    int value = 0;
    evdi_mode mode{};
    evdi_cursor_set cursor{};
    std::vector<uint32_t> image;
    evdi_cursor_move move{};
};

class Client {
  public:
    Client() {
        ctx_.dpms_handler = [](int mode, void *u) {
            static_cast<Client *>(u)->events_.push_back({Event::Dpms, mode});
        };
        ctx_.mode_changed_handler = [](evdi_mode m, void *u) {
            Event e{Event::Mode};
            e.mode = m;
            static_cast<Client *>(u)->events_.push_back(e);
        };
        ctx_.update_ready_handler = [](int id, void *u) {
            static_cast<Client *>(u)->events_.push_back({Event::Update, id});
        };
        ctx_.cursor_set_handler = [](evdi_cursor_set c, void *u) {
            Event e{Event::CursorSet};
            e.cursor = c;
            if (c.buffer) {
                e.image.assign(c.buffer, c.buffer + c.buffer_length / 4);
                std::free(c.buffer);  // the handler owns the copy
            }
            e.cursor.buffer = nullptr;
            static_cast<Client *>(u)->events_.push_back(e);
        };
        ctx_.cursor_move_handler = [](evdi_cursor_move m, void *u) {
            Event e{Event::CursorMove};
            e.move = m;
            static_cast<Client *>(u)->events_.push_back(e);
        };
        ctx_.user_data = this;
    }
    ~Client() { close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool open() {
        h_ = evdi_open_attached_to_fixed(nullptr, 0);
        return h_ != nullptr;
    }
    void close() {
        if (h_) evdi_close(h_);
        h_ = nullptr;
    }
    evdi_handle h() const { return h_; }

    // Reads the next event, waiting up to `ms`.
    bool next(Event *out, int ms = 2000) {
        while (events_.empty()) {
            pollfd p{evdi_get_event_ready(h_), POLLIN, 0};
            if (poll(&p, 1, ms) != 1) return false;
            evdi_handle_events(h_, &ctx_);
        }
        *out = events_.front();
        events_.erase(events_.begin());
        return true;
    }
    bool idle(int ms = 50) {
        pollfd p{evdi_get_event_ready(h_), POLLIN, 0};
        return events_.empty() && poll(&p, 1, ms) == 0;
    }

  private:
    evdi_handle h_ = nullptr;
    evdi_event_context ctx_{};
    std::vector<Event> events_;
};

class EvdiEmu : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        evdi_set_logging({collect_log, nullptr});
        // A tree left behind by a process that has gone (before this process
        // makes its own).
        pid_t pid = fork();
        if (pid == 0) _exit(0);
        waitpid(pid, nullptr, 0);
        const char *base = std::getenv("TMPDIR");
        stale_ = std::string(base && *base ? base : "/tmp") + "/torvel-evdi-" +
                 std::to_string(pid) + "-stale";
        mkdir(stale_.c_str(), 0755);
        mkdir((stale_ + "/sys").c_str(), 0755);
    }
    static inline std::string stale_;

    // Opens, connects with a fresh EDID and sets a mode, its three events
    // read. The card may be one an earlier test left with damage of another
    // size (the module keeps it across clients): a grab takes that, and a
    // commit that changes nothing leaves the whole screen dirty again, as
    // evdi_plane_atomic_update does when no damage is pending.
    void bring_up(Client &c, int w, int h) {
        ASSERT_TRUE(c.open());
        edid_ = make_edid(++serial_);
        evdi_connect2(c.h(), edid_.data(), static_cast<unsigned>(edid_.size()), 0xffffffffu,
                      0xffffffffu);
        card_ = card_with_edid(edid_);
        ASSERT_GE(card_, 0);
        ASSERT_EQ(emu().modeset(card_, w, h, 60), 0);
        Event e;
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.next(&e));
        std::vector<uint32_t> scratch(static_cast<size_t>(w) * h);
        evdi_register_buffer(c.h(), {9, scratch.data(), w, h, w * 4, nullptr, 0});
        ASSERT_TRUE(evdi_request_update(c.h(), 9));
        evdi_rect rects[16];
        int n = 0;
        evdi_grab_pixels(c.h(), rects, &n);
        evdi_unregister_buffer(c.h(), 9);
        ASSERT_EQ(emu().dpms(card_, 0), 0);
        ASSERT_TRUE(c.idle());
    }

    static inline uint32_t serial_ = 1000;
    std::vector<uint8_t> edid_;
    int card_ = -1;
};

// The event sequences of evdi_plane_atomic_update and evdi_crtc_atomic_flush.
TEST_F(EvdiEmu, OpenConnectAndTheModuleEventSequences) {
    Client c;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.open());
    // libevdi waits for the holder, which opens the new card half a second
    // after it appears; the open does not sit out its five-second wait.
    const auto opened = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(opened, std::chrono::milliseconds(400));
    EXPECT_LT(opened, std::chrono::seconds(4));
    std::vector<CardState> s = states();
    ASSERT_FALSE(s.empty());
    const char *base = std::getenv("TORVEL_EVDI_CARD_BASE");
    for (const CardState &st : s) {
        EXPECT_GE(st.number, base ? std::atoi(base) : 47);
        EXPECT_LT(st.number, 64);
    }
    struct stat sb;
    EXPECT_EQ(stat("/sys/devices/evdi/add", &sb), 0);
    EXPECT_NE(stat(stale_.c_str(), &sb), 0);  // removed when this process made its tree

    std::vector<uint8_t> edid = make_edid(7, 1);
    evdi_connect2(c.h(), edid.data(), static_cast<unsigned>(edid.size()), 1920 * 1080,
                  1920 * 1080 * 60);
    int card = card_with_edid(edid);
    ASSERT_GE(card, 0);
    s = states();
    EXPECT_EQ(s[card].pixel_area_limit, 1920u * 1080u);
    EXPECT_EQ(s[card].pixel_per_second_limit, 1920u * 1080u * 60u);
    EXPECT_TRUE(c.idle());

    EXPECT_EQ(emu().modeset(card, 2560, 1440, 60), -E2BIG);  // beyond the client's limit
    // The mode configuration's framebuffer sizes, and a mode within its buffer.
    EXPECT_EQ(emu().modeset(card, 640, 63, 60), -EINVAL);
    EXPECT_EQ(emu().modeset(card, 7688, 64, 60), -EINVAL);
    EXPECT_EQ(
        emu().modeset(card, evdiemu::ModeSet{640, 480, 60, evdiemu::kXR24, 320, 480}, nullptr),
        -ENOSPC);
    EXPECT_EQ(emu().modeset(card, evdiemu::ModeSet{640, 480, 60, 0x36314752u}, nullptr), -EINVAL);
    EXPECT_TRUE(c.idle());

    auto expect = [&](std::vector<int> dpms_or_mode) {
        for (int want : dpms_or_mode) {
            Event e;
            ASSERT_TRUE(c.next(&e));
            if (want < 0) {
                EXPECT_EQ(e.kind, Event::Mode);
            } else {
                EXPECT_EQ(e.kind, Event::Dpms);
                EXPECT_EQ(e.value, want);
            }
        }
        EXPECT_TRUE(c.idle());
    };
    constexpr int kMode = -1;
    // First enable: DPMS on, mode_changed, DPMS on.
    ASSERT_EQ(emu().modeset(card, 1920, 1080, 60), 0);
    Event e;
    expect({0, kMode, 0});
    // A mode change while on: mode_changed only; the same mode again: nothing.
    ASSERT_EQ(emu().modeset(card, 1280, 720, 60), 0);
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::Mode);
    EXPECT_EQ(e.mode.width, 1280);
    EXPECT_EQ(e.mode.height, 720);
    EXPECT_EQ(e.mode.refresh_rate, 60);
    EXPECT_EQ(e.mode.bits_per_pixel, 32);
    EXPECT_EQ(e.mode.pixel_format, evdiemu::kXR24);
    EXPECT_TRUE(c.idle());
    ASSERT_EQ(emu().modeset(card, 1280, 720, 60), 0);
    EXPECT_TRUE(c.idle());
    ASSERT_EQ(emu().modeset(card, 1280, 720, 50), 0);
    expect({kMode});
    // DPMS knows on and off only; off again is no change.
    ASSERT_EQ(emu().dpms(card, 1), 0);
    expect({3});
    ASSERT_EQ(emu().dpms(card, 2), 0);
    EXPECT_TRUE(c.idle());
    ASSERT_EQ(emu().dpms(card, 0), 0);
    expect({0});
    // The output off: DPMS off from the plane and from the CRTC; lit again,
    // the first-enable sequence.
    ASSERT_EQ(emu().output_off(card), 0);
    expect({3, 3});
    EXPECT_EQ(states()[card].width, 0);
    EXPECT_EQ(emu().dpms(card, 0), -ENOTCONN);
    ASSERT_EQ(emu().modeset(card, 1280, 720, 60), 0);
    expect({0, kMode, 0});

    // Disconnect, reconnect, then close: release disconnects.
    evdi_disconnect(c.h());
    s = states();
    EXPECT_FALSE(s[card].connected);
    EXPECT_EQ(s[card].width, 0);
    EXPECT_EQ(emu().modeset(card, 800, 600, 60), -ENOTCONN);
    evdi_connect2(c.h(), edid.data(), static_cast<unsigned>(edid.size()), ~0u, ~0u);
    EXPECT_TRUE(states()[card].connected);
    uint64_t disconnects = states()[card].disconnects;
    c.close();
    EXPECT_FALSE(states()[card].connected);
    EXPECT_EQ(states()[card].disconnects, disconnects + 1);
}

TEST_F(EvdiEmu, GrabCopiesOnlyDirtyRectanglesAndHonoursStride) {
    Client c;
    bring_up(c, 96, 64);
    const int stride = 96 * 4 + 32;  // padded rows
    std::vector<uint8_t> mem(static_cast<size_t>(stride) * 64);
    evdi_buffer buf{0, mem.data(), 96, 64, stride, nullptr, 0};
    evdi_register_buffer(c.h(), buf);

    // The mode change left the whole screen dirty.
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_rect rects[16];
    int n = -1;
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(rects[0].x1, 0);
    EXPECT_EQ(rects[0].y1, 0);
    EXPECT_EQ(rects[0].x2, 96);
    EXPECT_EQ(rects[0].y2, 64);

    std::fill(mem.begin(), mem.end(), 0xEE);
    std::vector<uint32_t> px(10 * 4, 0x00112233);
    ASSERT_EQ(emu().paint(card_, 5, 6, 10, 4, px.data(), 10), 0);
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(rects[0].x1, 5);
    EXPECT_EQ(rects[0].y1, 6);
    EXPECT_EQ(rects[0].x2, 15);
    EXPECT_EQ(rects[0].y2, 10);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < stride / 4; ++x) {
            uint32_t v;
            std::memcpy(&v, &mem[static_cast<size_t>(y) * stride + x * 4], 4);
            bool inside = x >= 5 && x < 15 && y >= 6 && y < 10;
            ASSERT_EQ(v, inside ? 0x00112233u : 0xEEEEEEEEu) << x << "," << y;
        }
    }
    EXPECT_EQ(states()[card_].last_grab_count, 1);
    evdi_unregister_buffer(c.h(), 0);

    // Full-width damage into a packed buffer: every row lands in its place.
    std::vector<uint32_t> packed(96 * 64, 0), pattern(96 * 64);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint32_t>(i * 2654435761u) & 0x00ffffffu;
    evdi_register_buffer(c.h(), {1, packed.data(), 96, 64, 96 * 4, nullptr, 0});
    ASSERT_EQ(emu().paint(card_, 0, 3, 96, 20, pattern.data() + 3 * 96, 96), 0);
    n = grab_now(c.h(), 1, rects);
    ASSERT_EQ(n, 1);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x)
            ASSERT_EQ(packed[y * 96 + x], y >= 3 && y < 23 ? pattern[y * 96 + x] : 0u)
                << x << "," << y;
    evdi_unregister_buffer(c.h(), 1);
}

// merge_dirty_rects at the seventeenth rectangle finds nothing to join, so
// collapse_dirty_rects makes the sixteen one bounding box; the grab's own
// merge leaves that box and the newcomer apart.
TEST_F(EvdiEmu, DamageIsMergedAndCollapsedAsTheModuleDoes) {
    Client c;
    bring_up(c, 256, 128);
    std::vector<uint32_t> mem(256 * 128);
    evdi_register_buffer(c.h(), {1, mem.data(), 256, 128, 256 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = grab_now(c.h(), 1, rects);
    // Sixteen single pixels in one flip, far apart: no two join.
    std::vector<evdiemu::Rect> dots;
    std::vector<uint32_t> colours;
    for (int i = 0; i < 16; ++i) {
        const int x = 8 + (i % 4) * 24, y = 8 + (i / 4) * 16;
        dots.push_back({x, y, x + 1, y + 1});
        colours.push_back(0x00010203u * static_cast<uint32_t>(i + 1));
    }
    ASSERT_EQ(emu().paint_rects(card_, dots.data(), 16, colours.data()), 0);
    EXPECT_EQ(states()[card_].dirty_rects, 16);
    const uint32_t v = 0x00abcdefu;
    ASSERT_EQ(emu().paint(card_, 250, 120, 2, 1, std::vector<uint32_t>(2, v).data(), 2), 0);
    EXPECT_EQ(states()[card_].dirty_rects, 2);
    n = grab_now(c.h(), 1, rects);
    ASSERT_EQ(n, 2);
    std::vector<std::array<int, 4>> got;
    for (int i = 0; i < n; ++i) got.push_back({rects[i].x1, rects[i].y1, rects[i].x2, rects[i].y2});
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[0], (std::array<int, 4>{8, 8, 81, 57}));
    EXPECT_EQ(got[1], (std::array<int, 4>{250, 120, 252, 121}));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(mem[static_cast<size_t>(dots[i].y1) * 256 + dots[i].x1], colours[i]) << i;
    EXPECT_EQ(mem[120 * 256 + 251], v);
    evdi_unregister_buffer(c.h(), 1);
}

TEST_F(EvdiEmu, AnUpdateIsArmedOnceAndARepeatedRequestIsAWarning) {
    Client c;
    bring_up(c, 64, 64);
    std::vector<uint32_t> mem(64 * 64);
    evdi_register_buffer(c.h(), {0, mem.data(), 64, 64, 64 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(n, 1);

    // Painting with no request armed sends nothing.
    uint32_t v = 0x00ff0000;
    ASSERT_EQ(emu().paint(card_, 1, 1, 1, 1, &v, 1), 0);
    EXPECT_TRUE(c.idle());
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(n, 1);

    // Nothing dirty: the request arms one update_ready; another request
    // while armed is only counted and logged.
    const uint64_t redundant = states()[card_].redundant_update_requests;
    EXPECT_FALSE(evdi_request_update(c.h(), 0));
    EXPECT_TRUE(states()[card_].update_armed);
    EXPECT_FALSE(evdi_request_update(c.h(), 0));
    EXPECT_EQ(states()[card_].redundant_update_requests, redundant + 1);
    EXPECT_NE(kernel_log().find("Update was already requested - ignoring"), std::string::npos);
    EXPECT_TRUE(c.idle());
    ASSERT_EQ(emu().paint(card_, 3, 4, 1, 1, &v, 1), 0);
    Event e;
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::Update);
    EXPECT_EQ(e.value, 0);
    EXPECT_FALSE(states()[card_].update_armed);
    ASSERT_EQ(emu().paint(card_, 30, 40, 1, 1, &v, 1), 0);
    EXPECT_TRUE(c.idle());  // one event per armed request
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(n, 2);  // too far apart to be merged
    EXPECT_EQ(mem[4 * 64 + 3], v);
    EXPECT_EQ(mem[40 * 64 + 30], v);
    EXPECT_EQ(mem[4 * 64 + 4], 0u);
    EXPECT_EQ(states()[card_].updates_ready, 1u);
    EXPECT_EQ(states()[card_].redundant_update_requests, redundant + 1);
    evdi_unregister_buffer(c.h(), 0);
}

// evdi_painter_set_vblank: a commit with damage pending completes at the
// next grab; a cursor update, or one on a CRTC that stays off, at once.
TEST_F(EvdiEmu, CommitsWaitForTheNextGrab) {
    Client c;
    bring_up(c, 64, 64);
    EXPECT_TRUE(states()[card_].commit_pending);  // the mode set itself
    std::vector<uint32_t> mem(64 * 64);
    evdi_register_buffer(c.h(), {0, mem.data(), 64, 64, 64 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = grab_now(c.h(), 0, rects);
    EXPECT_FALSE(states()[card_].commit_pending);

    const uint32_t v = 0x00102030u;
    ASSERT_EQ(emu().paint(card_, 0, 0, 1, 1, &v, 1), 0);
    EXPECT_TRUE(states()[card_].commit_pending);
    usleep(60000);
    EXPECT_GE(states()[card_].commit_held_ms, 50.0);
    n = grab_now(c.h(), 0, rects);
    CardState s = states()[card_];
    EXPECT_FALSE(s.commit_pending);
    EXPECT_GE(s.commit_wait_max_ms, 50.0);
    EXPECT_EQ(s.commit_stalls, 0u);

    std::vector<uint32_t> arrow(8 * 8, 0xff00ff00u);
    ASSERT_EQ(emu().cursor_set(card_, 0, 0, 8, 8, true, arrow.data()), 0);
    ASSERT_EQ(emu().cursor_move(card_, 10, 10), 0);
    s = states()[card_];
    EXPECT_FALSE(s.commit_pending);
    EXPECT_EQ(s.dirty_rects, 2);  // each change: the whole framebuffer
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(rects[0].x2, 64);
    EXPECT_EQ(rects[0].y2, 64);

    ASSERT_EQ(emu().dpms(card_, 3), 0);  // CRTC on before: waits
    EXPECT_TRUE(states()[card_].commit_pending);
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(emu().paint(card_, 0, 0, 1, 1, &v, 1), 0);  // off before and after
    EXPECT_FALSE(states()[card_].commit_pending);
    ASSERT_EQ(emu().dpms(card_, 0), 0);
    EXPECT_TRUE(states()[card_].commit_pending);
    // A disconnect completes what waited; the damage stays for the card.
    evdi_unregister_buffer(c.h(), 0);
    evdi_disconnect(c.h());
    s = states()[card_];
    EXPECT_FALSE(s.commit_pending);
    EXPECT_GT(s.dirty_rects, 0);
}

// copy_primary_pixels checks each rectangle against the client's buffer:
// damage from a larger mode, or from the card's previous client, makes the
// grab fail with the damage gone.
TEST_F(EvdiEmu, DamageOutlivesAModeSetAndADisconnect) {
    Client c;
    bring_up(c, 256, 128);
    std::vector<uint32_t> mem(256 * 128, 0xAAAAAAAA);
    evdi_register_buffer(c.h(), {0, mem.data(), 256, 128, 256 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = grab_now(c.h(), 0, rects);
    std::vector<uint32_t> px(16 * 16, 0x00ffffffu);
    ASSERT_EQ(emu().paint(card_, 200, 100, 16, 16, px.data(), 16), 0);

    // A smaller mode: the plane adds its whole framebuffer to the damage.
    std::vector<uint32_t> picture(128 * 64, 0x00336699u);
    ASSERT_EQ(emu().modeset(card_, evdiemu::ModeSet{128, 64}, picture.data()), 0);
    Event e;
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::Mode);
    EXPECT_EQ(states()[card_].dirty_rects, 2);
    evdi_unregister_buffer(c.h(), 0);
    std::vector<uint32_t> small(128 * 64, 0);
    evdi_register_buffer(c.h(), {0, small.data(), 128, 64, 128 * 4, nullptr, 0});
    const uint64_t failures = states()[card_].grab_failures;
    n = grab_now(c.h(), 0, rects);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(states()[card_].grab_failures, failures + 1);
    EXPECT_NE(kernel_log().find("Rect size beyond expected dimensions"), std::string::npos);
    EXPECT_FALSE(evdi_request_update(c.h(), 0));  // the damage is gone: armed
    EXPECT_FALSE(states()[card_].commit_pending);

    // A mode set at the same size keeps the framebuffer and its picture.
    std::vector<uint32_t> before(128 * 64), after(128 * 64);
    ASSERT_EQ(emu().read_screen(card_, before.data(), before.size()), 128 * 64);
    EXPECT_EQ(before[0], 0x00336699u);
    ASSERT_EQ(emu().modeset(card_, 128, 64, 50), 0);
    ASSERT_EQ(emu().read_screen(card_, after.data(), after.size()), 128 * 64);
    EXPECT_EQ(after, before);
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::Mode);
    ASSERT_TRUE(c.next(&e));  // the armed request, answered by the mode set's damage
    EXPECT_EQ(e.kind, Event::Update);

    // The card's next client inherits what the last one left undone. Every
    // other card is taken first, so the next client gets this one.
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(emu().paint(card_, 100, 50, 28, 14, std::vector<uint32_t>(28 * 14).data(), 28), 0);
    std::vector<Client> others(states().size() - 1);
    for (Client &o : others) ASSERT_TRUE(o.open());
    const int card = card_;
    evdi_unregister_buffer(c.h(), 0);
    c.close();
    Client next;
    ASSERT_TRUE(next.open());
    const std::vector<uint8_t> edid = make_edid(++serial_);
    evdi_connect2(next.h(), edid.data(), 128, ~0u, ~0u);
    ASSERT_EQ(card_with_edid(edid), card);
    ASSERT_EQ(emu().modeset(card, 64, 64, 60), 0);
    std::vector<uint32_t> tiny(64 * 64);
    evdi_register_buffer(next.h(), {0, tiny.data(), 64, 64, 64 * 4, nullptr, 0});
    n = grab_now(next.h(), 0, rects);
    EXPECT_EQ(n, 0);
    evdi_unregister_buffer(next.h(), 0);
}

// The plane's four formats: mode_changed names the framebuffer's, a change
// of format sends it again at the same size, and grabs copy the bytes as
// the format lays them out.
TEST_F(EvdiEmu, PixelFormatsTravelWithTheModeAndTheBytes) {
    Client c;
    bring_up(c, 64, 64);
    Event e;
    std::vector<uint32_t> picture(64 * 64, 0x00102030u);
    ASSERT_EQ(emu().modeset(card_, evdiemu::ModeSet{64, 64, 60, evdiemu::kAB24}, picture.data()),
              0);
    // A new format forces a full mode set: mode_changed and DPMS on.
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::Mode);
    EXPECT_EQ(e.mode.pixel_format, evdiemu::kAB24);
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::Dpms);
    EXPECT_TRUE(c.idle());
    std::vector<uint32_t> mem(64 * 64);
    evdi_register_buffer(c.h(), {0, mem.data(), 64, 64, 64 * 4, nullptr, 0});
    evdi_rect rects[16];
    EXPECT_EQ(grab_now(c.h(), 0, rects), 1);
    EXPECT_EQ(mem[0], 0xff302010u);  // bytes R, G, B, A
    ASSERT_EQ(emu().set_format(card_, evdiemu::kXB24), 0);
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::Mode);
    EXPECT_EQ(e.mode.width, 64);
    EXPECT_EQ(e.mode.pixel_format, evdiemu::kXB24);
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::Dpms);
    EXPECT_EQ(grab_now(c.h(), 0, rects), 1);
    EXPECT_EQ(mem[0], 0x00302010u);
    ASSERT_EQ(emu().set_format(card_, evdiemu::kXR24), 0);
    EXPECT_EQ(grab_now(c.h(), 0, rects), 1);
    EXPECT_EQ(mem[0], 0x00102030u);  // bytes B, G, R, unused
    std::vector<uint32_t> screen(64 * 64);
    ASSERT_EQ(emu().read_screen(card_, screen.data(), screen.size()), 64 * 64);
    EXPECT_EQ(screen[0], 0x00102030u);
    uint32_t f = 0;
    EXPECT_TRUE(evdiemu::format_from_name("AB24", &f));
    EXPECT_EQ(f, evdiemu::kAB24);
    EXPECT_FALSE(evdiemu::format_from_name("RG16", &f));
    evdi_unregister_buffer(c.h(), 0);
}

// A framebuffer larger than the mode (a panning screen): mode_changed tells
// the mode, and grabs into a buffer of that size fail, losing the damage,
// until the framebuffer matches again.
TEST_F(EvdiEmu, AFramebufferLargerThanTheModeFailsGrabs) {
    Client c;
    bring_up(c, 128, 64);
    ASSERT_EQ(emu().modeset(card_, evdiemu::ModeSet{128, 64, 60, evdiemu::kXR24, 256, 64}, nullptr),
              0);
    // The mode stays: the client is not told of the new framebuffer.
    EXPECT_TRUE(c.idle());
    EXPECT_EQ(states()[card_].fb_width, 256);
    std::vector<uint32_t> mem(128 * 64, 0x55555555u);
    evdi_register_buffer(c.h(), {0, mem.data(), 128, 64, 128 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = grab_now(c.h(), 0, rects);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(mem[0], 0x55555555u);
    EXPECT_FALSE(states()[card_].commit_pending);  // the failed grab still completes it
    EXPECT_FALSE(evdi_request_update(c.h(), 0));
    ASSERT_EQ(emu().modeset(card_, 128, 64, 60), 0);  // a framebuffer of the mode's size
    Event e;
    EXPECT_TRUE(c.next(&e));  // the armed update
    EXPECT_EQ(e.kind, Event::Update);
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(rects[0].x2, 128);
    evdi_unregister_buffer(c.h(), 0);
}

// The atomic cursor plane: hot spot 0, 0 and the plane's own position in
// the events.
TEST_F(EvdiEmu, CursorEventsCarryTheImageWhenEnabled) {
    Client c;
    bring_up(c, 64, 64);
    std::vector<uint32_t> img(8 * 6);
    for (size_t i = 0; i < img.size(); ++i) img[i] = 0xff000000u | static_cast<uint32_t>(i * 977);
    ASSERT_EQ(emu().cursor_move(card_, 0, 0), 0);  // the card's pointer may be anywhere
    evdi_enable_cursor_events(c.h(), true);
    EXPECT_TRUE(states()[card_].cursor_events);
    const int dirty = states()[card_].dirty_rects;
    ASSERT_EQ(emu().cursor_set(card_, 2, 3, 8, 6, true, img.data()), 0);
    Event e;
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::CursorSet);
    EXPECT_EQ(e.cursor.hot_x, 0);
    EXPECT_EQ(e.cursor.hot_y, 0);
    EXPECT_EQ(e.cursor.width, 8u);
    EXPECT_EQ(e.cursor.height, 6u);
    EXPECT_EQ(e.cursor.enabled, 1);
    EXPECT_EQ(e.cursor.stride, 32u);
    EXPECT_EQ(e.cursor.pixel_format, evdiemu::kAR24);
    EXPECT_EQ(e.cursor.buffer_length, 4096u);  // a whole page of buffer object
    ASSERT_GE(e.image.size(), img.size());
    EXPECT_TRUE(std::equal(img.begin(), img.end(), e.image.begin()));
    ASSERT_TRUE(c.next(&e));  // the plane moved to pointer - hot spot
    ASSERT_EQ(e.kind, Event::CursorMove);
    EXPECT_EQ(e.move.x, -2);
    EXPECT_EQ(e.move.y, -3);
    ASSERT_EQ(emu().cursor_move(card_, 10, 20), 0);
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::CursorMove);
    EXPECT_EQ(e.move.x, 8);
    EXPECT_EQ(e.move.y, 17);
    EXPECT_EQ(states()[card_].dirty_rects, dirty);  // no damage with cursor events
    ASSERT_EQ(emu().cursor_set(card_, 0, 0, 0, 0, false, nullptr), 0);
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::CursorSet);
    EXPECT_EQ(e.cursor.enabled, 0);
    EXPECT_TRUE(e.image.empty());

    // A mapping failure drops the event, as libevdi does.
    ASSERT_EQ(emu().fail_next(Op::MapDumb, ENOENT, 1), 0);
    ASSERT_EQ(emu().cursor_set(card_, 2, 3, 8, 6, true, img.data()), 0);
    EXPECT_FALSE(c.next(&e, 200));
}

// evdi_cursor_compose_and_copy without cursor events: blended over the
// framebuffer with the module's rounding, an odd width losing its last
// column, written whatever the damage.
TEST_F(EvdiEmu, CursorIsBlendedIntoGrabsWithoutCursorEvents) {
    Client c;
    bring_up(c, 64, 64);
    std::vector<uint32_t> mem(64 * 64);
    evdi_register_buffer(c.h(), {0, mem.data(), 64, 64, 64 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = grab_now(c.h(), 0, rects);
    std::vector<uint32_t> back(64 * 64, 0x00c08040u);
    ASSERT_EQ(emu().paint(card_, 0, 0, 64, 64, back.data(), 64), 0);
    n = grab_now(c.h(), 0, rects);
    std::vector<uint32_t> img(5 * 4, 0xff00ff00u);  // 5 wide: 4 columns drawn
    img[0] = 0x00ffffffu;                           // transparent
    img[1] = 0x80ff0000u;                           // half red
    ASSERT_EQ(emu().cursor_move(card_, 11, 12), 0);
    ASSERT_EQ(emu().cursor_set(card_, 1, 2, 5, 4, true, img.data()), 0);
    EXPECT_TRUE(c.idle());  // no cursor events for this client
    n = grab_now(c.h(), 0, rects);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(mem[10 * 64 + 10], 0x00c08040u);  // transparent pixel keeps the screen
    // Per byte (pixel * 127 + cursor * 128 + ((... + 1) << 8)) >> 16:
    // 0x40, 0x00 -> 0x1f; 0x80, 0x00 -> 0x3f; 0xc0, 0xff -> 0xdf.
    EXPECT_EQ(mem[10 * 64 + 11], 0x00df3f1fu);
    EXPECT_EQ(mem[13 * 64 + 13], 0x0000ff00u);  // opaque, alpha byte 0
    EXPECT_EQ(mem[10 * 64 + 14], 0x00c08040u);  // the fifth column is not drawn
    std::vector<uint32_t> screen(64 * 64);
    ASSERT_EQ(emu().read_screen(card_, screen.data(), screen.size()), 64 * 64);
    EXPECT_EQ(screen[10 * 64 + 11], 0x00df3f1fu);
    EXPECT_EQ(screen[10 * 64 + 14], 0x00c08040u);
    // Damage elsewhere: the cursor is blended in again all the same.
    std::fill(mem.begin(), mem.end(), 0u);
    ASSERT_EQ(emu().paint(card_, 50, 50, 1, 1, back.data(), 1), 0);
    n = grab_now(c.h(), 0, rects);
    EXPECT_EQ(mem[13 * 64 + 13], 0x0000ff00u);
    EXPECT_EQ(mem[20 * 64 + 20], 0u);
    evdi_unregister_buffer(c.h(), 0);
}

TEST_F(EvdiEmu, RefusedEdidsAndInjectedFaults) {
    auto connected = [] {
        int n = 0;
        for (const CardState &s : states()) n += s.connected;
        return n;
    };
    const int before = connected();
    Client c;
    ASSERT_TRUE(c.open());
    std::vector<uint8_t> shrt(100, 0);
    evdi_connect2(c.h(), shrt.data(), 100, ~0u, ~0u);
    std::vector<uint8_t> lying = make_edid(55, 1);
    lying[126] = 2;  // says two extensions, carries one
    evdi_connect2(c.h(), lying.data(), static_cast<unsigned>(lying.size()), ~0u, ~0u);
    std::vector<uint8_t> huge(33 * 1024, 0);
    evdi_connect2(c.h(), huge.data(), static_cast<unsigned>(huge.size()), ~0u, ~0u);
    EXPECT_EQ(connected(), before);
    EXPECT_EQ(card_with_edid(lying), -1);

    std::vector<uint8_t> edid = make_edid(56);
    ASSERT_EQ(emu().fail_next(Op::Connect, EIO, 1), 0);
    evdi_connect2(c.h(), edid.data(), 128, ~0u, ~0u);
    EXPECT_EQ(card_with_edid(edid), -1);
    evdi_connect2(c.h(), edid.data(), 128, ~0u, ~0u);
    int card = card_with_edid(edid);
    ASSERT_GE(card, 0);
    ASSERT_EQ(emu().modeset(card, 64, 64, 60), 0);
    ASSERT_EQ(emu().fail_next(Op::RequestUpdate, EIO, 1), 0);
    EXPECT_FALSE(evdi_request_update(c.h(), 0));
    EXPECT_TRUE(evdi_request_update(c.h(), 0));

    std::vector<uint32_t> mem(64 * 64, 0x55555555);
    evdi_register_buffer(c.h(), {0, mem.data(), 64, 64, 256, nullptr, 0});
    ASSERT_EQ(emu().fail_next(Op::Grab, ENOMEM, 1), 0);
    evdi_rect rects[16];
    int n = -1;
    evdi_grab_pixels(c.h(), rects, &n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(mem[0], 0x55555555u);
    evdi_unregister_buffer(c.h(), 0);

    // A file that did not connect cannot disconnect the output.
    Client other;
    ASSERT_TRUE(other.open());
    evdi_disconnect(other.h());
    EXPECT_TRUE(states()[card].connected);
    EXPECT_EQ(emu().fail_next(static_cast<Op>(99), EIO, 1), -EINVAL);
}

// Closing a descriptor that another thread is blocked reading is the point of
// the next test; ThreadSanitizer models it as a race on the descriptor, so
// the reader's accesses are hidden from it for the length of that one read
// (the card is a plain socket there: no code of the emulator runs in it).
#if defined(__SANITIZE_THREAD__)
void ignore_descriptor_race_begin() {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
}
void ignore_descriptor_race_end() {
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
}
#else
void ignore_descriptor_race_begin() {}
void ignore_descriptor_race_end() {}
#endif

// A reader blocked on the card when its descriptor is closed stays blocked
// (a DRM file lives on while a read holds it) until something interrupts it.
// (A signal, not pthread_cancel: the sanitizers misreport cancelled threads.)
TEST_F(EvdiEmu, ReaderBlockedAtCloseStaysBlockedUntilInterrupted) {
    Client c;
    bring_up(c, 64, 64);
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the read ends with EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    struct Reader {
        int fd;
        std::atomic<bool> returned{false};
        ssize_t result = 0;
        int err = 0;
    } reader{evdi_get_event_ready(c.h())};
    pthread_t t;
    ASSERT_EQ(pthread_create(
                  &t, nullptr,
                  [](void *arg) -> void * {
                      auto *r = static_cast<Reader *>(arg);
                      char buf[1024];
                      ignore_descriptor_race_begin();
                      r->result = read(r->fd, buf, sizeof(buf));
                      r->err = errno;
                      ignore_descriptor_race_end();
                      r->returned = true;
                      return nullptr;
                  },
                  &reader),
              0);
    usleep(100000);  // let it block
    c.close();
    usleep(300000);
    EXPECT_FALSE(reader.returned.load());
    for (int i = 0; i < 100 && !reader.returned; ++i) {
        pthread_kill(t, SIGUSR1);
        usleep(10000);
    }
    ASSERT_EQ(pthread_join(t, nullptr), 0);
    EXPECT_EQ(reader.result, -1);
    EXPECT_EQ(reader.err, EINTR);
    sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(EvdiEmu, OpenRetriesAFailedOpenAndFailsWhenNoCardCanBeAdded) {
    // Every output of earlier tests is free again; fill them all first.
    std::vector<Client> clients(states().size());
    for (Client &c : clients) ASSERT_TRUE(c.open());
    Client one;
    ASSERT_EQ(emu().fail_next(Op::Open, EBUSY, 1), 0);
    ASSERT_TRUE(one.open());  // libevdi tries again 100 ms later
    int count = static_cast<int>(states().size());
    ASSERT_EQ(emu().fail_next(Op::Add, EIO, 1), 0);
    Client none;
    EXPECT_FALSE(none.open());
    EXPECT_EQ(static_cast<int>(states().size()), count);
}

// The program's usbfs ioctls pass the interposer on their way to umockdev;
// their time is clocked apart from the program's own, their results untouched.
TEST(UsbfsClock, ClocksUsbfsIoctlsAloneAndKeepsTheirResults) {
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    evdiemu::UsbfsClock before, after;
    ASSERT_EQ(emu().usbfs_clock(&before), 0);
    uint32_t caps = 0;
    errno = 0;
    EXPECT_EQ(ioctl(fd, USBDEVFS_GET_CAPABILITIES, &caps), -1);
    EXPECT_EQ(errno, ENOTTY);  // /dev/null's answer, through the clock
    int queued = 0;
    errno = 0;
    EXPECT_EQ(ioctl(fd, FIONREAD, &queued), -1);  // a terminal ioctl: not clocked
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(ioctl(fd, USBDEVFS_CLAIMINTERFACE, &caps), -1);
    ASSERT_EQ(emu().usbfs_clock(&after), 0);
    EXPECT_EQ(after.calls - before.calls, 2u);
    EXPECT_GE(after.cpu_ns, before.cpu_ns);
    close(fd);
}

}  // namespace
