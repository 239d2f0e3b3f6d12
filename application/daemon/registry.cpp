#include "registry.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A file the daemon writes is at most four short lines; anything much larger
// is not one of ours and is not loaded at all.
constexpr size_t MAX_FILE_BYTES = 4096;

bool holds_id(const device_info_t &e) {
    return e.usb_devId != NO_DEVICE_ID;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One record of the file: up to eight hex digits, optionally ':' and a
// decimal position, then white space. `has_pos` is false for a record that
// carries the id alone. Returns false for anything else.
bool parse_record(const char *&p, const char *end, uint64_t &id, bool &has_pos, int32_t &pos) {
    while (p < end && is_space(*p)) ++p;
    int digits = 0;
    id = 0;
    while (p < end && hex_value(*p) >= 0) {
        if (++digits > 8) return false;  // an id never has more than 32 bits
        id = (id << 4) | static_cast<uint64_t>(hex_value(*p));
        ++p;
    }
    if (digits == 0) return false;
    has_pos = false;
    if (p < end && *p == ':') {
        ++p;
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        bool negative = false;
        if (p < end && (*p == '-' || *p == '+')) negative = (*p++ == '-');
        int pdigits = 0;
        int64_t v = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            if (++pdigits > 9) return false;
            v = v * 10 + (*p++ - '0');
        }
        if (pdigits == 0) return false;
        pos = static_cast<int32_t>(negative ? -v : v);
        has_pos = true;
    }
    while (p < end && is_space(*p)) ++p;
    return true;
}

// Writes the whole table to `path` through a new file in the same directory
// that replaces the old one by rename: the directory is world-writable, so
// nothing at `path` is ever opened for writing or followed, and a crash
// leaves either the old or the new content.
void save_table(const char *path) {
    char content[IDENTITY_TEXT_MAX];
    const size_t len = format_identity_text(content);

    std::string tmp = std::string(path) + ".XXXXXX";
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);  // created exclusively, 0600
    if (fd < 0) return;
    bool ok = fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < len;) {
        const ssize_t w = write(fd, content + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        ok = w > 0;
        if (ok) done += static_cast<size_t>(w);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path) != 0) {
        unlink(tmp.c_str());
        return;
    }
    // Make the rename itself durable.
    std::string dir(path);
    const size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

void claim(int32_t entry, int32_t slot, int32_t *pos) {
    device_info[entry].index.store(slot);
    *pos = device_info[entry].position;
}

int32_t first_free_entry() {
    for (int32_t k = 0; k < MAX_DEVICES; ++k)
        if (device_info[k].index.load() == -1) return k;
    return -1;
}

// The first entry without an identity that no device holds, else the first
// free entry: the entries of identities remembered stay for their devices
// as long as there is another.
int32_t free_entry_sparing_identities() {
    for (int32_t k = 0; k < MAX_DEVICES; ++k)
        if (!holds_id(device_info[k]) && device_info[k].index.load() == -1) return k;
    return first_free_entry();
}

}  // namespace

void registry_reset() {
    for (int32_t k = 0; k < MAX_DEVICES; ++k) {
        device_info[k].index.store(-1);
        device_info[k].usb_devId = NO_DEVICE_ID;
        device_info[k].position = k;
    }
}

void get_previous_device_id() {
    get_previous_device_id_from(IDENTITY_FILE);
}

void get_previous_device_id_from(const char *path) {
    // No links, and no blocking on a FIFO planted at the path.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    char buf[MAX_FILE_BYTES];
    size_t len = 0;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= MAX_FILE_BYTES;
    while (ok && len < sizeof buf) {
        const ssize_t r = read(fd, buf + len, sizeof buf - len);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        len += static_cast<size_t>(r);
    }
    close(fd);
    if (ok) load_identity_text(buf, len);
}

