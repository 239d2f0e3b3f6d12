#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"

namespace torvel_stream {
namespace {

constexpr size_t kMaxCommands = 16;
Command g_commands[kMaxCommands];
size_t g_command_count = 0;

#ifndef TORVEL_STREAM_VERSION
#define TORVEL_STREAM_VERSION "unknown"
#endif

void print_usage(FILE *out) {
    std::fputs(
        "usage: torvel-stream COMMAND [OPTIONS]  (COMMAND --help for its own; --version)\n"
        "commands:\n",
        out);
    for (size_t i = 0; i < g_command_count; ++i) std::fprintf(out, "  %s\n", g_commands[i].usage);
}

void print_command_help(const Command &c) {
    std::printf("usage: torvel-stream %s\n\n%s", c.usage, c.help);
}

// "--help" or "-h" among a subcommand's arguments (before a "--").
bool asks_for_help(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

}  // namespace

bool register_command(const Command &command) {
    if (g_command_count == kMaxCommands) std::abort();
    g_commands[g_command_count++] = command;
    return true;
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "torvel-stream: %s\n", message.c_str());
    return EXIT_USAGE;
}

int failure(const std::string &message) {
    std::fprintf(stderr, "torvel-stream: %s\n", message.c_str());
    return EXIT_WORK_FAILED;
}

bool read_all(int fd, std::vector<uint8_t> &out) {
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
}

int read_transfers(bool framed, std::vector<uint8_t> &input, std::vector<FrameSlice> &frames) {
    if (!read_all(STDIN_FILENO, input)) return failure("cannot read standard input");
    std::string error;
    if (!framed) {
        frames.push_back({0, input});
    } else if (!split_frames(input, frames, error)) {
        return failure(error);
    }
    return 0;
}

bool read_exact(int fd, void *buffer, size_t n) {
    auto *p = static_cast<uint8_t *>(buffer);
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const void *data, size_t n) {
    auto *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace torvel_stream

int main(int argc, char **argv) {
    using namespace torvel_stream;
    if (argc < 2) {
        print_usage(stderr);
        return EXIT_USAGE;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        print_usage(stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("torvel-stream %s\n", TORVEL_STREAM_VERSION);
        return 0;
    }
    for (size_t i = 0; i < g_command_count; ++i) {
        const Command &c = g_commands[i];
        if (std::strcmp(c.name, argv[1]) != 0) continue;
        if (asks_for_help(argc - 1, argv + 1)) {
            print_command_help(c);
            return 0;
        }
        return c.run(argc - 1, argv + 1);
    }
    return usage_error(std::string("unknown command '") + argv[1] + "' (see torvel-stream --help)");
}
