// The CPU time a program under the harness spends on its own work: all of
// its threads, living or ended, less the threads the harness runs inside it
// (the emulated EVDI module's control socket paints the desktop there). The
// emulated module's grab copies run in the program's own threads, as the
// kernel's copy runs in the calling thread, and are counted.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string_view>

namespace torvel::sim {

// The name the emulated module gives its control socket's thread.
inline constexpr std::string_view kControlThreadName = "evdi-control";

// Nanoseconds of CPU time of process `pid` so far, less that of its threads
// named `harness_thread`; -1 when the process cannot be read.
int64_t own_cpu_ns(pid_t pid, std::string_view harness_thread = kControlThreadName);

}  // namespace torvel::sim
