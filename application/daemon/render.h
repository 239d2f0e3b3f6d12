// The per-device render loop.
#pragma once

#include <atomic>
#include <cstdint>

#include "state.h"

// Thread entry; param is the slot's thread_context_t. Probes the device,
// creates its virtual screen and runs the frame clock until stopped, then
// destroys the screen and switches the device's display off.
void *render_thread(void *param);

// One step of the display-off countdown: advances a running count by one
// unless the DPMS handler stored a new value meanwhile. Returns true when the
// count reached DISPLAY_OFF_COUNT, which leaves it idle (-1): the caller
// then switches the display off.
bool display_off_tick(std::atomic<int32_t> &display_off);
inline constexpr int32_t DISPLAY_OFF_COUNT = 60;

// The render loop's countdown step for the screen of `cxt`: one tick and,
// when it reaches the end, the 0 x 0 request that switches the display off,
// both atomic with respect to the screen's DPMS handler.
void display_off_step(int screen_id, thread_context_t &cxt);
