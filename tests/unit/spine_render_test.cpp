// The render loop's display-off countdown, output naming from the xrandr
// listing and the rotation commands.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "render.h"
#include "rotation.h"
#include "state.h"

namespace {

TEST(DisplayOffCountdown, SwitchesOffOnTheFiftyNinthTickAfterDpmsOff) {
    std::atomic<int32_t> display_off{1};  // DPMS off
    int ticks = 0;
    while (!display_off_tick(display_off)) {
        ASSERT_LT(++ticks, 100);
        ASSERT_EQ(display_off.load(), ticks + 1);
    }
    EXPECT_EQ(ticks + 1, 59);
    EXPECT_EQ(display_off.load(), -1);
    // Idle afterwards: nothing more happens.
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(display_off_tick(display_off));
    EXPECT_EQ(display_off.load(), -1);
}

TEST(DisplayOffCountdown, DisplayOnStopsItAndANewOffRestartsIt) {
    std::atomic<int32_t> display_off{1};
    for (int i = 0; i < 30; ++i) ASSERT_FALSE(display_off_tick(display_off));
    display_off.store(0);  // DPMS on
    for (int i = 0; i < 100; ++i) ASSERT_FALSE(display_off_tick(display_off));
    EXPECT_EQ(display_off.load(), 0);
    display_off.store(1);
    for (int i = 0; i < 40; ++i) ASSERT_FALSE(display_off_tick(display_off));
    display_off.store(1);  // off again during the countdown: from 1 again
    int ticks = 0;
    while (!display_off_tick(display_off)) ++ticks;
    EXPECT_EQ(ticks + 1, 59);
}

TEST(DisplayOffCountdown, NeverUndoesAConcurrentDisplayOn) {
    // The handler's store of 0 must survive any tick that raced with it: the
    // final value after the handler's last store is 0, whatever the timing.
    for (int round = 0; round < 200; ++round) {
        std::atomic<int32_t> display_off{1};
        std::atomic<bool> done{false};
        std::thread ticker([&] {
            while (!done.load()) display_off_tick(display_off);
        });
        display_off.store(0);
        done.store(true);
        ticker.join();
        ASSERT_EQ(display_off.load(), 0);
    }
}

TEST(RotationCommand, FourOrientationsOnNamedOutputsOnly) {
    char cmd[80];
    const char *expected[4] = {
        "xrandr --output DVI-I-1-1 --rotate normal", "xrandr --output DVI-I-1-1 --rotate left",
        "xrandr --output DVI-I-1-1 --rotate inverted", "xrandr --output DVI-I-1-1 --rotate right"};
    for (unsigned o = 0; o < 4; ++o) {
        ASSERT_TRUE(rotation_command(o, "DVI-I-1-1", cmd, sizeof cmd));
        EXPECT_STREQ(cmd, expected[o]);
    }
    EXPECT_FALSE(rotation_command(4, "DVI-I-1-1", cmd, sizeof cmd));
    EXPECT_FALSE(rotation_command(255, "DVI-I-1-1", cmd, sizeof cmd));
    EXPECT_FALSE(rotation_command(1, "", cmd, sizeof cmd));  // not named yet
    EXPECT_FALSE(rotation_command(1, "HDMI-1", cmd, sizeof cmd));
    // Nothing but letters, digits, '-' and '_' reaches the shell.
    EXPECT_FALSE(rotation_command(1, "DVI-I-1;reboot", cmd, sizeof cmd));
    EXPECT_FALSE(rotation_command(1, "DVI-I-$(id)", cmd, sizeof cmd));
    EXPECT_FALSE(rotation_command(1, "DVI-I-1 2", cmd, sizeof cmd));
    EXPECT_TRUE(rotation_command(3, "DVI-I-a_B-9", cmd, sizeof cmd));
    // The longest name a slot holds still fits the command buffer.
    const std::string longest = "DVI-I-" + std::string(25, 'x');
    EXPECT_TRUE(rotation_command(2, longest.c_str(), cmd, sizeof cmd));
    EXPECT_EQ(std::string(cmd), "xrandr --output " + longest + " --rotate inverted");
}

std::atomic<int> g_interrupts{0};
void count_interrupt(int) {
    ++g_interrupts;
}

TEST(RunShell, RunsTheCommandAndKeepsInterruptsDeliverable) {
    char tmpl[] = "/tmp/spine_render_shell.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string marker = std::string(tmpl) + "/ran";
    struct sigaction sa = {}, old = {};
    sa.sa_handler = count_interrupt;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGINT, &sa, &old), 0);
    g_interrupts = 0;
    std::thread command([&] { run_shell(("sleep 1; touch '" + marker + "'").c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // While the command runs, an interrupt still reaches the handler.
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    command.join();
    sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(g_interrupts.load(), 1);
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);  // waited for the command
    ASSERT_EQ(system(("rm -rf '" + std::string(tmpl) + "'").c_str()), 0);
}

// A fake xrandr first on PATH answers the listing.
class OutputNamingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/spine_render_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        old_path_ = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
        for (auto &cxt : g_context) memset(cxt.monitor_name, 0, sizeof cxt.monitor_name);
    }
    void TearDown() override {
        setenv("PATH", old_path_.c_str(), 1);
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    void listing(const std::string &lines) {
        const std::string path = dir_ + "/xrandr";
        std::ofstream(path) << "#!/bin/sh\n[ \"$1\" = -q ] || exit 1\ncat <<'EOF'\n"
                            << lines << "EOF\n";
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
    static std::string naming(const int *slots, int count) {
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        if (slots)
            find_monitor_name(slots, count);
        else
            find_monitor_name();
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
    static std::string name(int slot) {
        char out[32];
        get_monitor_name(g_context[slot], out);
        return out;
    }
    std::string dir_, old_path_;
};

TEST_F(OutputNamingTest, ConnectedDviOutputsNameSlotsInListingOrder) {
    listing(
        "Screen 0: minimum 8 x 8, current 2560 x 1080, maximum 32767 x 32767\n"
        "HDMI-1 connected primary 1920x1080+0+0 (normal left inverted right) 527mm x 296mm\n"
        "DVI-I-1-1 connected 640x360+1920+0 (normal left inverted right) 0mm x 0mm\n"
        "DVI-I-2-2 disconnected (normal left inverted right)\n"
        "DVI-I-2-2 connected 640x360+2560+0 (normal left inverted right) 0mm x 0mm\n");
    EXPECT_EQ(naming(nullptr, 0), ">>> monitor#0 - DVI-I-1-1\n>>> monitor#1 - DVI-I-2-2\n");
    EXPECT_EQ(name(0), "DVI-I-1-1");
    EXPECT_EQ(name(1), "DVI-I-2-2");
    EXPECT_EQ(name(2), "");  // slots beyond the listing keep their name
}

TEST_F(OutputNamingTest, OutputsFollowTheOrderTheScreensCameUpIn) {
    listing("DVI-I-1-1 connected 640x360+0+0\nDVI-I-2-2 connected 640x360+640+0\n");
    const int slots[2] = {1, 0};  // the device in slot 1 was started first
    EXPECT_EQ(naming(slots, 2), ">>> monitor#0 - DVI-I-1-1\n>>> monitor#1 - DVI-I-2-2\n");
    EXPECT_EQ(name(1), "DVI-I-1-1");
    EXPECT_EQ(name(0), "DVI-I-2-2");
}

TEST_F(OutputNamingTest, LongNamesAreCutAndExtraOutputsIgnored) {
    const std::string long_name = "DVI-I-" + std::string(40, 'z');
    listing(long_name +
            " connected 8x8+0+0\nDVI-I-2-2 connected 8x8+0+0\nDVI-I-3-3 connected 8x8+0+0\n"
            "DVI-I-4-4 connected 8x8+0+0\nDVI-I-5-5 connected 8x8+0+0\n");
    const std::string out = naming(nullptr, 0);
    EXPECT_EQ(name(0), long_name.substr(0, 31));
    EXPECT_EQ(name(3), "DVI-I-4-4");
    EXPECT_EQ(out.find("DVI-I-5-5"), std::string::npos);
    EXPECT_NE(out.find(">>> monitor#3 - DVI-I-4-4\n"), std::string::npos);
    // With fewer screens than outputs only those screens' slots are named.
    for (auto &cxt : g_context) memset(cxt.monitor_name, 0, sizeof cxt.monitor_name);
    const int slots[1] = {2};
    naming(slots, 1);
    EXPECT_EQ(name(2), long_name.substr(0, 31));
    EXPECT_EQ(name(0), "");
}

TEST_F(OutputNamingTest, NoOutputsNamesNothing) {
    listing("HDMI-1 connected primary 1920x1080+0+0\nDVI-I-1-1 disconnected\n");
    EXPECT_EQ(naming(nullptr, 0), "");
    EXPECT_EQ(name(0), "");
}

}  // namespace
