// Randomized soak runs of a daemon under torvel-sim: the plan of one run,
// drawn from a seed. A plan is a torvel-sim command line (devices, mode,
// identity file, length) and script, plus what the daemon's rules then
// expect: whether and when it ends by itself, and which devices must show
// their screen at the end. The same seed always gives the same plan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim.h"

namespace torvel::soak {

// How the daemon ends.
enum class End {
    kSigint,  // it runs until torvel-sim interrupts it at the end
    kMust,    // it ends by itself within [end_after, end_by]
    kMay,     // it may end by itself (the script makes the reason uncertain)
};

struct Plan {
    uint64_t seed = 0;
    std::vector<sim::DeviceSpec> devices;  // --device, in order
    int width = 640, height = 360;         // --mode
    double seconds = 20;                   // --seconds
    std::optional<std::string> id_file;    // content of --id-file
    std::vector<std::string> script;       // "T ACTION ..." lines, in time order
    std::vector<std::string> switches;     // further torvel-sim switches, as given

    End end = End::kSigint;
    double end_after = 0, end_by = 0;
    std::string end_reason;  // for messages
    // By device index (devices added by the script included): the device is
    // present and on at the end with a supported mode, so it must show its
    // screen.
    std::vector<bool> shows_screen;
    // By device index: the device's output went off (DPMS or the output
    // itself) long enough before the end for the daemon to have switched
    // the device's display off, and nothing brought it back.
    std::vector<bool> display_off_at_end;
    // A fault of the EVDI layer may have kept a screen from being created:
    // a device without an output is then no failure.
    bool screen_may_be_missing = false;
};

Plan make_plan(uint64_t seed);

// The script as torvel-sim reads it, headed by comments naming the seed.
std::string script_text(const Plan &plan);
// torvel-sim's options for the plan (everything before "--"), with the
// script, identity file and output directory under `dir`.
std::vector<std::string> sim_options(const Plan &plan, const std::string &dir);

// A mode capture refuses (more blocks than a frame can number).
bool mode_supported(int width, int height);

}  // namespace torvel::soak
