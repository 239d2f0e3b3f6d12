// Names of the calls the emulator can make fail and of the plane formats
// (scripts and the control socket use them).
#include <iterator>

#include "evdi_emu.h"

namespace evdiemu {

const char *op_name(Op op) {
    static constexpr const char *kNames[] = {
        "open",          "add",     "connect",    "disconnect",  "request_update", "grab",
        "cursor_events", "version", "auth_magic", "drop_master", "map_dumb",       "mmap"};
    static_assert(std::size(kNames) == static_cast<size_t>(Op::Count));
    int i = static_cast<int>(op);
    return i >= 0 && i < static_cast<int>(Op::Count) ? kNames[i] : "?";
}

bool format_from_name(std::string_view name, uint32_t *format) {
    for (uint32_t f : {kXR24, kAR24, kXB24, kAB24}) {
        const char code[4] = {static_cast<char>(f), static_cast<char>(f >> 8),
                              static_cast<char>(f >> 16), static_cast<char>(f >> 24)};
        if (name == std::string_view(code, 4)) {
            *format = f;
            return true;
        }
    }
    return false;
}

bool op_from_name(std::string_view name, Op *op) {
    for (int i = 0; i < static_cast<int>(Op::Count); ++i) {
        if (name == op_name(static_cast<Op>(i))) {
            *op = static_cast<Op>(i);
            return true;
        }
    }
    return false;
}

}  // namespace evdiemu
