// Cost of the emulated EVDI module's grab path under the real libevdi.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <cstdarg>
#include <cstring>
#include <vector>

#include "evdi_compat.h"
#include "evdi_emu.h"

namespace {

void quiet(void *, const char *, ...) {}

struct Screen {
    evdi_handle h = nullptr;
    int card = -1;
    std::vector<uint32_t> buf, content;

    Screen(int w, int hgt) {
        evdi_set_logging({quiet, nullptr});
        h = evdi_open_attached_to_fixed(nullptr, 0);
        std::vector<uint8_t> edid(128, 0);
        edid[12] = 0x77;
        evdi_connect2(h, edid.data(), 128, ~0u, ~0u);
        evdiemu::CardState s[evdiemu::kMaxOutputs];
        int n = evdiemu::local().cards(s, evdiemu::kMaxOutputs);
        for (int i = 0; i < n; ++i) {
            uint8_t e[128];
            if (s[i].connected && evdiemu::local().edid(i, e, 128) == 128 && e[12] == 0x77)
                card = i;
        }
        evdiemu::local().modeset(card, w, hgt, 60);
        buf.assign(static_cast<size_t>(w) * hgt, 0);
        content.assign(buf.size(), 0x00123456);
        evdi_register_buffer(h, {0, buf.data(), w, hgt, w * 4, nullptr, 0});
    }
    ~Screen() {
        evdi_unregister_buffer(h, 0);
        evdi_close(h);
    }
};

void BM_PaintFullScreen(benchmark::State &state) {
    Screen s(1920, 1080);
    for (auto _ : state) evdiemu::local().paint(s.card, 0, 0, 1920, 1080, s.content.data(), 1920);
}
BENCHMARK(BM_PaintFullScreen)->Unit(benchmark::kMillisecond);

// Paint of the whole screen plus the grab that copies it: subtract the
// paint above for the grab alone.
void BM_PaintAndGrabFullScreen(benchmark::State &state) {
    Screen s(1920, 1080);
    evdi_rect rects[16];
    int n = 0;
    for (auto _ : state) {
        evdiemu::local().paint(s.card, 0, 0, 1920, 1080, s.content.data(), 1920);
        if (!evdi_request_update(s.h, 0)) state.SkipWithError("no update");
        evdi_grab_pixels(s.h, rects, &n);
        if (n != 1) state.SkipWithError("grab failed");
    }
}
BENCHMARK(BM_PaintAndGrabFullScreen)->Unit(benchmark::kMillisecond);

void BM_GrabSmallRect(benchmark::State &state) {
    Screen s(1920, 1080);
    evdi_rect rects[16];
    int n = 0;
    for (auto _ : state) {
        evdiemu::local().paint(s.card, 100, 100, 64, 64, s.content.data(), 1920);
        evdi_request_update(s.h, 0);
        evdi_grab_pixels(s.h, rects, &n);
    }
}
BENCHMARK(BM_GrabSmallRect)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
