// libevdi name mapping. libevdi 1.12 (Debian 12) lacks evdi_connect2 (added
// in 1.14.0) and evdi_open_attached_to_fixed (added in 1.14.4); their older
// forms have exactly the same meaning for the daemon's calls.
#pragma once

#include <stddef.h>
#include <stdint.h>  // evdi_lib.h 1.12 uses uint32_t without including it

extern "C" {
#include <evdi_lib.h>
}

#define TORVEL_EVDI_AT_LEAST(major, minor, patch) \
    (LIBEVDI_VERSION_MAJOR > (major) ||           \
     (LIBEVDI_VERSION_MAJOR == (major) &&         \
      (LIBEVDI_VERSION_MINOR > (minor) ||         \
       (LIBEVDI_VERSION_MINOR == (minor) && LIBEVDI_VERSION_PATCH >= (patch)))))

#if !TORVEL_EVDI_AT_LEAST(1, 14, 0)
inline void evdi_connect2(evdi_handle handle, const unsigned char *edid, unsigned edid_length,
                          uint32_t pixel_area_limit, uint32_t pixel_per_second_limit) {
    evdi_connect(handle, edid, edid_length, pixel_area_limit, pixel_per_second_limit);
}
#endif

#if !TORVEL_EVDI_AT_LEAST(1, 14, 4)
inline evdi_handle evdi_open_attached_to_fixed(const char *sysfs_parent_device, size_t /*length*/) {
    return evdi_open_attached_to(sysfs_parent_device);
}
#endif
