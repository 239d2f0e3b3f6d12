// X output naming and the rotation follower of the rotating model. Both reach
// the X server only through shell commands (xrandr).
#pragma once

#include <cstddef>

#include "state.h"

// Names device slots after the connected "DVI-I-" outputs that
// `xrandr -q | grep " connected "` lists: the n-th such output names
// slots[n] (at most `count`, at most four). The outputs appear in the order
// their screens were created, which is the order set-up started the
// devices, not necessarily slot order.
void find_monitor_name(const int *slots, int count);
// The same with slots 0..3 in order.
void find_monitor_name();

// A screen set-up started: its device slot and screen id.
struct started_screen_t {
    int slot;
    int screen_id;
};
// End of set-up: names the slots of the screens started, given in start
// order. The listing is taken before looking at which of them still exist
// (a screen gone since set-up started it has no output to name).
void name_started_outputs(const started_screen_t *started, int count);

// Thread entry; param is the slot's thread_context_t. Polls the device's
// orientation once a second and rotates the slot's X output to match.
void *rotate_thread(void *param);

// True when `name` may be handed to the shell: letters, digits, '-' and '_'
// only, and not empty.
bool safe_output_name(const char *name);

// The xrandr command for `orientation` (MONITOR_ROTATE_*) on output `name`,
// into out (80 bytes). False, and nothing to run, for other orientations, for
// names not starting "DVI-I-" (not named yet) and for unsafe names.
bool rotation_command(unsigned orientation, const char *name, char *out, size_t out_size);

// On a Wayland desktop xrandr reaches only Xwayland's outputs: the session
// helper (torvel-xsession, first in the service's PATH) prints one line
// saying whether outputs are named and rotated there at all. Nothing happens
// where the helper is not installed.
void note_wayland_session();

// Runs `command` with /bin/sh and waits for it. Unlike system() it leaves
// the signal dispositions alone: system() ignores SIGINT process-wide while
// the command runs, so an interrupt arriving then would be lost.
void run_shell(const char *command);

// The slot's output name (copied under the lock that output naming takes).
void get_monitor_name(const thread_context_t &cxt, char (&out)[32]);
