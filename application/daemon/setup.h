// Bringing the devices present at start-up into service, and tearing one
// down when it leaves.
//
// The start-up timer fires three seconds after create_thread armed it. Its
// signal handler only posts a semaphore; a waiting thread then does the
// timer's work (slot preparation, start of the set-up thread), which is not
// async-signal-safe.
#pragma once

#include "state.h"

// Arms the one-shot start-up timer (main thread, once).
void create_thread();

// Set-up thread: opens and identifies each device, binds it to a registry
// entry, sends its quantisation table and starts the render threads in
// position order, one second apart; names the X outputs at the end.
void *create_render_thread(void *param);

// Stops one device's threads (render thread, rotation follower, EVDI event
// thread) and, with close_device, closes its handle. Main thread only.
void destroy_thread(int index, int screen_id, bool close_device);

// Sends the slot's quantisation table (138 bytes, index 1), up to
// QUANT_TABLE_TRIES times; false when the device never took it.
bool send_quant_table(thread_context_t &cxt);
inline constexpr int QUANT_TABLE_TRIES = 3;

// Shutdown: stops and joins every render thread, then cancels and joins
// every EVDI event thread, then joins the rotation followers.
void stop_device_threads();

// Before shutdown: deletes a timer that has not fired yet and waits for the
// timer work and a running set-up thread to finish (the set-up thread stops
// starting devices once quenfa is set).
void finish_startup();
