// torvel-sim's command line, script and scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "scene.h"
#include "sim.h"

namespace {

using torvel::sim::DeviceSpec;
using torvel::sim::Options;

bool args(std::vector<const char *> v, Options *o, std::string *err) {
    v.insert(v.begin(), "torvel-sim");
    return torvel::sim::parse_args(static_cast<int>(v.size()), v.data(), o, err);
}

TEST(SimOptions, DeviceSpecs) {
    DeviceSpec d;
    std::string err;
    ASSERT_TRUE(torvel::sim::parse_device("3", &d, &err));
    EXPECT_EQ(d.model, 3);
    EXPECT_FALSE(d.id.has_value());
    ASSERT_TRUE(
        torvel::sim::parse_device("rotating:id=0xDEADBEEF:orient=2:feature=1:mirror=1", &d, &err));
    EXPECT_EQ(d.model, 4);
    EXPECT_EQ(d.id.value_or(0), 0xDEADBEEFu);
    EXPECT_EQ(d.orientation, 2);
    EXPECT_EQ(d.feature, 1);
    EXPECT_EQ(d.mirror, 1);
    ASSERT_TRUE(torvel::sim::parse_device("0:id=ffffffff", &d, &err));
    EXPECT_EQ(d.id.value_or(0), 0xffffffffu);
    for (const char *bad : {"6", "-1", "x", "", "1:id=", "1:id=0x1FFFFFFFF", "1:orient=256",
                            "1:colour=3", "1:feature"}) {
        err.clear();
        EXPECT_FALSE(torvel::sim::parse_device(bad, &d, &err)) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
}

TEST(SimOptions, CommandLine) {
    Options o;
    std::string err;
    ASSERT_TRUE(
        args({"--device", "0", "--device", "rotating", "--mode", "1280x720", "--content", "pic.png",
              "--seconds", "2.5", "--id-file", "ids", "--out", "o", "--", "daemon", "--flag"},
             &o, &err))
        << err;
    EXPECT_EQ(o.devices.size(), 2u);
    EXPECT_EQ(o.width, 1280);
    EXPECT_EQ(o.height, 720);
    EXPECT_EQ(o.content, torvel::sim::ContentKind::kPng);
    EXPECT_EQ(o.png_path, "pic.png");
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    EXPECT_EQ(o.id_file.value_or(""), "ids");
    EXPECT_EQ(o.out_dir, "o");
    EXPECT_EQ(o.command, (std::vector<std::string>{"daemon", "--flag"}));

    ASSERT_TRUE(args({"--", "d"}, &o, &err));
    EXPECT_EQ(o.width, 1920);
    EXPECT_EQ(o.height, 1080);
    EXPECT_EQ(o.content, torvel::sim::ContentKind::kScene);
    // The module's behaviours by default; kinder worlds only when asked.
    EXPECT_EQ(o.format, evdiemu::kXR24);
    EXPECT_DOUBLE_EQ(o.holder_delay, 0.5);
    EXPECT_TRUE(o.cursor && o.edid_mode_first && !o.repaint_after_modeset);
    EXPECT_EQ(o.leniency, 0u);
    ASSERT_TRUE(args({"--format", "AB24", "--holder-delay", "none", "--no-cursor", "--no-edid-mode",
                      "--repaint-after-modeset", "--any-framebuffer-size", "--", "d"},
                     &o, &err))
        << err;
    EXPECT_EQ(o.format, evdiemu::kAB24);
    EXPECT_LT(o.holder_delay, 0);
    EXPECT_TRUE(!o.cursor && !o.edid_mode_first && o.repaint_after_modeset);
    EXPECT_EQ(o.leniency, evdiemu::kAnyFramebufferSize);
    ASSERT_TRUE(args({"--holder-delay", "3", "--", "d"}, &o, &err));
    EXPECT_DOUBLE_EQ(o.holder_delay, 3);

    for (std::vector<const char *> bad : {std::vector<const char *>{},
                                          {"--mode", "1280", "--", "d"},
                                          {"--mode", "0x5", "--", "d"},
                                          {"--seconds", "-1", "--", "d"},
                                          {"--seconds", "abc", "--", "d"},
                                          {"--content", "movie.avi", "--", "d"},
                                          {"--bogus", "--", "d"},
                                          {"--format", "RG16", "--", "d"},
                                          {"--holder-delay", "6", "--", "d"},
                                          {"--holder-delay", "-1", "--", "d"},
                                          {"--device"},
                                          {"--device", "0", "--device", "1", "--device", "2",
                                           "--device", "3", "--device", "0", "--", "d"}}) {
        err.clear();
        EXPECT_FALSE(args(bad, &o, &err));
        EXPECT_FALSE(err.empty());
    }
    // The USB stack's options.
    ASSERT_TRUE(
        args({"--content", "motion", "--usbfs-memory-mb", "4", "--no-sg", "--link-mbps", "40",
              "--interface-busy", "1", "--kernel-driver", "2", "--kernel-driver", "3", "--", "d"},
             &o, &err))
        << err;
    EXPECT_EQ(o.content, torvel::sim::ContentKind::kMotion);
    EXPECT_EQ(o.usbfs_memory_mb, 4u);
    EXPECT_TRUE(o.no_sg);
    EXPECT_DOUBLE_EQ(o.link_mbps, 40.0);
    EXPECT_EQ(o.interface_busy, std::vector<int>{1});
    EXPECT_EQ(o.kernel_driver, (std::vector<int>{2, 3}));
    ASSERT_TRUE(args({"--", "d"}, &o, &err));
    EXPECT_EQ(o.usbfs_memory_mb, 16u);
    EXPECT_FALSE(o.no_sg);
    EXPECT_DOUBLE_EQ(o.link_mbps, 0.0);
    for (std::vector<const char *> bad :
         {std::vector<const char *>{"--usbfs-memory-mb", "-1", "--", "d"},
          {"--link-mbps", "fast", "--", "d"},
          {"--interface-busy", "4", "--", "d"},
          {"--kernel-driver", "--", "d"}}) {
        err.clear();
        EXPECT_FALSE(args(bad, &o, &err)) << bad[0];
        EXPECT_FALSE(err.empty());
    }

    bool help = false;
    const char *h[] = {"torvel-sim", "--help"};
    EXPECT_FALSE(torvel::sim::parse_args(2, h, &o, &err, &help));
    EXPECT_TRUE(help);
}

TEST(SimOptions, Script) {
    std::vector<torvel::sim::ScriptEvent> ev;
    std::string err;
    ASSERT_TRUE(
        torvel::sim::parse_script("# comment\n"
                                  "3 unplug 1\n"
                                  "1.5 rotate 0 2   # turn it\n"
                                  "\n"
                                  "2 dpms off\n"
                                  "2 dpms on 1\n"
                                  "4 mode 1280x720\n"
                                  "5 fault evdi grab EIO 3\n"
                                  "5 fault usb 0 bulk stall\n"
                                  "5 fault usb 0 bulk partial 2\n"
                                  "5 fault usb 1 control 0x81 timeout 2\n"
                                  "6 add rotating:orient=1\n"
                                  "7 freeze\n"
                                  "8 format XB24 0\n"
                                  "8 cursor -5 300\n"
                                  "8 pan 2560x1080 1\n"
                                  "8 output off 0\n"
                                  "8 output on\n",
                                  &ev, &err))
        << err;
    ASSERT_EQ(ev.size(), 16u);
    EXPECT_EQ(ev[12].words, (std::vector<std::string>{"cursor", "-5", "300"}));
    EXPECT_DOUBLE_EQ(ev[0].at, 1.5);
    EXPECT_EQ(ev[0].words, (std::vector<std::string>{"rotate", "0", "2"}));
    EXPECT_EQ(ev[1].words[0], "dpms");  // equal times keep their order
    EXPECT_EQ(ev[1].words[1], "off");
    EXPECT_EQ(ev[2].words[1], "on");
    EXPECT_EQ(ev[3].line, 2);
    for (const char *bad :
         {"x unplug 1", "1 unplug", "1 unplug 9", "1 rotate 0", "1 dpms dim", "1 mode 12",
          "1 fault evdi nosuchop EIO", "1 fault evdi grab EWHAT", "1 fault usb 0 bulk melt",
          "1 add 9", "1 explode", "-1 freeze", "1 format RG16", "1 cursor 5", "1 cursor a b",
          "1 pan 0x5", "1 output dim", "1 output on 7"}) {
        err.clear();
        EXPECT_FALSE(torvel::sim::parse_script(bad, &ev, &err)) << bad;
        EXPECT_NE(err.find("line 1"), std::string::npos) << err;
    }
}

// Steps the scene `steps` times by `dt` seconds; every reported rectangle lies
// on the screen and is not empty, and every changed pixel lies in one of the
// rectangles of its step. Returns the count of changed pixels.
int play_scene(torvel::sim::Scene &s, int steps, double dt) {
    const int w = s.width(), h = s.height();
    std::vector<uint32_t> before(s.pixels(), s.pixels() + static_cast<size_t>(w) * h);
    int changed_total = 0;
    for (int step = 1; step <= steps; ++step) {
        evdiemu::Rect r[8];
        const int n = s.step(step * dt, r, 8);
        for (int i = 0; i < n; ++i) {
            EXPECT_GE(r[i].x1, 0);
            EXPECT_GE(r[i].y1, 0);
            EXPECT_LE(r[i].x2, w);
            EXPECT_LE(r[i].y2, h);
            EXPECT_LT(r[i].x1, r[i].x2);
            EXPECT_LT(r[i].y1, r[i].y2);
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t at = static_cast<size_t>(y) * w + x;
                if (s.pixels()[at] == before[at]) continue;
                ++changed_total;
                bool inside = false;
                for (int i = 0; i < n; ++i)
                    inside |= x >= r[i].x1 && x < r[i].x2 && y >= r[i].y1 && y < r[i].y2;
                EXPECT_TRUE(inside)
                    << w << "x" << h << " step " << step << " pixel " << x << "," << y;
                if (!inside) return changed_total;
            }
        before.assign(s.pixels(), s.pixels() + static_cast<size_t>(w) * h);
    }
    return changed_total;
}

TEST(SimScene, ChangesStayInsideTheReportedRectangles) {
    torvel::sim::Scene s;
    s.reset(640, 360);
    std::vector<uint32_t> before(s.pixels(), s.pixels() + 640 * 360);
    // The desktop is not flat: windows and strokes give it many colours.
    std::vector<uint32_t> sorted = before;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_GT(std::unique(sorted.begin(), sorted.end()) - sorted.begin(), 50);
    EXPECT_GT(play_scene(s, 40, 0.05), 1000);  // it is animated
    // Same size and time, same picture.
    torvel::sim::Scene a, b;
    a.reset(320, 200);
    b.reset(320, 200);
    evdiemu::Rect r[8];
    a.step(1.25, r, 8);
    b.step(1.25, r, 8);
    EXPECT_TRUE(std::equal(a.pixels(), a.pixels() + 320 * 200, b.pixels()));
}

// Thin and tiny modes, where clock segments, windows and the bouncing element
// get sizes of zero or less or reach past the screen: the scene still draws
// only on the screen, and a frame's changes stay in its rectangles over
// several clock seconds.
TEST(SimScene, ThinAndTinyModesStayOnTheScreen) {
    const int modes[][2] = {{640, 24}, {24, 640}, {1, 1},    {2, 3},   {7, 5},
                            {53, 53},  {54, 54},  {4096, 2}, {3, 1200}};
    for (const auto &m : modes) {
        torvel::sim::Scene s;
        s.reset(m[0], m[1]);
        ASSERT_EQ(s.width(), m[0]);
        ASSERT_EQ(s.height(), m[1]);
        const int changed = play_scene(s, 14, 0.25);
        // The bouncing element keeps moving where there is room for it.
        if (m[0] * m[1] >= 400) {
            EXPECT_GT(changed, 0) << m[0] << "x" << m[1];
        }
    }
}

// Full-screen motion: every 32 x 8 block differs from one step (at 60 Hz)
// to the next, the content is not flat, and it is the same for the same
// size and time.
TEST(SimScene, MotionChangesEveryBlockAtEveryStep) {
    torvel::sim::MotionScene m;
    m.reset(200, 72);
    std::vector<uint32_t> before(m.pixels(), m.pixels() + 200 * 72);
    std::vector<uint32_t> sorted = before;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_GT(std::unique(sorted.begin(), sorted.end()) - sorted.begin(), 2000);
    for (int step = 1; step <= 30; ++step) {
        evdiemu::Rect r[2];
        ASSERT_EQ(m.step(step / 60.0, r, 2), 1);
        EXPECT_EQ(r[0].x1, 0);
        EXPECT_EQ(r[0].y1, 0);
        EXPECT_EQ(r[0].x2, 200);
        EXPECT_EQ(r[0].y2, 72);
        for (int by = 0; by < 72; by += 8) {
            for (int bx = 0; bx < 200; bx += 32) {
                bool differs = false;
                for (int y = by; y < std::min(by + 8, 72) && !differs; ++y)
                    for (int x = bx; x < std::min(bx + 32, 200) && !differs; ++x)
                        differs = m.pixels()[y * 200 + x] != before[y * 200 + x];
                EXPECT_TRUE(differs) << "block at " << bx << "," << by << " step " << step;
            }
        }
        before.assign(m.pixels(), m.pixels() + 200 * 72);
    }
    torvel::sim::MotionScene a, b;
    a.reset(333, 5);
    b.reset(333, 5);
    evdiemu::Rect r[1];
    a.step(2.5, r, 1);
    b.step(2.5, r, 1);
    EXPECT_TRUE(std::equal(a.pixels(), a.pixels() + 333 * 5, b.pixels()));
}

}  // namespace
