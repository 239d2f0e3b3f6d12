// torvel-stream: the firmware developer's encoder/decoder tool.
// Each subcommand lives in its own file and registers itself with
// TORVEL_STREAM_COMMAND; main.cpp only dispatches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace torvel_stream {

// argv[0] is the subcommand's name; the result is the process exit status.
using CommandFn = int (*)(int argc, char **argv);

struct Command {
    const char *name;
    const char *usage;  // one line: "encode-block [--quality Q] ..."
    CommandFn run;
};

bool register_command(const Command &command);

// "--name value" options of one subcommand.
struct Options {
    std::map<std::string, std::string, std::less<>> values;
    bool has(std::string_view name) const { return values.find(name) != values.end(); }
};

// Parses argv[1..] as "--name value" pairs (names listed in `valued`) and bare
// flags (names listed in `flags`). Anything else is an error, described in `error`.
bool parse_options(int argc, char **argv, std::initializer_list<std::string_view> valued,
                   std::initializer_list<std::string_view> flags, Options &out, std::string &error);

// Reads option `name` as a decimal integer in [lo, hi]; `fallback` when absent.
bool get_int(const Options &options, std::string_view name, long fallback, long lo, long hi,
             long &out, std::string &error);

// Prints "torvel-stream: <message>" as one line on standard error; returns 2
// (the exit status for bad arguments or input).
int usage_error(const std::string &message);

bool read_all(int fd, std::vector<uint8_t> &out);
// Reads exactly `n` bytes; false at end of input before that.
bool read_exact(int fd, void *buffer, size_t n);
bool write_all(int fd, const void *data, size_t n);

}  // namespace torvel_stream

#define TORVEL_STREAM_CONCAT_(a, b) a##b
#define TORVEL_STREAM_CONCAT(a, b) TORVEL_STREAM_CONCAT_(a, b)
#define TORVEL_STREAM_COMMAND(name, usage, fn)                            \
    static const bool TORVEL_STREAM_CONCAT(registered_command_, __LINE__) = \
        ::torvel_stream::register_command({name, usage, fn})
