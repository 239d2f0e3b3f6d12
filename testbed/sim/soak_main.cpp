// torvel-soak: the plan and the judgement of one randomized soak run (the
// runs themselves are torvel-sim's; scripts/soak.sh drives all three).
//
//   torvel-soak plan SEED DIR    writes DIR/script.txt (and DIR/ids.txt),
//                                prints torvel-sim's options, one a line
//   torvel-soak judge SEED DIR   judges torvel-sim's output in DIR; prints
//                                one line per broken invariant (status 1),
//                                or one line on how the clean run went
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "soak_judge.h"
#include "soak_plan.h"

namespace {

int usage() {
    std::fputs("usage: torvel-soak plan|judge SEED DIR\n", stderr);
    return 2;
}

bool write(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) return usage();
    const std::string command = argv[1], dir = argv[3];
    char *end = nullptr;
    const unsigned long long seed = std::strtoull(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0') return usage();
    const torvel::soak::Plan plan = torvel::soak::make_plan(seed);
    if (command == "plan") {
        if (!write(dir + "/script.txt", torvel::soak::script_text(plan)) ||
            (plan.id_file && !write(dir + "/ids.txt", *plan.id_file))) {
            std::fprintf(stderr, "torvel-soak: cannot write into %s\n", dir.c_str());
            return 1;
        }
        for (const std::string &o : torvel::soak::sim_options(plan, dir))
            std::printf("%s\n", o.c_str());
        return 0;
    }
    if (command == "judge") {
        std::string summary;
        const auto failures = torvel::soak::judge(plan, dir, &summary);
        for (const std::string &f : failures) std::printf("%s\n", f.c_str());
        if (failures.empty()) std::printf("%s\n", summary.c_str());
        return failures.empty() ? 0 : 1;
    }
    return usage();
}
