// Shared between the libc overrides (interpose.cpp), the emulated module
// (module.h) and the control thread (control_server.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "evdi_emu.h"

namespace evdiemu::internal {

// Direct access to the next definitions of the overridden calls, so that the
// emulator's own file work neither recurses nor reaches the emulation again.
int real_open(const char *path, int flags, mode_t mode);
int real_close(int fd);
int real_stat(const char *path, struct stat *st);

// The private tree standing in for /sys and /dev; created on first use.
// Returns its root ("" when it cannot be created).
const char *tree_root();
int card_base();
// Card base and holder delay from the environment (at load), and the
// removal of the tree by the process that made it (at exit).
void init_cards_from_environment();
void remove_tree_at_exit();

// Emulated module entry points.
int emu_add_cards(const char *text, size_t length);  // the "add" attribute was written
int emu_open(int card_number, int flags);            // open() of /dev/dri/cardN
bool emu_owns_fd(int fd);
int emu_ioctl(int fd, unsigned long request, void *arg);  // -1 with errno set
void emu_release(int fd);                                 // before the real close
void *emu_mmap(int fd, size_t len, int prot, int flags, off_t offset);

// A usbfs ioctl passed on to `next` (umockdev's), its thread CPU time added
// to the usbfs clock.
using ioctl_fn = int (*)(int, unsigned long, ...);
int timed_usbfs_ioctl(ioctl_fn next, int fd, unsigned long request, void *arg);
UsbfsClock usbfs_clock();

void start_control_thread(const char *socket_path);

}  // namespace evdiemu::internal
