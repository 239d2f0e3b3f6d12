// torvel-sim running a small program with two emulated devices.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim.h"

namespace {

using namespace std::chrono_literals;

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

torvel::sim::Options probe_options(const std::string &out) {
    torvel::sim::Options o;
    torvel::sim::DeviceSpec a, b;
    b.model = 4;
    o.devices = {a, b};
    o.width = 640;
    o.height = 360;
    o.seconds = 3;
    o.out_dir = out;
    o.command = {SIM_PROBE_PATH};
    return o;
}

std::string temp_dir() {
    char t[] = "/tmp/sim-run-test-XXXXXX";
    return mkdtemp(t) ? t : "";
}

TEST(SimRun, RunsACommandWithTwoDevicesAndWritesItsReport) {
    const std::string before = slurp("/var/tmp/torvel_display.id");
    std::string out = temp_dir();
    ASSERT_FALSE(out.empty());
    std::string err;
    auto sim = torvel::sim::Sim::create(probe_options(out), &err);
    ASSERT_TRUE(sim) << err;
    ASSERT_EQ(sim->run(&err), 0) << err;

    std::string log = slurp(out + "/daemon.log");
    EXPECT_NE(log.find("probe: 2 outputs"), std::string::npos) << log;
    EXPECT_NE(log.find("probe: mode 640x360"), std::string::npos) << log;
    EXPECT_NE(log.find("probe: xrandr DVI-I-1-1 connected"), std::string::npos) << log;
    EXPECT_NE(log.find("probe: xrandr DVI-I-2-2 connected"), std::string::npos) << log;
    EXPECT_NE(log.find("probe: bye"), std::string::npos) << log;  // ended by SIGINT, cleanly

    std::string report = slurp(out + "/report.json");
    EXPECT_NE(report.find("\"exit_status\": 0"), std::string::npos) << report;
    EXPECT_NE(report.find("\"ended_early\": false"), std::string::npos);
    EXPECT_NE(report.find("\"product_id\": \"0x7d01\""), std::string::npos);
    EXPECT_NE(report.find("\"product_id\": \"0x7d05\""), std::string::npos);
    // Recorded, and attributed to the device that output 0 serves.
    EXPECT_NE(report.find("\"xrandr\": [\"--output DVI-I-1-1 --rotate left\"]}"), std::string::npos)
        << report;
    EXPECT_NE(report.find("\"xrandr\": [\"-q\", \"--output DVI-I-1-1 --rotate left\"]"),
              std::string::npos);
    EXPECT_NE(report.find("\"mode\": \"640x360\""), std::string::npos);
    // Per output: the probe asks again only after update_ready.
    size_t none = 0;
    for (size_t at = 0;
         (at = report.find("\"redundant_update_requests\": 0,", at)) != std::string::npos; ++at)
        ++none;
    EXPECT_EQ(none, 2u) << report;
    EXPECT_NE(report.find("\"commit_stalls\": 0"), std::string::npos) << report;
    EXPECT_NE(report.find("probe-id"), std::string::npos);  // the private identity file
    EXPECT_TRUE(exists(out + "/screen-0.png"));
    EXPECT_TRUE(exists(out + "/screen-1.png"));
    // The machine's own identity file was not touched.
    EXPECT_EQ(slurp("/var/tmp/torvel_display.id"), before);
    std::string rm = "rm -rf " + out;
    ASSERT_EQ(std::system(rm.c_str()), 0);
}

TEST(SimRun, PlaysAScriptOverAStillPicture) {
    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    torvel::testbed::FrameBuffer pic(64, 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            uint8_t *p = pic.pixel(x, y);
            p[0] = static_cast<uint8_t>(x * 4);
            p[1] = static_cast<uint8_t>(y * 7);
            p[2] = 200;
        }
    std::string err;
    ASSERT_TRUE(torvel::testbed::write_png(pic, dir + "/pic.png", &err)) << err;
    std::ofstream(dir + "/script") << "# at T: action\n"
                                      "2.0 dpms off\n"
                                      "2.3 dpms on 0\n";
    auto o = probe_options(dir + "/out");
    o.devices.resize(1);
    o.width = 64;
    o.height = 64;
    o.cursor = false;  // the screen is to show the picture alone
    o.content = torvel::sim::ContentKind::kPng;
    o.png_path = dir + "/pic.png";
    o.script_path = dir + "/script";
    o.seconds = 3.5;
    auto sim = torvel::sim::Sim::create(o, &err);
    ASSERT_TRUE(sim) << err;
    ASSERT_EQ(sim->run(&err), 0) << err;
    const std::string log = slurp(dir + "/out/daemon.log");
    // The EDID's mode first, then the configured one; DPMS off and on once.
    const size_t edid_mode = log.find("probe: mode 1920x1080\n");
    EXPECT_NE(edid_mode, std::string::npos) << log;
    EXPECT_NE(log.find("probe: mode 64x64\n", edid_mode), std::string::npos) << log;
    EXPECT_NE(log.find("probe: dpms 3\nprobe: dpms 0\n"), std::string::npos) << log;
    // The screen shows the picture, pixel for pixel.
    torvel::testbed::FrameBuffer screen;
    ASSERT_TRUE(torvel::testbed::read_png(dir + "/out/screen-0.png", screen, &err)) << err;
    EXPECT_TRUE(std::isinf(torvel::testbed::psnr(screen, pic)));
    std::string rm = "rm -rf " + dir;
    ASSERT_EQ(std::system(rm.c_str()), 0);
}

TEST(SimRun, ShowsARealXServer) {
    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    auto o = probe_options(dir);
    o.devices.resize(1);
    o.width = 320;
    o.height = 240;
    o.content = torvel::sim::ContentKind::kXvfb;
    o.seconds = 2;
    std::string err;
    auto sim = torvel::sim::Sim::create(o, &err);
    ASSERT_TRUE(sim) << err;
    ASSERT_EQ(sim->run(&err), 0) << err;
    const std::string log = slurp(dir + "/daemon.log");
    EXPECT_NE(log.find("probe: display :"), std::string::npos) << log;
    torvel::testbed::FrameBuffer screen;
    ASSERT_TRUE(torvel::testbed::read_png(dir + "/screen-0.png", screen, &err)) << err;
    ASSERT_EQ(screen.width(), 320);
    // The X client's windows are on it: more than the root's one colour.
    int differ = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            differ += std::memcmp(screen.pixel(x, y), screen.pixel(0, 0), 3) != 0;
    EXPECT_GT(differ, 320 * 240 / 10);
    std::string rm = "rm -rf " + dir;
    ASSERT_EQ(std::system(rm.c_str()), 0);
}

TEST(SimRun, DrivesTheOutputsFromATest) {
    std::string err;
    auto o = probe_options("");
    std::string dir = temp_dir();
    std::ofstream(dir + "/ids") << "0000abcd:1\n";
    o.id_file = dir + "/ids";
    auto sim = torvel::sim::Sim::create(o, &err);
    ASSERT_TRUE(sim) << err;
    ASSERT_TRUE(sim->start(&err)) << err;
    ASSERT_TRUE(sim->wait_output(0, 10s));
    ASSERT_TRUE(sim->wait_output(1, 10s));
    int out0 = sim->output_of(0), out1 = sim->output_of(1);
    EXPECT_GE(out0, 0);
    EXPECT_GE(out1, 0);
    EXPECT_NE(out0, out1);

    // Own content on device 1's output: the program grabs it.
    std::vector<uint32_t> px(16 * 16, 0x0000ff00);
    evdiemu::CardState s[evdiemu::kMaxOutputs];
    ASSERT_GT(sim->evdi().cards(s, evdiemu::kMaxOutputs), out1);
    uint64_t grabs = s[out1].grabs;
    ASSERT_EQ(sim->paint(1, 8, 8, 16, 16, px.data()), 0);
    EXPECT_TRUE(sim->wait_until(
        [&] {
            sim->evdi().cards(s, evdiemu::kMaxOutputs);
            return s[out1].grabs > grabs;
        },
        5s));
    // An injected grab failure costs one grab (of whichever output grabs
    // next: the program grabs both); the next paint gets through.
    auto total_failures = [&] {
        int n = sim->evdi().cards(s, evdiemu::kMaxOutputs);
        uint64_t sum = 0;
        for (int i = 0; i < n; ++i) sum += s[i].grab_failures;
        return sum;
    };
    const uint64_t failures = total_failures();
    ASSERT_EQ(sim->fail_evdi(evdiemu::Op::Grab, EIO, 1), 0);
    sim->evdi().cards(s, evdiemu::kMaxOutputs);
    grabs = s[out1].grabs;
    ASSERT_EQ(sim->paint(1, 0, 0, 16, 16, px.data()), 0);
    EXPECT_TRUE(sim->wait_until([&] { return total_failures() == failures + 1; }, 5s));
    ASSERT_EQ(sim->paint(1, 20, 20, 16, 16, px.data()), 0);
    EXPECT_TRUE(sim->wait_until(
        [&] {
            sim->evdi().cards(s, evdiemu::kMaxOutputs);
            return s[out1].grabs > grabs;
        },
        5s));
    // The screen holds what was painted; a cursor drawn over it is damage
    // the program grabs (it did not ask for cursor events).
    std::vector<uint32_t> screen(640 * 360);
    ASSERT_EQ(sim->evdi().read_screen(out1, screen.data(), screen.size()), 640 * 360);
    EXPECT_EQ(screen[10 * 640 + 10], 0x0000ff00u);
    EXPECT_EQ(screen[30 * 640 + 30], 0x0000ff00u);
    sim->evdi().cards(s, evdiemu::kMaxOutputs);
    grabs = s[out1].grabs;
    std::vector<uint32_t> arrow(8 * 8, 0xffffffffu);
    ASSERT_EQ(sim->evdi().cursor_set(out1, 0, 0, 8, 8, true, arrow.data()), 0);
    ASSERT_EQ(sim->evdi().cursor_move(out1, 100, 100), 0);
    EXPECT_TRUE(sim->wait_until(
        [&] {
            sim->evdi().cards(s, evdiemu::kMaxOutputs);
            return s[out1].grabs > grabs;
        },
        5s));
    EXPECT_EQ(sim->output_off(0), 0);
    EXPECT_TRUE(sim->wait_until(
        [&] { return sim->daemon_log().find("probe: dpms 3") != std::string::npos; }, 5s));
    EXPECT_EQ(sim->set_mode(1, 320, 200), 0);
    EXPECT_TRUE(sim->wait_until(
        [&] { return sim->daemon_log().find("probe: mode 320x200") != std::string::npos; }, 5s));
    EXPECT_NE(sim->identity_file().find("0000abcd:1"), std::string::npos);
    EXPECT_EQ(sim->xrefresh_runs(), 1);
    EXPECT_EQ(sim->stop(10s), 0);
    EXPECT_FALSE(sim->running());
    EXPECT_NE(sim->daemon_log().find("probe: bye"), std::string::npos);
    std::string rm = "rm -rf " + dir;
    ASSERT_EQ(std::system(rm.c_str()), 0);
}

}  // namespace
