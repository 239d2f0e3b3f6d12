// Identity registry: up to four device identities, each tied to a screen
// position, kept across restarts in a small text file. An entry's position
// always equals its entry number, so the entry number is the screen id.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state.h"

// The daemon's identity file: one line "%08lx:%d\n" per entry holding an id.
inline constexpr char IDENTITY_FILE[] = "/var/tmp/torvel_display.id";

// Every entry free and without an id, position = entry number.
void registry_reset();

// Loads IDENTITY_FILE into the table (identities and positions; `index` is
// not touched). A missing, unreadable or non-regular file loads nothing.
void get_previous_device_id();
// Binds a registry entry to the device in slot `index` that reported `id`,
// registering (and saving) the identity when it is new; the entry's
// position goes to *pos unless no entry could be claimed.
void set_previous_device_id(int32_t index, uint64_t id, int32_t *pos);

// The file's text, as loaded and as saved: parses `len` bytes of `text` into
// the table (as get_previous_device_id does with the file's content), and
// writes the table's text, one line per entry that holds an id, returning
// its length.
inline constexpr size_t IDENTITY_TEXT_MAX = MAX_DEVICES * 32;
void load_identity_text(const char *text, size_t len);
size_t format_identity_text(char (&out)[IDENTITY_TEXT_MAX]);

// The same two operations on another file; the daemon itself always uses
// IDENTITY_FILE, tests point these at their own directory.
void get_previous_device_id_from(const char *path);
void set_previous_device_id_at(const char *path, int32_t index, uint64_t id, int32_t *pos);

// For a device that cannot report an identity: the first free entry without
// an identity gets the slot, else the first free entry; returns its number
// (the position), or -1 when none is free. The file is not touched.
int32_t claim_free_entry(int32_t slot);

// A new 32-bit identity from the system's random source: never 0xFFFFFFFF
// and never one that a registry entry holds.
uint64_t draw_new_device_id();
// The same, drawing from `source` until a value qualifies.
uint64_t draw_new_device_id(uint32_t (*source)());

// First entry whose `index` is `slot`, or -1.
int32_t entry_of_slot(int32_t slot);
// Slot named by the first entry whose `position` is `screen_id`, or -1.
int32_t slot_of_screen(int32_t screen_id);
