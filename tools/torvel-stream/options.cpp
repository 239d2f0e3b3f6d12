// The subcommands' command lines: getopt_long options and whole numbers.
#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"

namespace torvel_stream {
namespace {

bool parse_long(const std::string &text, long &out) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

}  // namespace

bool parse_options(int argc, char **argv, std::initializer_list<const char *> valued,
                   std::initializer_list<const char *> flags, Options &out, std::string &error,
                   bool positional_allowed) {
    std::vector<option> table;
    for (const char *v : valued) table.push_back({v, required_argument, nullptr, 0});
    for (const char *f : flags) table.push_back({f, no_argument, nullptr, 0});
    table.push_back({nullptr, 0, nullptr, 0});
    // "-": positional arguments come back in order as code 1; ":": a missing
    // value is told apart from an unknown option. No message of getopt's own.
    optind = 0;
    opterr = 0;
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, "-:", table.data(), &index);
        if (c == -1) break;
        const std::string arg = argv[optind - 1];
        if (c == 1) {
            if (!positional_allowed) {
                error = "unexpected argument '" + std::string(optarg) + "'";
                return false;
            }
            out.positional.emplace_back(optarg);
        } else if (c == ':') {
            error = "option '" + arg + "' needs a value";
            return false;
        } else if (c == '?' || index < 0) {
            // No short option exists. getopt leaves optind on an argument
            // until its last letter is read, so for "-xy" argv[optind - 1]
            // is the argument before it; optopt is the letter at fault.
            error = "unknown option '" +
                    (c == '?' && optopt != 0 ? std::string{'-', static_cast<char>(optopt)} : arg) +
                    "'";
            return false;
        } else {
            out.values[table[static_cast<size_t>(index)].name] = optarg ? optarg : "";
        }
    }
    // Everything after "--" is positional.
    for (int i = optind; i < argc; ++i) {
        if (!positional_allowed) {
            error = "unexpected argument '" + std::string(argv[i]) + "'";
            return false;
        }
        out.positional.emplace_back(argv[i]);
    }
    return true;
}

bool get_int(const Options &options, std::string_view name, long fallback, long lo, long hi,
             long &out, std::string &error) {
    auto it = options.values.find(name);
    if (it == options.values.end()) {
        out = fallback;
        return true;
    }
    long v = 0;
    if (!parse_long(it->second, v) || v < lo || v > hi) {
        error = "--" + std::string(name) + " must be a whole number from " + std::to_string(lo) +
                " to " + std::to_string(hi) + ", not '" + it->second + "'";
        return false;
    }
    out = v;
    return true;
}

}  // namespace torvel_stream
