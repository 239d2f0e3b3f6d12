// Judges one soak run by what torvel-sim left in its output directory
// (report.json, daemon.log, screen-N.png and device-N.png) against the
// invariants the plan's daemon rules give: no death by a signal and no hang
// after SIGINT, an end by itself exactly when expected, "Quenfa..." last, no
// format or decode error at any device, every device that is present and on
// showing its screen, and an identity file that is well-formed and agrees
// with the positions printed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "soak_plan.h"
#include "stream_decoder.h"

namespace torvel::soak {

// One line per broken invariant; empty when the run is clean. `summary`
// (if given) says how the run ended and how many screens were compared.
std::vector<std::string> judge(const Plan &plan, const std::string &dir,
                               std::string *summary = nullptr);

// The parts of the judgement that need no files, for tests.
//
// The identity file `file` as the daemon leaves it, the initial one and the
// daemon's output: well-formed (when the daemon wrote it) and agreeing with
// the ">>> index: ..., position: ..., devID: ..." lines.
std::vector<std::string> judge_identities(const std::string &file,
                                          const std::optional<std::string> &initial,
                                          const std::string &log);
// What device `index` shows against its screen (already turned or mirrored
// as the device asks): PSNR at least 35 dB, or the screen's own JPEG quality
// less 1.5 dB where that is lower, and no block far off.
std::vector<std::string> judge_picture(int index, const testbed::FrameBuffer &screen,
                                       const testbed::FrameBuffer &shown);
// The screen coded at the daemon's quality (90) and decoded again: what a
// device that got every block shows at best.
testbed::FrameBuffer own_coding(const testbed::FrameBuffer &screen);

}  // namespace torvel::soak
