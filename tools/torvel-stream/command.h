// torvel-stream: the firmware developer's encoder/decoder tool.
// Each subcommand lives in its own file and registers itself with
// TORVEL_STREAM_COMMAND; main.cpp only dispatches.
//
// Exit statuses: 0 success, 1 the work failed (unreadable or malformed input,
// a stream with violations, output that cannot be written), 2 the command
// line is wrong. Messages go to standard error as one line each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "stream_input.h"

namespace torvel_stream {

inline constexpr int EXIT_WORK_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// argv[0] is the subcommand's name; the result is the process exit status.
using CommandFn = int (*)(int argc, char **argv);

struct Command {
    const char *name;
    const char *usage;  // one line: "encode-block [--quality Q] ..."
    const char *help;   // what it does and its options, for COMMAND --help
    CommandFn run;
};

bool register_command(const Command &command);

// Options of one subcommand: "--name value", "--name=value" and bare flags,
// in any order, and positional arguments in their order.
struct Options {
    std::map<std::string, std::string, std::less<>> values;
    std::vector<std::string> positional;
    bool has(std::string_view name) const { return values.find(name) != values.end(); }
    const std::string &value(std::string_view name) const { return values.find(name)->second; }
};

// Parses argv[1..] with getopt_long: options named in `valued` take a value,
// those in `flags` none; positional arguments are kept only when
// `positional_allowed`. Anything else is an error, described in `error`.
// Callable any number of times in one process (it resets getopt's state).
bool parse_options(int argc, char **argv, std::initializer_list<const char *> valued,
                   std::initializer_list<const char *> flags, Options &out, std::string &error,
                   bool positional_allowed = false);

// Reads option `name` as a decimal integer in [lo, hi]; `fallback` when absent.
bool get_int(const Options &options, std::string_view name, long fallback, long lo, long hi,
             long &out, std::string &error);

// Print "torvel-stream: <message>" as one line on standard error and return
// the exit status: usage_error for a wrong command line, failure for work
// that could not be done.
int usage_error(const std::string &message);
int failure(const std::string &message);

bool read_all(int fd, std::vector<uint8_t> &out);
// Standard input as one transfer, or with `framed` as encode-frames' output
// split into its frames (which point into `input`). Returns 0, or the exit
// status of the failure (already reported).
int read_transfers(bool framed, std::vector<uint8_t> &input, std::vector<FrameSlice> &frames);
// Reads exactly `n` bytes; false at end of input before that.
bool read_exact(int fd, void *buffer, size_t n);
bool write_all(int fd, const void *data, size_t n);

}  // namespace torvel_stream

#define TORVEL_STREAM_CONCAT_(a, b) a##b
#define TORVEL_STREAM_CONCAT(a, b) TORVEL_STREAM_CONCAT_(a, b)
#define TORVEL_STREAM_COMMAND(name, usage, help, fn)                        \
    static const bool TORVEL_STREAM_CONCAT(registered_command_, __LINE__) = \
        ::torvel_stream::register_command({name, usage, help, fn})
