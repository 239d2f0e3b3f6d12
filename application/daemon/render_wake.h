// What wakes a device's render loop. The loop ticks once a frame period
// while a tick has work (an update request to make again, a frame to send
// again, owed blocks, a halt to clear, the display-off countdown); with
// nothing pending it sleeps until one of the threads that give it work says
// so, instead of waking 60 times a second to find nothing to do.
//
// Two kinds of news: a frame (a grab handed over by the event thread, the
// buffers of a new mode) is seen to at once, also in the middle of a frame
// period; anything else a tick handles only ends the idle sleep, so news
// that comes many times a frame (cursor moves) costs one tick a period.
//
// Exclusion: one mutex and one condition variable, the simplest for a sleep
// that other threads cut short; the flags live under the mutex, so news
// given between the loop's look at its work and its sleep is never lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class render_wake_t {
  public:
    using time_point = std::chrono::steady_clock::time_point;

    // A frame waits or new buffers came: the loop's next wait returns at once.
    void frame();
    // News for the next tick (set its cause first): ends the idle sleep.
    void tick();
    // The frame period's wait, until `until`: true (early, once per frame())
    // when a frame waits.
    bool wait_frame(time_point until);
    // A tick starts: the news given before now is what it sees to.
    void begin_tick();
    // The sleep with nothing pending, until news. True when the news is for
    // a tick (tick now); false when a frame waits (the next wait_frame
    // returns at once for it).
    bool sleep();

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool frame_ = false;
    bool tick_ = false;
    bool sleeping_ = false;  // a tick's news needs a notify only then
};
