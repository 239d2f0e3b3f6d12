// torvel-xsession run as the daemon runs it (under a client's name, first in
// PATH) on fake desktops: the X server and authority of each display
// manager's layout, the override, the bounded wait, and Wayland's tools.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../e2e/fake_desktop.h"
#include "tool_run.h"
#include "wayland.h"

namespace {

using torvel_test::FakeDesktop;
using torvel_test::FakeSession;
using namespace std::chrono_literals;

class XSession : public ::testing::Test {
  protected:
    XSession() : desk_(0) {
        desk_.real_client("xrandr");
        desk_.real_client("xrefresh");
    }
    // Runs the helper as `client` with `env` ("NAME=value") on top of a
    // clean environment.
    torvel_test::ToolRun<std::string> run(const std::string &client, std::vector<std::string> args,
                                          std::vector<std::string> env = {}, bool tools = false) {
        const std::string exe = (desk_.dir() / "bin" / client).string();
        std::vector<std::string> cmd = {"/usr/bin/env", "-i",
                                        "PATH=" + desk_.path(tools) + ":/usr/bin:/bin",
                                        "TORVEL_X_WAIT=3"};
        cmd.insert(cmd.end(), env.begin(), env.end());
        cmd.push_back(exe);
        cmd.insert(cmd.end(), args.begin(), args.end());
        const std::string tool = cmd[0];
        cmd.erase(cmd.begin());
        return torvel_test::run_tool<std::string>(tool.c_str(), cmd, {});
    }
    std::string display(int k) const { return ":" + std::to_string(desk_.display_number(k)); }

