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
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "render.h"
#include "rotation.h"
#include "setup.h"
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

// A ticker runs the countdown without pause while DPMS off and on land on
// it, the on at a random tick inside the count, so that now and then it
// falls between a tick's read and its store. Long after, the on must stand.
TEST(DisplayOffCountdown, NeverUndoesAConcurrentDisplayOn) {
    std::atomic<int32_t> display_off{-1};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> ticks{0};
    std::thread ticker([&] {
        while (!done.load()) {
            display_off_tick(display_off);
            ticks.fetch_add(1);
        }
    });
    std::mt19937 rng(1);
    auto wait_ticks = [&](uint64_t n) {
        const uint64_t start = ticks.load();
        while (ticks.load() - start < n) {
        }
    };
    for (int round = 0; round < 3000; ++round) {
        display_off.store(1);  // DPMS off
        wait_ticks(rng() % (DISPLAY_OFF_COUNT - 10));
        display_off.store(0);  // DPMS on
        wait_ticks(2 * DISPLAY_OFF_COUNT);
        if (display_off.load() != 0) {
            ADD_FAILURE() << "round " << round << ": " << display_off.load();
            break;
        }
    }
    done.store(true);
    ticker.join();
}

int posix_timers() {
    std::ifstream f("/proc/self/timers");
    int n = 0;
    for (std::string line; std::getline(f, line);) n += line.rfind("ID:", 0) == 0;
    return n;
}

TEST(StartUpTimer, AStopBeforeItFiresDeletesIt) {
    ASSERT_TRUE(std::ifstream("/proc/self/timers").is_open());
    const int before = posix_timers();
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    create_thread();
    EXPECT_EQ(posix_timers(), before + 1);
    finish_startup();
    fflush(stdout);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("timer ID is "), std::string::npos);
    EXPECT_EQ(posix_timers(), before);
}

TEST(EndProcessNow, FlushesOutputAndRunsNoStaticDestructor) {
    char path[] = "/tmp/spine_render_exit.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EXIT(
        {
            static struct Loud {
                ~Loud() { fputs("static destructor ran\n", stderr); }
            } loud;
            (void)loud;
            // A file makes standard output fully buffered: the line waits.
            if (freopen(path, "w", stdout) == nullptr) _exit(3);
            fputs("last line\n", stdout);
            end_process_now(0);
        },
        ::testing::ExitedWithCode(0), "^$");
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    EXPECT_EQ(line, "last line");
    unlink(path);
}

void *idle_event_thread(void *) {
    for (;;) pause();  // a cancellation point
}

void *render_stub(void *param) {
    auto &cxt = *static_cast<thread_context_t *>(param);
    while (!cxt.stop_requested.load()) usleep(1000);
    return nullptr;
}

// A render thread whose screen (id 0) comes up only as it is being stopped.
void *late_screen_render_stub(void *param) {
    render_stub(param);
    eevt_threads[0].start(idle_event_thread, nullptr);
    return nullptr;
}

// Slot 0 serves screen 1 and slot 1 screen 0.
TEST(Shutdown, EndsEveryEventThreadWhateverSlotServesWhichScreen) {
    for (auto &cxt : g_context) cxt.stop_requested.store(false);
    ASSERT_EQ(g_threads[0].start(render_stub, &g_context[0]), 0);
    ASSERT_EQ(eevt_threads[1].start(idle_event_thread, nullptr), 0);
    ASSERT_EQ(g_threads[1].start(late_screen_render_stub, &g_context[1]), 0);
    stop_device_threads();
    for (int i = 0; i < MAX_DEVICES; ++i) {
        EXPECT_FALSE(g_threads[i].running()) << i;
        EXPECT_FALSE(eevt_threads[i].running()) << i;
    }
    for (auto &cell : eevt_threads) cell.cancel_and_join();
    for (auto &cxt : g_context) cxt.stop_requested.store(false);
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

// The listing is slow, and screen 0 (slot 2, started first) goes while it
// runs: the names of the other screens do not shift onto other outputs.
TEST_F(OutputNamingTest, AScreenGoneWhileTheOutputsAreListedShiftsNoName) {
    const std::string marker = dir_ + "/listing";
    const started_screen_t started[2] = {{2, 0}, {3, 1}};
    for (const char *lines : {"DVI-I-2-2 connected 8x8+0+0\n",  // X dropped it at once
                              "DVI-I-1-1 connected 8x8+0+0\nDVI-I-2-2 connected 8x8+0+0\n"}) {
        const std::string path = dir_ + "/xrandr";
        std::ofstream(path) << "#!/bin/sh\ntouch '" << marker << "'\nsleep 0.5\ncat <<'EOF'\n"
                            << lines << "EOF\n";
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
        unlink(marker.c_str());
        for (auto &cxt : g_context) memset(cxt.monitor_name, 0, sizeof cxt.monitor_name);
        evdihndl[0].store(reinterpret_cast<evdi_handle>(uintptr_t{0x10}));
        evdihndl[1].store(reinterpret_cast<evdi_handle>(uintptr_t{0x20}));
        std::thread departure([&] {
            while (access(marker.c_str(), F_OK) != 0) usleep(2000);
            evdihndl[0].store(nullptr);
        });
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        name_started_outputs(started, 2);
        fflush(stdout);
        const std::string out = ::testing::internal::GetCapturedStdout();
        departure.join();
        EXPECT_EQ(name(3), "DVI-I-2-2") << lines;
        EXPECT_EQ(name(2), "") << lines;
        EXPECT_EQ(out.find("DVI-I-1-1"), std::string::npos) << out;
    }
    evdihndl[1].store(nullptr);
}

TEST_F(OutputNamingTest, NoOutputsNamesNothing) {
    listing("HDMI-1 connected primary 1920x1080+0+0\nDVI-I-1-1 disconnected\n");
    EXPECT_EQ(naming(nullptr, 0), "");
    EXPECT_EQ(name(0), "");
}

}  // namespace
