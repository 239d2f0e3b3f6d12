// --content xvfb: a real X server with the harness's X client, captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "xvfb.h"

namespace {

TEST(SimXvfb, CapturesTheMovingDesktopAndReportsWhatChanged) {
    std::string err;
    auto x = torvel::sim::XvfbSource::start(320, 200, TORVEL_SIM_XCLIENT_PATH, &err);
    ASSERT_TRUE(x) << err;
    EXPECT_EQ(x->display().substr(0, 1), ":");
    evdiemu::Rect r[32];
    // The first capture reports everything it saw.
    int n = x->capture(r, 32);
    ASSERT_GE(n, 1);
    EXPECT_EQ(r[0].y1, 0);
    // Wait for the client's windows and for them to move.
    std::vector<uint32_t> before;
    bool moved = false;
    int distinct = 0;
    for (int i = 0; i < 100 && !(moved && distinct > 3); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        before.assign(x->pixels(), x->pixels() + 320 * 200);
        n = x->capture(r, 32);
        for (int k = 0; k < n; ++k) {
            EXPECT_LT(r[k].x1, r[k].x2);
            EXPECT_LE(r[k].x2, 320);
            EXPECT_LE(r[k].y2, 200);
        }
        // Every changed pixel lies in a reported rectangle.
        for (int y = 0; y < 200; ++y)
            for (int xx = 0; xx < 320; ++xx) {
                if (x->pixels()[y * 320 + xx] == before[y * 320 + xx]) continue;
                moved = true;
                bool inside = false;
                for (int k = 0; k < n; ++k)
                    inside |= xx >= r[k].x1 && xx < r[k].x2 && y >= r[k].y1 && y < r[k].y2;
                ASSERT_TRUE(inside) << xx << "," << y;
            }
        std::vector<uint32_t> sorted(x->pixels(), x->pixels() + 320 * 200);
        std::sort(sorted.begin(), sorted.end());
        distinct = static_cast<int>(std::unique(sorted.begin(), sorted.end()) - sorted.begin());
    }
    EXPECT_TRUE(moved);
    EXPECT_GT(distinct, 3);
}

}  // namespace
