// A plain libevdi 1.12 client against the emulated EVDI module.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

    // Opens, connects with a fresh EDID and sets a mode; leaves the three
    // mode events unread unless `drain`.
    void bring_up(Client &c, int w, int h, bool drain = true) {
        ASSERT_TRUE(c.open());
        edid_ = make_edid(++serial_);
        evdi_connect2(c.h(), edid_.data(), static_cast<unsigned>(edid_.size()), 0xffffffffu,
                      0xffffffffu);
        card_ = card_with_edid(edid_);
        ASSERT_GE(card_, 0);
        ASSERT_EQ(emu().modeset(card_, w, h, 60), 0);
        if (drain) {
            Event e;
            for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.next(&e));
        }
    }

    static inline uint32_t serial_ = 1000;
    std::vector<uint8_t> edid_;
    int card_ = -1;
};

TEST_F(EvdiEmu, OpenConnectAndModeEventsInOrder) {
    Client c;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.open());
    // The holder process answers libevdi's search for a display server, so
    // the open does not sit out its five-second wait.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
    std::vector<CardState> s = states();
    ASSERT_FALSE(s.empty());
    for (const CardState &st : s) {
        EXPECT_GE(st.number, 47);
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
    ASSERT_EQ(emu().modeset(card, 1920, 1080, 60), 0);
    Event e;
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::Dpms);
    EXPECT_EQ(e.value, 0);
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::Mode);
    EXPECT_EQ(e.mode.width, 1920);
    EXPECT_EQ(e.mode.height, 1080);
    EXPECT_EQ(e.mode.refresh_rate, 60);
    EXPECT_EQ(e.mode.bits_per_pixel, 32);
    EXPECT_EQ(e.mode.pixel_format, 0x34325258u);
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::Dpms);
    EXPECT_EQ(e.value, 0);

    ASSERT_EQ(emu().output_off(card), 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(c.next(&e));
        EXPECT_EQ(e.kind, Event::Dpms);
        EXPECT_EQ(e.value, 3);
    }
    ASSERT_EQ(emu().dpms(card, 0), 0);
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.value, 0);
    EXPECT_TRUE(c.idle());

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
    bring_up(c, 64, 32);
    const int stride = 64 * 4 + 32;  // padded rows
    std::vector<uint8_t> mem(static_cast<size_t>(stride) * 32);
    evdi_buffer buf{0, mem.data(), 64, 32, stride, nullptr, 0};
    evdi_register_buffer(c.h(), buf);

    // The mode change left the whole screen dirty.
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_rect rects[16];
    int n = -1;
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(rects[0].x1, 0);
    EXPECT_EQ(rects[0].y1, 0);
    EXPECT_EQ(rects[0].x2, 64);
    EXPECT_EQ(rects[0].y2, 32);

    std::fill(mem.begin(), mem.end(), 0xEE);
    std::vector<uint32_t> px(10 * 4, 0x00112233);
    ASSERT_EQ(emu().paint(card_, 5, 6, 10, 4, px.data(), 10), 0);
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(rects[0].x1, 5);
    EXPECT_EQ(rects[0].y1, 6);
    EXPECT_EQ(rects[0].x2, 15);
    EXPECT_EQ(rects[0].y2, 10);
    for (int y = 0; y < 32; ++y) {
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
    std::vector<uint32_t> packed(64 * 32, 0), pattern(64 * 32);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint32_t>(i * 2654435761u);
    evdi_register_buffer(c.h(), {1, packed.data(), 64, 32, 64 * 4, nullptr, 0});
    ASSERT_EQ(emu().paint(card_, 0, 3, 64, 20, pattern.data() + 3 * 64, 64), 0);
    ASSERT_TRUE(evdi_request_update(c.h(), 1));
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_EQ(n, 1);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(packed[y * 64 + x], y >= 3 && y < 23 ? pattern[y * 64 + x] : 0u)
                << x << "," << y;
    evdi_unregister_buffer(c.h(), 1);
}

