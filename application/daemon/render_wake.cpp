#include "render_wake.h"

void render_wake_t::frame() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        frame_ = true;
    }
    wake_.notify_one();
}

void render_wake_t::tick() {
    bool sleeping;
    {
        std::lock_guard<std::mutex> hold(lock_);
        tick_ = true;
        sleeping = sleeping_;
    }
    // Within a frame period the news waits for the period's tick: a notify
    // would only cut the frame wait short for nothing.
    if (sleeping) wake_.notify_one();
}

bool render_wake_t::wait_frame(time_point until) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!wake_.wait_until(hold, until, [this] { return frame_; })) return false;
    frame_ = false;
    return true;
}

void render_wake_t::begin_tick() {
    std::lock_guard<std::mutex> hold(lock_);
    tick_ = false;
}

bool render_wake_t::sleep() {
    std::unique_lock<std::mutex> hold(lock_);
    sleeping_ = true;
    wake_.wait(hold, [this] { return frame_ || tick_; });
    sleeping_ = false;
    return !frame_;
}
