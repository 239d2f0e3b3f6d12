#include "daemon_cpu.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace torvel::sim {

namespace {

// The first line of a /proc file, without its newline; empty on failure.
std::string first_line(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "re");
    if (!f) return {};
    char buf[256];
    std::string line = std::fgets(buf, sizeof(buf), f) ? buf : "";
    std::fclose(f);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

}  // namespace

int64_t own_cpu_ns(pid_t pid, std::string_view harness_thread) {
    // The process clock holds the time of ended threads too, to the
    // nanosecond (the tick counts of /proc/PID/stat are 10 ms coarse).
    clockid_t clock;
    timespec ts{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return -1;
    int64_t ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (!dir) return ns;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + e->d_name;
        if (first_line(task + "/comm") != harness_thread) continue;
        // schedstat's first field: nanoseconds run.
        long long run = 0;
        if (std::sscanf(first_line(task + "/schedstat").c_str(), "%lld", &run) == 1) ns -= run;
    }
    closedir(dir);
    return ns;
}

}  // namespace torvel::sim
