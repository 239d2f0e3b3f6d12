// The daemon names and rotates its output on the desktop's own session with
// no drop-in: the real daemon under torvel-sim, its xrandr the session helper
// (first in PATH), which finds fake logind answers and fake X servers laid
// out as GDM, LightDM and SDDM run theirs, and then runs the harness's fake
// xrandr; on Plasma's Wayland the helper goes through kscreen-doctor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "daemon_run.h"
#include "fake_desktop.h"

namespace {

using namespace std::chrono_literals;
using torvel::sim::DeviceSpec;
using torvel::sim::Options;
using torvel_e2e::DaemonRun;
using torvel_test::FakeDesktop;
using torvel_test::FakeSession;

constexpr int kRotating = 4;  // PRODUCT_ID[4]

Options options(const std::string &path_prefix) {
    // No drop-in: nothing in the daemon's environment names a display.
    unsetenv("DISPLAY");
    unsetenv("XAUTHORITY");
    setenv("TORVEL_X_WAIT", "20", 1);
    Options o;
    DeviceSpec d;
    d.model = kRotating;
    o.devices = {d};
    o.width = 640;
    o.height = 360;
    o.command = {DAEMON_PATH};
    o.path_prefix = path_prefix;
    return o;
}

size_t count_like(const std::vector<std::string> &lines, const std::string &what) {
    size_t n = 0;
    for (const auto &l : lines) n += l.find(what) != std::string::npos;
    return n;
}

// The environment the fake xrandr saw for its first call that was `command`.
std::string environment_of(torvel::sim::Sim &sim, const std::string &command) {
    const auto commands = sim.xrandr_commands();
    const auto envs = sim.xrandr_environments();
    for (size_t i = 0; i < commands.size() && i < envs.size(); ++i)
        if (commands[i].find(command) != std::string::npos) return envs[i];
    return "(no such call)";
}

TEST(XSessionE2E, NamingAndRotationFollowEachDisplayManagersLayout) {
    FakeDesktop desk(1);
    DaemonRun run(options(desk.path()));
    ASSERT_TRUE(run.ok());

    // LightDM's X server comes up after the daemon: naming waits for it.
    ASSERT_TRUE(run.log_has("Screen#0 is running", 20s)) << run->daemon_log();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(run->daemon_log().find(">>> monitor#"), std::string::npos) << run->daemon_log();
    EXPECT_TRUE(run->xrandr_commands().empty());
    const std::string n0 = std::to_string(desk.display_number(0));
    pid_t x =
        desk.start_x(desk.display_number(0),
                     {"/usr/lib/xorg/Xorg", ":" + n0, "-seat", "seat0", "-auth",
                      "/var/run/lightdm/root/:" + n0, "-nolisten", "tcp", "vt7", "-novtswitch"});
    FakeSession s;
    s.display = ":" + n0;
    s.vt = 7;
    desk.session(s);
    ASSERT_TRUE(run.log_has(">>> monitor#0 - DVI-I-1-1\n", 15s)) << run->daemon_log();
    EXPECT_EQ(environment_of(*run, "-q"),
              "DISPLAY=:" + n0 + " XAUTHORITY=/var/run/lightdm/root/:" + n0);

    // Another display manager's X server replaces the last; the device is
    // turned; the rotation must reach the new server with its authority.
    auto turn_under = [&](int k, std::vector<std::string> argv, FakeSession session,
                          uint8_t orientation, const std::string &rotation,
                          const std::string &auth) {
        desk.stop_x(x);
        const std::string n = std::to_string(desk.display_number(k));
        x = desk.start_x(desk.display_number(k), argv);
        session.display = ":" + n;
        desk.session(session);
        const std::string command = "--output DVI-I-1-1 --rotate " + rotation;
        run->set_orientation(0, orientation);
        ASSERT_TRUE(
            run->wait_until([&] { return count_like(run->xrandr_commands(), command) == 1; }, 10s))
            << run->daemon_log();
        EXPECT_EQ(environment_of(*run, command), "DISPLAY=:" + n + " XAUTHORITY=" + auth);
    };
    // GDM: the user's Xorg on vt2, started with -displayfd, its authority in
    // the user's runtime directory.
    turn_under(
        1,
        {"/usr/lib/xorg/Xorg", "vt2", "-displayfd", "3", "-auth", "/run/user/1000/gdm/Xauthority",
         "-nolisten", "tcp", "-background", "none", "-noreset", "-keeptty", "-novtswitch"},
        {.id = "4", .uid = 1000, .vt = 2}, 1, "left", "/run/user/1000/gdm/Xauthority");
    // SDDM: an authority file whose name changes at every X start.
    const std::string auth = "/run/sddm/xauth_" + std::to_string(std::random_device{}() % 1000000);
    turn_under(2,
               {"/usr/lib/xorg/Xorg", "-nolisten", "tcp", "-background", "none", "-seat", "seat0",
                "vt1", "-auth", auth, "-noreset", "-displayfd", "16"},
               {.id = "5", .vt = 1}, 2, "inverted", auth);
    EXPECT_EQ(run->stop(10s), 0);
}

TEST(XSessionE2E, PlasmaOnWaylandNamesAndRotatesThroughKscreenDoctor) {
    FakeDesktop desk(2);
    FakeSession s;
    s.type = "wayland";
    s.desktop = "KDE";
    desk.session(s);
    desk.tool("kscreen-doctor",
              "Output: 70 DVI-I-1-1 enabled connected priority 1 DVI Modes: 0:640x360@60*!\n");
    DaemonRun run(options(desk.path(true)));
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.log_has(">>> monitor#0 - DVI-I-1-1\n", 20s)) << run->daemon_log();
    // The daemon says at start what happens on this desktop.
    EXPECT_NE(run->daemon_log().find(
                  "Wayland session (KDE): outputs named and rotated through kscreen-doctor\n"),
              std::string::npos)
        << run->daemon_log();
    run->set_orientation(0, 3);
    ASSERT_TRUE(run->wait_until(
        [&] {
            return count_like(desk.tool_calls(),
                              "kscreen-doctor output.DVI-I-1-1.rotation.right") == 1;
        },
        10s))
        << run->daemon_log();
    EXPECT_TRUE(run->xrandr_commands().empty());  // xrandr itself sees only Xwayland
    EXPECT_EQ(run->stop(10s), 0);
}

}  // namespace
