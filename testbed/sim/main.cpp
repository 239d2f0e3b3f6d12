// torvel-sim: runs a display daemon between the emulated USB display devices
// and the emulated EVDI module, and reports what the devices showed.
#include <cstdio>
#include <string>

#include "sim.h"

int main(int argc, char **argv) {
    torvel::sim::Options options;
    std::string error;
    bool help = false;
    if (!torvel::sim::parse_args(argc, argv, &options, &error, &help)) {
        if (help) {
            std::fputs(torvel::sim::usage(), stdout);
            return 0;
        }
        std::fprintf(stderr, "torvel-sim: %s\n%s", error.c_str(), torvel::sim::usage());
        return 2;
    }
    auto sim = torvel::sim::Sim::create(options, &error);
    if (!sim) {
        std::fprintf(stderr, "torvel-sim: %s\n", error.c_str());
        return 1;
    }
    if (sim->run(&error) != 0) {
        std::fprintf(stderr, "torvel-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
