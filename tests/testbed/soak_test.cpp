// The soak's plans and the parts of its judgement that need no run.
#include <gtest/gtest.h>

#include <random>
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
        ends += plan.end == soak::End::kMust;
        runs_to_sigint += plan.end == soak::End::kSigint;
    }
    // Both kinds of run occur.
    EXPECT_GT(ends, 10);
    EXPECT_GT(runs_to_sigint, 100);
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

}  // namespace
