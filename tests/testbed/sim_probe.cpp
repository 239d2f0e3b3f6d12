// A small stand-in program for torvel-sim's own tests: it finds the emulated
// USB devices, reads each one's EDID, opens and connects one virtual output
// per device, grabs frames, asks the fake xrandr for the outputs, runs
// xrefresh once, writes an identity file and ends on SIGINT.
#include <libusb.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device_ids.h"
#include "evdi_compat.h"

namespace {

std::atomic<bool> g_stop{false};

struct Screen {
    evdi_handle h = nullptr;
    evdi_event_context ctx{};
    std::vector<uint32_t> buf;
    int width = 0, height = 0;
    bool registered = false;
    bool armed = false;  // an update request waits for update_ready
    bool ready = false;
    long grabs = 0;
};

void on_mode(evdi_mode m, void *u) {
    auto *s = static_cast<Screen *>(u);
    if (s->registered) evdi_unregister_buffer(s->h, 0);
    s->width = m.width;
    s->height = m.height;
    s->buf.assign(static_cast<size_t>(m.width) * m.height, 0);
    evdi_register_buffer(s->h, {0, s->buf.data(), m.width, m.height, m.width * 4, nullptr, 0});
    s->registered = true;
    std::printf("probe: mode %dx%d\n", m.width, m.height);
}

void on_update_ready(int, void *u) {
    static_cast<Screen *>(u)->ready = true;
}

void on_dpms(int mode, void *) {
    std::printf("probe: dpms %d\n", mode);
}

void quiet(void *, const char *, ...) {}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stop = true; };
    sigaction(SIGINT, &sa, nullptr);
    evdi_set_logging({quiet, nullptr});

    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 3;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    std::vector<libusb_device_handle *> handles;
    std::vector<Screen> screens(4);
    int count = 0;
    for (ssize_t i = 0; i < n && count < 4; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != VENDOR_ID) continue;
        libusb_device_handle *dh = nullptr;
        if (libusb_open(list[i], &dh) != 0) continue;
        unsigned char edid[128];
        int r = libusb_control_transfer(dh, 0xC1, 0x41, 1, 0, edid, sizeof(edid), 500);
        std::printf("probe: device %04x edid %d\n", d.idProduct, r);
        handles.push_back(dh);
        if (r != 128) continue;
        Screen &s = screens[count++];
        s.h = evdi_open_attached_to_fixed(nullptr, 0);
        if (!s.h) return 4;
        s.ctx.mode_changed_handler = on_mode;
        s.ctx.dpms_handler = on_dpms;
        s.ctx.update_ready_handler = on_update_ready;
        s.ctx.user_data = &s;
        evdi_connect2(s.h, edid, 128, 0xffffffffu, 0xffffffffu);
    }
    libusb_free_device_list(list, 1);
    std::printf("probe: %d outputs\n", count);
    const char *display = std::getenv("DISPLAY");
    std::printf("probe: display %s\n", display ? display : "none");

    bool listed = false;
    while (!g_stop) {
        std::vector<pollfd> p;
        for (int i = 0; i < count; ++i)
            p.push_back({evdi_get_event_ready(screens[i].h), POLLIN, 0});
        poll(p.data(), p.size(), 15);
        int ready = 0;
        for (int i = 0; i < count; ++i) {
            Screen &s = screens[i];
            if (p[i].revents & POLLIN) evdi_handle_events(s.h, &s.ctx);
            if (!s.registered) continue;
            ++ready;
            // One request at a time: a request while one is armed is only a
            // warning of the module.
            bool grab = false;
            if (!s.armed) {
                grab = evdi_request_update(s.h, 0);
                s.armed = !grab;
                s.ready = false;
            } else if (s.ready) {
                grab = true;
                s.armed = s.ready = false;
            }
            if (grab) {
                evdi_rect rects[16];
                int nr = 0;
                evdi_grab_pixels(s.h, rects, &nr);
                if (nr > 0) ++s.grabs;
            }
        }
        if (!listed && count > 0 && ready == count) {
            listed = true;
            FILE *f = popen("xrandr -q | grep \" connected \"", "r");
            char line[256];
            while (f && fgets(line, sizeof(line), f)) std::printf("probe: xrandr %s", line);
            if (f) pclose(f);
            if (std::system("xrandr --output DVI-I-1-1 --rotate left") != 0)
                std::printf("probe: xrandr failed\n");
            if (std::system("xrefresh") != 0) std::printf("probe: xrefresh failed\n");
            FILE *id = std::fopen("/var/tmp/torvel_display.id", "a");
            if (id) {
                std::fputs("probe-id\n", id);
                std::fclose(id);
            }
        }
    }
    for (int i = 0; i < count; ++i) {
        std::printf("probe: output %d grabs %ld\n", i, screens[i].grabs);
        if (screens[i].registered) evdi_unregister_buffer(screens[i].h, 0);
        evdi_disconnect(screens[i].h);
        evdi_close(screens[i].h);
    }
    for (libusb_device_handle *dh : handles) libusb_close(dh);
    libusb_exit(ctx);
    std::printf("probe: bye\n");
    return 0;
}
