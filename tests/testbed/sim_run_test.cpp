// torvel-sim running a small program with two emulated devices.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
    EXPECT_NE(report.find("probe-id"), std::string::npos);  // the private identity file
    EXPECT_TRUE(exists(out + "/screen-0.png"));
    EXPECT_TRUE(exists(out + "/screen-1.png"));
    // The machine's own identity file was not touched.
    EXPECT_EQ(slurp("/var/tmp/torvel_display.id"), before);
    std::string rm = "rm -rf " + out;
    ASSERT_EQ(std::system(rm.c_str()), 0);
}

TEST(SimRun, DrivesTheOutputsFromATest) {
    std::string err;
    auto o = probe_options("");
    o.id_file = std::string();  // replaced below
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
    EXPECT_EQ(sim->output_off(0), 0);
    EXPECT_TRUE(sim->wait_until(
        [&] { return sim->daemon_log().find("probe: dpms 3") != std::string::npos; }, 5s));
    EXPECT_EQ(sim->set_mode(1, 320, 200), 0);
    EXPECT_TRUE(sim->wait_until(
        [&] { return sim->daemon_log().find("probe: mode 320x200") != std::string::npos; }, 5s));
    EXPECT_NE(sim->identity_file().find("0000abcd:1"), std::string::npos);
    EXPECT_EQ(sim->stop(10s), 0);
    EXPECT_FALSE(sim->running());
    EXPECT_NE(sim->daemon_log().find("probe: bye"), std::string::npos);
    std::string rm = "rm -rf " + dir;
    ASSERT_EQ(std::system(rm.c_str()), 0);
}

}  // namespace