void load_identity_text(const char *text, size_t len) {
    // A record goes into the entry of its position, so position and entry
    // number stay equal. A record that carries the id alone keeps the
    // position of its line. Loading ends at the fifth record and at the first
    // record that is malformed, has no id (ffffffff), repeats an identity or
    // takes a position already taken.
    const char *p = text;
    const char *end = text + len;
    bool taken[MAX_DEVICES] = {};
    uint64_t loaded_ids[MAX_DEVICES];
    for (int32_t line = 0; line < MAX_DEVICES && p < end; ++line) {
        uint64_t id;
        bool has_pos;
        int32_t pos = line;
        if (!parse_record(p, end, id, has_pos, pos)) break;
        if (pos < 0 || pos >= MAX_DEVICES || taken[pos] || id == NO_DEVICE_ID) break;
        bool duplicate = false;
        for (int32_t k = 0; k < line; ++k) duplicate = duplicate || loaded_ids[k] == id;
        if (duplicate) break;
        loaded_ids[line] = id;
        taken[pos] = true;
        device_info[pos].usb_devId = id;
        device_info[pos].position = pos;
    }
}

size_t format_identity_text(char (&out)[IDENTITY_TEXT_MAX]) {
    size_t len = 0;
    for (const device_info_t &e : device_info) {
        if (!holds_id(e)) continue;
        len += static_cast<size_t>(snprintf(out + len, sizeof out - len, "%08lx:%d\n",
                                            static_cast<unsigned long>(e.usb_devId), e.position));
    }
    return len;
}

void set_previous_device_id(int32_t index, uint64_t id, int32_t *pos) {
    set_previous_device_id_at(IDENTITY_FILE, index, id, pos);
}

void set_previous_device_id_at(const char *path, int32_t index, uint64_t id, int32_t *pos) {
    bool known = false;
    for (int32_t k = 0; k < MAX_DEVICES; ++k) {
        if (known || device_info[k].usb_devId != id) continue;
        known = true;
        if (device_info[k].index.load() == -1) {
            claim(k, index, pos);
        } else {
            // Another present device already answers with this identity.
            const int32_t free_entry = free_entry_sparing_identities();
            if (free_entry >= 0) claim(free_entry, index, pos);
        }
    }
    if (known) return;

    // A device that could not report its identity may hold an entry without
    // an id. With no entry without an id free, the first free entry's old
    // identity is forgotten.
    const int32_t entry = free_entry_sparing_identities();
    if (entry < 0) return;
    device_info[entry].usb_devId = id;
    claim(entry, index, pos);
    save_table(path);
}

int32_t claim_free_entry(int32_t slot) {
    const int32_t k = free_entry_sparing_identities();
    if (k >= 0) device_info[k].index.store(slot);
    return k;
}

namespace {

// 32 bits from the system's random source.
uint32_t system_random() {
    for (;;) {
        uint32_t v;
        const ssize_t r = getrandom(&v, sizeof v, 0);
        if (r == static_cast<ssize_t>(sizeof v)) return v;
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // No random source at all: still differ between machines and runs.
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<uint32_t>(ts.tv_nsec) ^ static_cast<uint32_t>(ts.tv_sec) * 2654435761u ^
               static_cast<uint32_t>(getpid()) << 16;
    }
}

}  // namespace

uint64_t draw_new_device_id() {
    return draw_new_device_id(system_random);
}

uint64_t draw_new_device_id(uint32_t (*source)()) {
    for (;;) {
        const uint32_t v = source();
        if (v == NO_DEVICE_ID) continue;
        bool held = false;
        for (const device_info_t &e : device_info) held = held || e.usb_devId == v;
        if (!held) return v;
    }
}

int32_t entry_of_slot(int32_t slot) {
    for (int32_t k = 0; k < MAX_DEVICES; ++k)
        if (device_info[k].index.load() == slot) return k;
    return -1;
}

int32_t slot_of_screen(int32_t screen_id) {
    for (const device_info_t &e : device_info)
        if (e.position == screen_id) return e.index.load();
    return -1;
}