    FakeDesktop desk_;
};

// Each display manager's X server as it runs it; the session names the
// display, the server's -auth the authority, whatever its file is called.
TEST_F(XSession, FindsTheDisplayAndAuthorityOfEachDisplayManager) {
    const std::string n = std::to_string(desk_.display_number(0));
    struct Layout {
        const char *name;
        std::vector<std::string> argv;
        std::string auth;
        unsigned uid;
    };
    const Layout layouts[] = {
        {"lightdm",
         {"/usr/lib/xorg/Xorg", ":" + n, "-seat", "seat0", "-auth", "/var/run/lightdm/root/:" + n,
          "-nolisten", "tcp", "vt7", "-novtswitch"},
         "/var/run/lightdm/root/:" + n,
         0},
        {"gdm",
         {"/usr/lib/xorg/Xorg", "vt2", "-displayfd", "3", "-auth", "/run/user/1000/gdm/Xauthority",
          "-nolisten", "tcp", "-background", "none", "-noreset", "-keeptty", "-novtswitch"},
         "/run/user/1000/gdm/Xauthority",
         1000},
        {"sddm",
         {"/usr/lib/xorg/Xorg", "-nolisten", "tcp", "-background", "none", "-seat", "seat0", "vt1",
          "-auth", "/run/sddm/xauth_Qw3rTy", "-noreset", "-displayfd", "16"},
         "/run/sddm/xauth_Qw3rTy",
         0},
    };
    for (const Layout &l : layouts) {
        SCOPED_TRACE(l.name);
        const pid_t x = desk_.start_x(desk_.display_number(0), l.argv);
        FakeSession s;
        s.display = ":" + n;
        s.uid = l.uid;
        desk_.session(s);
        for (const char *client : {"xrandr", "xrefresh"}) {
            const auto r = run(client, {"-q"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out,
                      std::string(client) + " -q | DISPLAY=:" + n + " XAUTHORITY=" + l.auth + "\n");
        }
        desk_.stop_x(x);
    }
}

// A server started with -displayfd on the session's VT, when logind names no
// display: the display comes from the lock file it holds.
TEST_F(XSession, FindsAServerByTheSessionsVtWhenNoDisplayIsNamed) {
    const int vt = desk_.display_number(1);
    desk_.start_x(desk_.display_number(1),
                  {"/usr/lib/xorg/Xorg", "vt" + std::to_string(vt), "-displayfd", "3", "-auth",
                   "/run/user/1000/gdm/Xauthority"});
    FakeSession s;
    s.vt = vt;
    desk_.session(s);
    const auto r = run("xrandr", {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "xrandr  | DISPLAY=" + display(1) + " XAUTHORITY=/run/user/1000/gdm/Xauthority\n");
}

TEST_F(XSession, DisplayAndAuthoritySetByTheUnitWin) {
    desk_.start_x(desk_.display_number(0),
                  {"/usr/lib/xorg/Xorg", display(0), "-auth", "/var/run/lightdm/root/x"});
    FakeSession s;
    s.display = display(2);  // another display, which must not be used
    desk_.session(s);
    auto r = run("xrandr", {"-q"}, {"DISPLAY=" + display(0)});
    EXPECT_EQ(r.out, "xrandr -q | DISPLAY=" + display(0) + " XAUTHORITY=/var/run/lightdm/root/x\n");
    r = run("xrandr", {"-q"}, {"DISPLAY=" + display(0), "XAUTHORITY=/root/.Xauthority"});
    EXPECT_EQ(r.out, "xrandr -q | DISPLAY=" + display(0) + " XAUTHORITY=/root/.Xauthority\n");
}

// The real xrandr, through the helper, reaches a real X server that admits
// only clients with its authority: the one the helper found.
TEST_F(XSession, RealXrandrReachesAServerThatRequiresTheFoundAuthority) {
    if (std::system("command -v Xvfb xauth xrandr >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs Xvfb, xauth and xrandr";
    std::filesystem::remove(desk_.dir() / "real/xrandr");
    const std::string cookie = (desk_.dir() / "cookie").string();
    const std::string cmd = "xauth -q -f '" + cookie + "' add " + display(3) + " . " +
                            "0123456789abcdef0123456789abcdef";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    desk_.start_x(
        desk_.display_number(3),
        {"Xvfb", display(3), "-auth", cookie, "-nolisten", "tcp", "-screen", "0", "640x480x24"},
        "/usr/bin/Xvfb");
    FakeSession s;
    s.display = display(3);
    desk_.session(s);
    auto r = run("xrandr", {"-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Screen 0: "), std::string::npos) << r.out;
    // The server really turns away a client without it.
    r = run("xrandr", {"-q"}, {"DISPLAY=" + display(3), "XAUTHORITY=/dev/null"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("Can't open display"), std::string::npos) << r.err;
}

// No X server yet: the client waits for one, a bounded time.
TEST_F(XSession, WaitsABoundedTimeForAnXServerThatComesUpLater) {
    auto r = run("xrandr", {"-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no X display on seat0 after 3 s"), std::string::npos) << r.err;

    std::thread later([this] {
        std::this_thread::sleep_for(1s);
        desk_.start_x(desk_.display_number(0), {"Xorg", display(0), "-auth", "/a"});
        FakeSession s;
        s.display = display(0);
        desk_.session(s);
    });
    r = run("xrandr", {"-q"});
    later.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "xrandr -q | DISPLAY=" + display(0) + " XAUTHORITY=/a\n");
}

// Mutter's answer to GetCurrentState as gdbus prints it: two monitors side
// by side, the first at 1920x1080.
constexpr const char *kMutterState =
    "(uint32 7, [(('DVI-I-1', 'ACME', 'USB', '0x1'), [('1920x1080@60.000', 1920, 1080, 60.0, 1.0, "
    "[1.0, 2.0], {'is-current': <true>, 'is-preferred': <true>}), ('1280x720@60.000', 1280, 720, "
    "60.0, "
    "1.0, [1.0], @a{sv} {})], {'is-builtin': <false>}), (('HDMI-1', 'X', 'Y', '0x2'), "
    "[('2560x1440@59.951', "
    "2560, 1440, 59.951, 1.0, [1.0], {'is-current': <true>})], @a{sv} {})], [(0, 0, 1.0, uint32 0, "
    "true, "
    "[('DVI-I-1', 'ACME', 'USB', '0x1')], @a{sv} {}), (1920, 0, 1.0, uint32 0, false, [('HDMI-1', "
    "'X', "
    "'Y', '0x2')], @a{sv} {})], {'layout-mode': <uint32 1>})\n";

// On Wayland, xrandr's listing and rotation go through the compositor's tool,
// run as the session user with that user's runtime directory.
TEST_F(XSession, WaylandOutputsAreListedAndRotatedThroughTheCompositorsTool) {
    desk_.tool("kscreen-doctor",
               "\x1b[01;32mOutput: \x1b[0;0m65 DVI-I-1-1 \x1b[01;32menabled\x1b[0;0m connected "
               "priority 2 DVI\n"
               "Output: 66 HDMI-A-1 disabled connected priority 0 HDMI\n");
    desk_.tool("wlr-randr",
               "DVI-I-1 \"Unknown (DVI-I-1)\"\n  Enabled: yes\n  Modes:\n    640x360 px\n"
               "HDMI-A-1 \"Dell\"\n  Enabled: no\n");
    desk_.tool("gdbus", kMutterState);
    struct Case {
        const char *desktop, *tool, *output, *listing, *rotate_call;
    };
    const Case cases[] = {
        {"KDE", "kscreen-doctor", "DVI-I-1-1", "DVI-I-1-1 connected (normal left inverted right)\n",
         "kscreen-doctor output.DVI-I-1-1.rotation.left"},
        {"sway", "wlr-randr", "DVI-I-1", "DVI-I-1 connected (normal left inverted right)\n",
         "wlr-randr --output DVI-I-1 --transform 90"},
        {"GNOME", "gdbus", "DVI-I-1",
         "DVI-I-1 connected (normal left inverted right)\nHDMI-1 connected (normal left inverted "
         "right)\n",
         "gdbus call --session --dest org.gnome.Mutter.DisplayConfig --object-path "
         "/org/gnome/Mutter/DisplayConfig --method "
         "org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig 7 1 "
         "[(0, 0, 1.0, uint32 1, true, [('DVI-I-1', '1920x1080@60.000', @a{sv} {})]), (1080, 0, "
         "1.0, "
         "uint32 0, false, [('HDMI-1', '2560x1440@59.951', @a{sv} {})])] @a{sv} {}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.desktop);
        FakeSession s;
        s.type = "wayland";
        s.desktop = c.desktop;
        desk_.session(s);
        const size_t before = desk_.tool_calls().size();
        auto r = run("xrandr", {"-q"}, {}, true);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.listing);
        r = run("xrandr", {"--output", c.output, "--rotate", "left"}, {}, true);
        EXPECT_EQ(r.status, 0) << r.err;
        const auto calls = desk_.tool_calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), std::string(c.rotate_call) +
                                    " | /run/user/0 wayland-0 unix:path=/run/user/0/bus");
        EXPECT_GE(calls.size() - before, 2u);  // the listing went through the tool too

        r = run("torvel-xsession", {"--note-wayland"}, {}, true);
        EXPECT_EQ(r.out, std::string("Wayland session (") + c.desktop +
                             "): outputs named and rotated through " + c.tool + "\n");
    }
    // Without the tool nothing is listed, and the note says so (wlr-randr is
    // the one of the three this machine may lack).
    if (std::system("command -v wlr-randr >/dev/null 2>&1") != 0) {
        FakeSession sway;
        sway.type = "wayland";
        sway.desktop = "sway";
        desk_.session(sway);
        auto r = run("xrandr", {"-q"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        r = run("torvel-xsession", {"--note-wayland"});
        EXPECT_EQ(
            r.out,
            "Wayland session (sway): output naming and rotation do nothing without wlr-randr\n");
    }
    // Nor on an X11 desktop.
    FakeSession x;
    x.display = display(3);
    desk_.session(x);
    EXPECT_EQ(run("torvel-xsession", {"--note-wayland"}).out, "");
}

// Rotating a monitor that others stand beside or below moves them with its
// edge; an output that is not enabled is refused.
TEST(MutterRotation, NeighboursMoveWithTheTurnedMonitorsEdge) {
    using namespace torvel::xsession;
    std::vector<std::string> argv;
    std::string error;
    ASSERT_TRUE(rotation_argv(Compositor::kGnome, "HDMI-1", "inverted", kMutterState, argv, error))
        << error;
    EXPECT_EQ(argv.at(11),
              "[(0, 0, 1.0, uint32 0, true, [('DVI-I-1', '1920x1080@60.000', @a{sv} {})]), "
              "(1920, 0, 1.0, uint32 2, false, [('HDMI-1', '2560x1440@59.951', @a{sv} {})])]");
    EXPECT_FALSE(rotation_argv(Compositor::kGnome, "DP-9", "left", kMutterState, argv, error));
    EXPECT_FALSE(rotation_argv(Compositor::kGnome, "HDMI-1", "left", "(uint32 7, [", argv, error));
    EXPECT_FALSE(rotation_argv(Compositor::kWlroots, "HDMI-1", "sideways", "", argv, error));
}

}  // namespace
