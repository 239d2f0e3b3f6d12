#include "rotation.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "usb_scrn.h"

namespace {

constexpr char OUTPUT_PREFIX[] = "DVI-I-";
constexpr size_t OUTPUT_PREFIX_LEN = 6;
constexpr char LIST_COMMAND[] = "xrandr -q | grep \" connected \"";
constexpr char WAYLAND_NOTE_COMMAND[] =
    "command -v torvel-xsession >/dev/null 2>&1 && torvel-xsession --note-wayland";
constexpr useconds_t STEP_US = 100000;
constexpr int STEPS_PER_POLL = 10;  // one orientation poll per second

const char *const ROTATE_FORMAT[4] = {
    "xrandr --output %s --rotate normal",
    "xrandr --output %s --rotate left",
    "xrandr --output %s --rotate inverted",
    "xrandr --output %s --rotate right",
};

// monitor_name is written by output naming on the set-up thread while
// followers may read it.
std::mutex name_mutex;

bool following(const thread_context_t &cxt) {
    return cxt.keep_going.load() && !cxt.stop_requested.load();
}

}  // namespace

void run_shell(const char *command) {
    char sh[] = "sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void note_wayland_session() {
    run_shell(WAYLAND_NOTE_COMMAND);
}

bool safe_output_name(const char *name) {
    if (*name == '\0') return false;
    for (const char *p = name; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool rotation_command(unsigned orientation, const char *name, char *out, size_t out_size) {
    if (orientation > MONITOR_ROTATE_270) return false;
    if (strncmp(name, OUTPUT_PREFIX, OUTPUT_PREFIX_LEN) != 0 || !safe_output_name(name))
        return false;
    const int n = snprintf(out, out_size, ROTATE_FORMAT[orientation], name);
    return n > 0 && static_cast<size_t>(n) < out_size;
}

void get_monitor_name(const thread_context_t &cxt, char (&out)[32]) {
    std::lock_guard<std::mutex> guard(name_mutex);
    memcpy(out, cxt.monitor_name, sizeof out);
    out[sizeof out - 1] = '\0';
}

namespace {

using output_name_t = char[sizeof g_context[0].monitor_name];

// The first MAX_DEVICES "DVI-I-" outputs of the listing, in its order, cut
// to 31 characters. Returns their count, or -1 when the listing cannot be
// started (after its message).
int list_outputs(output_name_t (&names)[MAX_DEVICES]) {
    FILE *pipe = popen(LIST_COMMAND, "r");
    if (pipe == nullptr) {
        printf(">>> %s, popen failed!\n", "find_monitor_name");
        return -1;
    }
    char line[256];
    int n = 0;
    while (fgets(line, sizeof line, pipe) != nullptr) {
        if (strncmp(line, OUTPUT_PREFIX, OUTPUT_PREFIX_LEN) != 0 || n >= MAX_DEVICES) continue;
        // The output name is everything before the first space.
        const size_t len = strcspn(line, " \n");
        const size_t kept = len < sizeof names[n] - 1 ? len : sizeof names[n] - 1;
        memcpy(names[n], line, kept);
        names[n][kept] = '\0';
        ++n;
    }
    pclose(pipe);
    return n;
}

// Line n of the listing names slots[n]; a slot of -1 takes its line and is
// not named.
void apply_names(const output_name_t *names, int lines, const int *slots, int count) {
    for (int n = 0; n < lines && n < count; ++n) {
        if (slots[n] < 0) continue;
        {
            std::lock_guard<std::mutex> guard(name_mutex);
            memcpy(g_context[slots[n]].monitor_name, names[n], sizeof names[n]);
        }
        printf(">>> monitor#%d - %s\n", n, names[n]);
    }
}

}  // namespace

void find_monitor_name() {
    const int slots[MAX_DEVICES] = {0, 1, 2, 3};
    find_monitor_name(slots, MAX_DEVICES);
}

void find_monitor_name(const int *slots, int count) {
    output_name_t names[MAX_DEVICES];
    const int lines = list_outputs(names);
    if (lines > 0) apply_names(names, lines, slots, count < MAX_DEVICES ? count : MAX_DEVICES);
}

void name_started_outputs(const started_screen_t *started, int count) {
    if (count > MAX_DEVICES) count = MAX_DEVICES;
    // The listing first, then which screens still exist. X drops a closed
    // screen's output a little after it was closed, so a screen the listing
    // lacks is gone by now; one that went after the listing may still be in
    // it.
    output_name_t names[MAX_DEVICES];
    const int lines = list_outputs(names);
    if (lines <= 0) return;
    // With every started screen listed, the lines of those gone are passed
    // over rather than given to the next screen.
    const bool all_listed = lines >= count;
    int slots[MAX_DEVICES];
    int n = 0;
    for (int i = 0; i < count; ++i) {
        if (evdihndl[started[i].screen_id].load() != nullptr)
            slots[n++] = started[i].slot;
        else if (all_listed)
            slots[n++] = -1;
    }
    apply_names(names, lines, slots, n);
}

void *rotate_thread(void *param) {
    thread_context_t &cxt = *static_cast<thread_context_t *>(param);
    while (following(cxt)) {
        // The poll period is one second; the wait is cut short by a stop so
        // tear-down does not wait for it.
        for (int i = 0; i < STEPS_PER_POLL && following(cxt); ++i) usleep(STEP_US);
        if (!following(cxt)) break;
        uint8_t orientation = 0;
        if (!GetMonitorOrient(cxt.usb_handle, &orientation)) continue;
        // Whoever stores a new orientation first (this thread or the
        // transfer stage) is the one that acts on it.
        uint8_t previous = cxt.rotate_state.load();
        if (orientation == previous) continue;
        if (!cxt.rotate_state.compare_exchange_strong(previous, orientation)) continue;
        char name[32];
        get_monitor_name(cxt, name);
        char command[80];
        // xrandr failures are not detected.
        if (rotation_command(orientation, name, command, sizeof command)) run_shell(command);
    }
    return nullptr;
}
