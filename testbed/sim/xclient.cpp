// torvel-sim-xclient: an X client that keeps a desktop-like picture moving:
// windows, stroke "text", a window travelling across the screen and a
// video-like area. Ends on SIGTERM or when the server goes away.
#include <X11/Xlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

int main() {
    Display *d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "torvel-sim-xclient: cannot open the display\n");
        return 1;
    }
    const int scr = DefaultScreen(d);
    const int w = DisplayWidth(d, scr), h = DisplayHeight(d, scr);
    const Window root = RootWindow(d, scr);
    XSetWindowBackground(d, root, 0x204060);
    XClearWindow(d, root);
    auto window = [&](int x, int y, int ww, int hh, unsigned long bg) {
        Window win = XCreateSimpleWindow(d, root, x, y, ww, hh, 2, 0x202020, bg);
        XMapWindow(d, win);
        return win;
    };
    const Window editor = window(w / 20, h / 12, w * 9 / 20, h * 7 / 12, 0xececE8);
    const Window video = window(w * 11 / 20, h / 6, w * 2 / 5, h / 2, 0x101010);
    const Window mover = window(0, h * 3 / 4, w / 10, h / 10, 0xd09030);
    GC gc = XCreateGC(d, root, 0, nullptr);
    XSync(d, False);
    unsigned seed = 7;
    for (long frame = 0;; ++frame) {
        if (frame % 30 == 0) {
            // A page of "text": rows of dark strokes.
            XSetForeground(d, gc, 0xececE8);
            XFillRectangle(d, editor, gc, 0, 0, w * 9 / 20, h * 7 / 12);
            XSetForeground(d, gc, 0x303040);
            for (int y = 20; y < h * 7 / 12 - 20; y += 18)
                for (int x = 12; x < w * 9 / 20 - 80;) {
                    seed = seed * 1103515245u + 12345u;
                    int len = 10 + static_cast<int>((seed >> 16) % 70);
                    XFillRectangle(d, editor, gc, x, y, len, 8);
                    x += len + 8;
                }
        }
        const int vw = w * 2 / 5, vh = h / 2;
        for (int i = 0; i < 8; ++i) {
            const double p = frame * 0.1 + i;
            XSetForeground(d, gc,
                           (static_cast<unsigned long>(128 + 120 * std::sin(p)) << 16) |
                               (static_cast<unsigned long>(128 + 120 * std::sin(p * 1.3)) << 8) |
                               static_cast<unsigned long>(128 + 120 * std::cos(p * 0.7)));
            XFillRectangle(d, video, gc, i * vw / 8, 0, vw / 8 + 1, vh);
        }
        const int span = w - w / 10;
        const int pos = static_cast<int>(frame * 6 % (2 * span));
        XMoveWindow(d, mover, pos < span ? pos : 2 * span - pos, h * 3 / 4);
        XFlush(d);
        if (XConnectionNumber(d) < 0) break;
        usleep(33000);
    }
    XCloseDisplay(d);
    return 0;
}