TEST_F(EvdiEmu, ManyRectanglesAreMergedToSixteenAndAllCopied) {
    Client c;
    bring_up(c, 256, 64);
    std::vector<uint32_t> mem(256 * 64);
    evdi_register_buffer(c.h(), {1, mem.data(), 256, 64, 256 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = 0;
    ASSERT_TRUE(evdi_request_update(c.h(), 1));
    evdi_grab_pixels(c.h(), rects, &n);
    std::fill(mem.begin(), mem.end(), 0);
    // 40 scattered single pixels.
    for (int i = 0; i < 40; ++i) {
        uint32_t v = 0x00010000u * static_cast<uint32_t>(i + 1) + 7;
        ASSERT_EQ(emu().paint(card_, (i * 37) % 256, (i * 11) % 64, 1, 1, &v, 1), 0);
    }
    ASSERT_TRUE(evdi_request_update(c.h(), 1));
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_GE(n, 1);
    ASSERT_LE(n, 16);
    for (int i = 0; i < 40; ++i) {
        uint32_t v = 0x00010000u * static_cast<uint32_t>(i + 1) + 7;
        int x = (i * 37) % 256, y = (i * 11) % 64;
        EXPECT_EQ(mem[static_cast<size_t>(y) * 256 + x], v) << i;
        bool covered = false;
        for (int r = 0; r < n; ++r)
            covered |= x >= rects[r].x1 && x < rects[r].x2 && y >= rects[r].y1 && y < rects[r].y2;
        EXPECT_TRUE(covered) << i;
    }
    evdi_unregister_buffer(c.h(), 1);
}

TEST_F(EvdiEmu, UpdateReadyIsSentOnlyAfterAnArmedRequest) {
    Client c;
    bring_up(c, 32, 16);
    std::vector<uint32_t> mem(32 * 16);
    evdi_register_buffer(c.h(), {0, mem.data(), 32, 16, 32 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = 0;
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_EQ(n, 1);

    // Painting with no request armed sends nothing.
    uint32_t v = 0x00ff0000;
    ASSERT_EQ(emu().paint(card_, 1, 1, 1, 1, &v, 1), 0);
    EXPECT_TRUE(c.idle());
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_EQ(n, 1);

    // Nothing dirty: the request arms one update_ready.
    EXPECT_FALSE(evdi_request_update(c.h(), 0));
    EXPECT_TRUE(states()[card_].update_armed);
    EXPECT_FALSE(evdi_request_update(c.h(), 0));  // already armed: ignored
    EXPECT_TRUE(c.idle());
    ASSERT_EQ(emu().paint(card_, 3, 4, 1, 1, &v, 1), 0);
    Event e;
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::Update);
    EXPECT_EQ(e.value, 0);
    EXPECT_FALSE(states()[card_].update_armed);
    ASSERT_EQ(emu().paint(card_, 5, 4, 1, 1, &v, 1), 0);
    EXPECT_TRUE(c.idle());  // one event per armed request
    EXPECT_TRUE(evdi_request_update(c.h(), 0));
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_EQ(n, 2);  // too far apart to be merged
    EXPECT_EQ(mem[4 * 32 + 3], v);
    EXPECT_EQ(mem[4 * 32 + 5], v);
    EXPECT_EQ(mem[4 * 32 + 4], 0u);
    EXPECT_EQ(states()[card_].updates_ready, 1u);
    evdi_unregister_buffer(c.h(), 0);
}

TEST_F(EvdiEmu, GrabIntoBufferOfWrongSizeFailsAndLosesTheDamage) {
    Client c;
    bring_up(c, 32, 16);
    std::vector<uint32_t> mem(32 * 17, 0xAAAAAAAA);
    evdi_register_buffer(c.h(), {0, mem.data(), 32, 17, 32 * 4, nullptr, 0});
    uint64_t failures = states()[card_].grab_failures;
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_rect rects[16];
    int n = -1;
    evdi_grab_pixels(c.h(), rects, &n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(states()[card_].grab_failures, failures + 1);
    EXPECT_EQ(mem[0], 0xAAAAAAAAu);
    EXPECT_FALSE(evdi_request_update(c.h(), 0));  // damage gone: now armed
    evdi_unregister_buffer(c.h(), 0);
}

TEST_F(EvdiEmu, CursorEventsCarryTheImageWhenEnabled) {
    Client c;
    bring_up(c, 64, 64);
    std::vector<uint32_t> img(8 * 6);
    for (size_t i = 0; i < img.size(); ++i) img[i] = 0xff000000u | static_cast<uint32_t>(i * 977);
    evdi_enable_cursor_events(c.h(), true);
    EXPECT_TRUE(states()[card_].cursor_events);
    ASSERT_EQ(emu().cursor_set(card_, 2, 3, 8, 6, true, img.data()), 0);
    Event e;
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::CursorSet);
    EXPECT_EQ(e.cursor.hot_x, 2);
    EXPECT_EQ(e.cursor.hot_y, 3);
    EXPECT_EQ(e.cursor.width, 8u);
    EXPECT_EQ(e.cursor.height, 6u);
    EXPECT_EQ(e.cursor.enabled, 1);
    EXPECT_EQ(e.cursor.stride, 32u);
    EXPECT_EQ(e.cursor.pixel_format, 0x34325241u);
    EXPECT_EQ(e.image, img);
    ASSERT_EQ(emu().cursor_move(card_, 10, 20), 0);
    ASSERT_TRUE(c.next(&e));
    ASSERT_EQ(e.kind, Event::CursorMove);
    EXPECT_EQ(e.move.x, 10);
    EXPECT_EQ(e.move.y, 20);
    ASSERT_EQ(emu().cursor_set(card_, 0, 0, 0, 0, false, nullptr), 0);
    ASSERT_TRUE(c.next(&e));
    EXPECT_EQ(e.kind, Event::CursorSet);
    EXPECT_EQ(e.cursor.enabled, 0);
    EXPECT_TRUE(e.image.empty());

    // A mapping failure drops the event, as libevdi does.
    evdi_enable_cursor_events(c.h(), true);
    ASSERT_EQ(emu().fail_next(Op::MapDumb, ENOENT, 1), 0);
    ASSERT_EQ(emu().cursor_set(card_, 0, 0, 8, 6, true, img.data()), 0);
    EXPECT_FALSE(c.next(&e, 200));
}

TEST_F(EvdiEmu, CursorIsDrawnIntoGrabsWithoutCursorEvents) {
    Client c;
    bring_up(c, 32, 32);
    std::vector<uint32_t> mem(32 * 32);
    evdi_register_buffer(c.h(), {0, mem.data(), 32, 32, 32 * 4, nullptr, 0});
    evdi_rect rects[16];
    int n = 0;
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_grab_pixels(c.h(), rects, &n);
    std::vector<uint32_t> img(4 * 4, 0xff00ff00u);
    img[0] = 0x00ffffffu;  // transparent corner
    ASSERT_EQ(emu().cursor_set(card_, 1, 1, 4, 4, true, img.data()), 0);
    ASSERT_EQ(emu().cursor_move(card_, 10, 10), 0);
    EXPECT_TRUE(c.idle());  // no cursor events for this client
    ASSERT_TRUE(evdi_request_update(c.h(), 0));
    evdi_grab_pixels(c.h(), rects, &n);
    ASSERT_GE(n, 1);
    EXPECT_EQ(mem[9 * 32 + 9], 0u);            // transparent pixel keeps the screen
    EXPECT_EQ(mem[9 * 32 + 10], 0x0000ff00u);  // opaque pixel replaces it
    EXPECT_EQ(mem[12 * 32 + 12], 0x0000ff00u);
    EXPECT_EQ(mem[13 * 32 + 13], 0u);
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
    ASSERT_EQ(emu().modeset(card, 16, 16, 60), 0);
    ASSERT_EQ(emu().fail_next(Op::RequestUpdate, EIO, 1), 0);
    EXPECT_FALSE(evdi_request_update(c.h(), 0));
    EXPECT_TRUE(evdi_request_update(c.h(), 0));

    std::vector<uint32_t> mem(16 * 16, 0x55555555);
    evdi_register_buffer(c.h(), {0, mem.data(), 16, 16, 64, nullptr, 0});
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
    bring_up(c, 16, 16);
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

}  // namespace
