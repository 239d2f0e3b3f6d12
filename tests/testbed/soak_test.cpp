// The soak's plans and the parts of its judgement that need no run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim.h"
#include "soak_judge.h"
#include "soak_plan.h"

namespace {

namespace soak = torvel::soak;
namespace tb = torvel::testbed;

// Every plan is valid input for torvel-sim, and a seed always gives the same
// one.
TEST(SoakPlan, SeedsGiveTheSameValidRuns) {
    int ends = 0, runs_to_sigint = 0;
    for (uint64_t seed = 1; seed <= 300; ++seed) {
        const soak::Plan plan = soak::make_plan(seed);
        EXPECT_EQ(soak::script_text(soak::make_plan(seed)), soak::script_text(plan)) << seed;
        std::vector<torvel::sim::ScriptEvent> events;
        std::string error;
        ASSERT_TRUE(torvel::sim::parse_script(soak::script_text(plan), &events, &error))
            << seed << ": " << error << "\n"
            << soak::script_text(plan);
        std::vector<std::string> options = soak::sim_options(plan, "/tmp/soak");
        options.insert(options.begin(), "torvel-sim");
        options.insert(options.end(), {"--", "daemon"});
        std::vector<const char *> argv;
        for (const std::string &o : options) argv.push_back(o.c_str());
        torvel::sim::Options parsed;
        ASSERT_TRUE(
            torvel::sim::parse_args(static_cast<int>(argv.size()), argv.data(), &parsed, &error))
            << seed << ": " << error;
        EXPECT_EQ(parsed.devices.size(), plan.devices.size());
        EXPECT_GE(plan.devices.size(), 1u);
        EXPECT_LE(plan.devices.size(), 4u);
        for (const auto &e : events) EXPECT_LE(e.at, plan.seconds) << seed;
        if (plan.end != soak::End::kSigint) {
            EXPECT_GT(plan.seconds, plan.end_by) << seed;
        }
        ends += plan.end == soak::End::kMust;
        runs_to_sigint += plan.end == soak::End::kSigint;
    }
    // Both kinds of run occur.
    EXPECT_GT(ends, 10);
    EXPECT_GT(runs_to_sigint, 100);
}

// The EVDI episodes each come up, and every one that leaves a device
// judged at the end is over by then: no framebuffer larger than the mode
// and no output left off.
TEST(SoakPlan, PanningAndOutputOffEndBeforeTheTail) {
    std::set<std::string> seen;
    int kept_off = 0;
    for (uint64_t seed = 1; seed <= 300; ++seed) {
        const soak::Plan plan = soak::make_plan(seed);
        std::vector<torvel::sim::ScriptEvent> events;
        std::string error;
        ASSERT_TRUE(torvel::sim::parse_script(soak::script_text(plan), &events, &error));
        const size_t n = plan.shows_screen.size();
        std::vector<std::string> mode(
            n, std::to_string(plan.width) + "x" + std::to_string(plan.height));
        std::vector<bool> panning(n), off(n);
        for (const auto &e : events) {
            const auto &w = e.words;
            seen.insert(w[0] == "output" ? "output " + w[1] : w[0]);
            const bool all = (w[0] == "mode" || w[0] == "pan") ? w.size() == 2
                                                               : w.size() == 2 && w[0] == "output";
            for (size_t d = 0; d < n; ++d) {
                if (!all && w.back() != std::to_string(d)) continue;
                if (w[0] == "mode") mode[d] = w[1], panning[d] = false, off[d] = false;
                if (w[0] == "pan") panning[d] = w[1] != mode[d], off[d] = false;
                if (w[0] == "output") off[d] = w[1] == "off";
            }
        }
        for (const std::string &o : plan.switches) seen.insert(o);
        for (size_t d = 0; d < n; ++d) {
            if (!plan.shows_screen[d]) continue;
            EXPECT_FALSE(panning[d]) << seed << " device " << d << "\n" << soak::script_text(plan);
            EXPECT_FALSE(off[d]) << seed << " device " << d << "\n" << soak::script_text(plan);
        }
        for (size_t d = 0; d < n; ++d) {
            EXPECT_FALSE(plan.shows_screen[d] && plan.display_off_at_end[d]);
            kept_off += plan.display_off_at_end[d];
        }
    }
    for (const char *kind :
         {"format", "pan", "cursor", "output off", "output on", "--holder-delay"})
        EXPECT_TRUE(seen.count(kind)) << kind;
    EXPECT_GT(kept_off, 10) << kept_off;
}

const std::string kLog =
    ">>> index: 0, position: 1, devID: 0x0000a11a\n"
    ">>> index: 1, position: 0, devID: 0xffffffff\n"
    ">>> index: 2, position: 2, devID: 0x0000b22b\n";

TEST(SoakJudge, IdentitiesAgreeWithThePositionsPrinted) {
    EXPECT_TRUE(soak::judge_identities("0000a11a:1\n0000b22b:2\n", std::nullopt, kLog).empty());
    // A new identity over the entry of a device without one: two devices at
    // one position.
    const std::string shared =
        ">>> index: 0, position: 0, devID: 0xffffffff\n"
        ">>> index: 1, position: 0, devID: 0x0000b22b\n";
    EXPECT_EQ(soak::judge_identities("0000b22b:0\n", std::nullopt, shared).size(), 1u);
    EXPECT_EQ(soak::judge_identities("0000a11a:2\n0000b22b:1\n", std::nullopt, kLog).size(), 2u);
    EXPECT_EQ(soak::judge_identities("0000b22b:2\n", std::nullopt, kLog).size(), 1u);
    for (const char *bad : {"0000a11a:1\n0000b22b:2", "0000A11A:1\n0000b22b:2\n",
                            "0000a11a:1\n0000b22b:2\n00000001:2\n", "a11a:1\n0000b22b:2\n"})
        EXPECT_FALSE(soak::judge_identities(bad, std::nullopt, kLog).empty()) << bad;
    // An odd file the daemon was given and left alone is no failure.
    const std::string odd = "0000A11A\ngarbage\n";
    EXPECT_TRUE(soak::judge_identities(odd, odd, "").empty());
    EXPECT_FALSE(soak::judge_identities(odd, std::string("0000a11a:0\n"), "").empty());
    // Two devices with one identity: the second takes another entry.
    const std::string twice =
        ">>> index: 0, position: 0, devID: 0x00000201\n"
        ">>> index: 1, position: 1, devID: 0x00000201\n";
    EXPECT_TRUE(soak::judge_identities("00000201:0\n", std::nullopt, twice).empty());
}

tb::FrameBuffer desktop(int w, int h, bool noise) {
    tb::FrameBuffer f(w, h);
    std::mt19937 rng(3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = f.pixel(x, y);
            p[0] = static_cast<uint8_t>(noise ? rng() : 40 + 150 * y / h);
            p[1] = static_cast<uint8_t>(noise ? rng() : 60 + 120 * x / w);
            p[2] = static_cast<uint8_t>((x / 40 + y / 30) % 2 ? 230 : 30);
        }
    return f;
}

TEST(SoakJudge, PicturesPassWhenCodedAndFailWithAStaleBlock) {
    const tb::FrameBuffer screen = desktop(200, 60, false);
    EXPECT_TRUE(soak::judge_picture(0, screen, screen).empty());
    tb::FrameBuffer stale = screen;
    for (int y = 16; y < 24; ++y)
        for (int x = 64; x < 96; ++x)
            stale.pixel(x, y)[0] = static_cast<uint8_t>(255 - stale.pixel(x, y)[0]);
    EXPECT_FALSE(soak::judge_picture(0, screen, stale).empty());
    EXPECT_FALSE(soak::judge_picture(0, screen, tb::FrameBuffer(100, 60)).empty());
    // Noise codes far below 35 dB at quality 90: the floor follows it down.
    const tb::FrameBuffer noise = desktop(64, 16, true);
    const tb::FrameBuffer coded = soak::own_coding(noise);
    EXPECT_LT(tb::psnr(noise, coded), 34.0);
    EXPECT_TRUE(soak::judge_picture(0, noise, coded).empty());
    EXPECT_FALSE(soak::judge_picture(0, noise, soak::own_coding(desktop(64, 16, false))).empty());
}

// Whether a device's display is on is judged apart from its picture (which
// survives a display-off).
TEST(SoakJudge, TheDisplayIsOffExactlyWhenItsOutputIsOff) {
    char dir_template[] = "/tmp/soak-judge-test-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const tb::FrameBuffer screen = desktop(64, 16, false);
    std::string error;
    ASSERT_TRUE(tb::write_png(screen, dir + "/screen-0.png", &error)) << error;
    ASSERT_TRUE(tb::write_png(screen, dir + "/device-0.png", &error)) << error;
    std::ofstream(dir + "/daemon.log") << "Hello\nQuenfa...\n";
    std::string summary;
    auto failures = [&](bool shows, bool must_be_off, bool off, double late = 0.2, int unrun = 0) {
        soak::Plan plan;
        plan.shows_screen = {shows};
        plan.display_off_at_end = {must_be_off};
        std::ofstream(dir + "/report.json")
            << "{\"exited\": true, \"exit_status\": 0, \"signal\": 0, \"ended_early\": false,"
               " \"script_late_s\": "
            << late << ", \"script_lines_unrun\": " << unrun
            << ", \"devices\": [{\"index\": 0, \"output\": 0, \"psnr_transform\": \"none\","
               " \"display_off\": "
            << (off ? "true" : "false") << "}], \"identity_file\": \"\"}";
        return soak::judge(plan, dir, &summary).size();
    };
    EXPECT_EQ(failures(true, false, false), 0u);
    EXPECT_EQ(failures(true, false, true), 1u);
    EXPECT_EQ(failures(false, true, true), 0u);
    EXPECT_EQ(failures(false, true, false), 1u);
    EXPECT_EQ(failures(false, false, false), 0u);
    // A script that ran late or not to its end (torvel-sim slowed down)
    // leaves the displays' state unsure; the summary says it was not judged.
    EXPECT_EQ(failures(false, true, false, 4.5), 0u);
    EXPECT_NE(summary.find("script late by 4.5 s"), std::string::npos) << summary;
    EXPECT_EQ(failures(true, false, true, 0.1, 2), 0u);
    EXPECT_NE(summary.find("not judged"), std::string::npos) << summary;
    EXPECT_EQ(failures(true, false, true, 0.9), 1u);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
