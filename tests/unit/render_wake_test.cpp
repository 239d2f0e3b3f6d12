// The render loop's waits: frames are seen to at once, but never as a second
// frame within one frame period.
#include "render_wake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(RenderWake, AFrameIsSeenToAtOnceOnlyAPeriodAfterTheLastOneSent) {
    render_wake_t wake;
    const auto long_ago = Clock::now() - 1h;
    // A frame waiting, the last one sent long ago: at once, and once.
    wake.frame();
    const auto t0 = Clock::now();
    EXPECT_TRUE(wake.wait_frame(t0 + 1h, long_ago));
    EXPECT_FALSE(wake.wait_frame(Clock::now() + 20ms, long_ago));  // the tick's turn

    // A frame given just after one was sent waits for the tick, and is still
    // there for the wait after it.
    wake.frame();
    EXPECT_FALSE(wake.wait_frame(Clock::now() + 20ms, Clock::now() + 1h));
    EXPECT_TRUE(wake.wait_frame(Clock::now() + 1h, long_ago));

    // Given during the wait, before the period is over: seen to once it is.
    const auto sent = Clock::now();
    std::thread giver([&] { wake.frame(); });
    EXPECT_TRUE(wake.wait_frame(sent + 1h, sent + 30ms));
    EXPECT_GE(Clock::now() - sent, 30ms);
    giver.join();
}

TEST(RenderWake, NewsForATickEndsTheIdleSleepAndAFrameSaysSo) {
    render_wake_t wake;
    std::thread news([&] {
        std::this_thread::sleep_for(10ms);
        wake.tick();
    });
    EXPECT_TRUE(wake.sleep());  // news for a tick
    news.join();
    wake.frame();
    EXPECT_FALSE(wake.sleep());  // a frame waits: the next frame wait takes it
    EXPECT_TRUE(wake.wait_frame(Clock::now() + 1h, Clock::now() - 1h));
}

}  // namespace
