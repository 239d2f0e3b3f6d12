#include "xvfb.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "spawn.h"

extern char **environ;

namespace torvel::sim {

struct XvfbSource::X {
    Display *dpy = nullptr;
    XImage *image = nullptr;
    XShmSegmentInfo shm{};
    bool attached = false;
};

namespace {

std::vector<std::string> base_env(const std::string &display) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string_view v(*e);
        if (v.starts_with("DISPLAY=") || v.starts_with("LD_PRELOAD=")) continue;
        env.emplace_back(v);
    }
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    return env;
}

void end_child(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

std::unique_ptr<XvfbSource> XvfbSource::start(int width, int height, const std::string &client,
                                              std::string *error) {
    std::unique_ptr<XvfbSource> s(new XvfbSource());
    s->x_ = std::make_unique<X>();
    s->width_ = width;
    s->height_ = height;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const char *path = std::getenv("PATH");
    SpawnSpec x;
    x.exe = find_in_path("Xvfb", path ? path : "/usr/bin:/bin");
    x.argv = {
        "Xvfb",      "-displayfd", std::to_string(p[1]),
        "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp",        "-noreset"};
    x.env = base_env("");
    x.keep_fd = p[1];
    s->server_ = spawn(x);
    close(p[1]);
    if (s->server_ < 0) {
        close(p[0]);
        *error = std::string("cannot start Xvfb: ") + std::strerror(-s->server_);
        return nullptr;
    }
    // Xvfb writes its display number once it accepts clients.
    char num[16] = {};
    size_t got = 0;
    while (got < sizeof(num) - 1) {
        pollfd pf{p[0], POLLIN, 0};
        if (poll(&pf, 1, 15000) != 1) break;
        ssize_t n = read(p[0], num + got, sizeof(num) - 1 - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (std::memchr(num, '\n', got)) break;
    }
    close(p[0]);
    if (got == 0) {
        *error = "Xvfb did not start (is the xvfb package installed?)";
        return nullptr;
    }
    s->display_ = ":" + std::to_string(std::atoi(num));

    X &xs = *s->x_;
    xs.dpy = XOpenDisplay(s->display_.c_str());
    if (!xs.dpy || !XShmQueryExtension(xs.dpy)) {
        *error = "cannot open " + s->display_ + " with the MIT-SHM extension";
        return nullptr;
    }
    int scr = DefaultScreen(xs.dpy);
    xs.image = XShmCreateImage(xs.dpy, DefaultVisual(xs.dpy, scr), DefaultDepth(xs.dpy, scr),
                               ZPixmap, nullptr, &xs.shm, width, height);
    if (!xs.image || xs.image->bits_per_pixel != 32) {
        *error = "unexpected X image format";
        return nullptr;
    }
    xs.shm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(xs.image->bytes_per_line) * height,
                          IPC_CREAT | 0600);
    if (xs.shm.shmid < 0) {
        *error = std::string("shmget: ") + std::strerror(errno);
        return nullptr;
    }
    xs.shm.shmaddr = xs.image->data = static_cast<char *>(shmat(xs.shm.shmid, nullptr, 0));
    shmctl(xs.shm.shmid, IPC_RMID, nullptr);  // freed once both ends detach
    xs.shm.readOnly = False;
    if (xs.shm.shmaddr == reinterpret_cast<char *>(-1) || !XShmAttach(xs.dpy, &xs.shm)) {
        *error = "cannot attach the shared image";
        return nullptr;
    }
    xs.attached = true;
    XSync(xs.dpy, False);

    SpawnSpec c;
    c.exe = client;
    c.argv = {client};
    c.env = base_env(s->display_);
    s->client_ = spawn(c);
    if (s->client_ < 0) {
        *error = "cannot start " + client;
        return nullptr;
    }
    s->frame_.assign(static_cast<size_t>(width) * height, 0);
    return s;
}

XvfbSource::~XvfbSource() {
    end_child(client_);
    if (x_ && x_->dpy) {
        if (x_->attached) XShmDetach(x_->dpy, &x_->shm);
        if (x_->image) {
            x_->image->data = nullptr;
            XDestroyImage(x_->image);
        }
        XCloseDisplay(x_->dpy);
    }
    if (x_ && x_->shm.shmaddr && x_->shm.shmaddr != reinterpret_cast<char *>(-1))
        shmdt(x_->shm.shmaddr);
    end_child(server_);
}

int XvfbSource::capture(evdiemu::Rect *out, int max) {
    X &xs = *x_;
    if (!XShmGetImage(xs.dpy, DefaultRootWindow(xs.dpy), xs.image, 0, 0, AllPlanes)) return 0;
    // Changes are found per band of 64 rows: one rectangle per band spanning
    // its changed columns.
    constexpr int kBand = 64;
    int n = 0;
    for (int y0 = 0; y0 < height_; y0 += kBand) {
        const int y1 = std::min(y0 + kBand, height_);
        int xa = width_, xb = 0;
        for (int y = y0; y < y1; ++y) {
            const auto *src = reinterpret_cast<const uint32_t *>(
                xs.image->data + static_cast<size_t>(y) * xs.image->bytes_per_line);
            uint32_t *dst = &frame_[static_cast<size_t>(y) * width_];
            for (int x = 0; x < width_; ++x) {
                const uint32_t v = src[x] & 0x00ffffffu;
                if (v != dst[x] || first_) {
                    xa = std::min(xa, x);
                    xb = std::max(xb, x + 1);
                    dst[x] = v;
                }
            }
        }
        if (xa < xb) {
            if (n < max) {
                out[n++] = {xa, y0, xb, y1};
            } else {
                // Out of room: widen the last one.
                evdiemu::Rect &r = out[n - 1];
                r = {std::min(r.x1, xa), std::min(r.y1, y0), std::max(r.x2, xb), y1};
            }
        }
    }
    first_ = false;
    return n;
}

}  // namespace torvel::sim
