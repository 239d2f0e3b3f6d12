// Build identification of the daemon, fixed when it is built.
#pragma once

extern const char *const TORVEL_BUILD_TAG;     // git describe --tags --always
extern const char *const TORVEL_BUILD_COMMIT;  // six-character commit hash
extern const char *const TORVEL_BUILD_TIME;    // YYYY-MM-DD HH:MM
