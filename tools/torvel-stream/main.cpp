#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command.h"

namespace torvel_stream {
namespace {

constexpr size_t kMaxCommands = 16;
Command g_commands[kMaxCommands];
size_t g_command_count = 0;

void print_usage(FILE *out) {
    std::fputs("usage: torvel-stream COMMAND [OPTIONS]\ncommands:\n", out);
    for (size_t i = 0; i < g_command_count; ++i) std::fprintf(out, "  %s\n", g_commands[i].usage);
}

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

bool register_command(const Command &command) {
    if (g_command_count == kMaxCommands) std::abort();
    g_commands[g_command_count++] = command;
    return true;
}

bool parse_options(int argc, char **argv, std::initializer_list<std::string_view> valued,
                   std::initializer_list<std::string_view> flags, Options &out,
                   std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        bool is_valued = false, is_flag = false;
        for (auto v : valued) is_valued |= arg.size() > 2 && arg.substr(2) == v;
        for (auto f : flags) is_flag |= arg.size() > 2 && arg.substr(2) == f;
        if (!arg.starts_with("--") || (!is_valued && !is_flag)) {
            error = "unknown option '" + std::string(arg) + "'";
            return false;
        }
        if (is_flag) {
            out.values[std::string(arg.substr(2))] = "";
            continue;
        }
        if (i + 1 >= argc) {
            error = "option '" + std::string(arg) + "' needs a value";
            return false;
        }
        out.values[std::string(arg.substr(2))] = argv[++i];
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

int usage_error(const std::string &message) {
    std::fprintf(stderr, "torvel-stream: %s\n", message.c_str());
    return 2;
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
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        print_usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (size_t i = 0; i < g_command_count; ++i) {
        if (std::strcmp(g_commands[i].name, argv[1]) == 0) return g_commands[i].run(argc - 1, argv + 1);
    }
    return usage_error(std::string("unknown command '") + argv[1] + "' (see torvel-stream --help)");
}
