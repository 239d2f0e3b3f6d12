// The identity-file loader: whatever the file holds, the table stays one the
// rest of the daemon can use (positions equal entry numbers, no entry taken,
// identities distinct and real), the file as the daemon would save that
// table loads back to the same table, and reading the bytes through the file
// gives what parsing them gives, up to the size bound.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "registry.h"
#include "scratch_file.h"

namespace {

struct Entry {
    uint64_t id;
    int32_t position;
    bool operator==(const Entry &) const = default;
};
struct Table {
    Entry e[MAX_DEVICES];
    bool operator==(const Table &) const = default;
};

Table snapshot() {
    Table t{};
    for (int k = 0; k < MAX_DEVICES; ++k)
        t.e[k] = {device_info[k].usb_devId, device_info[k].position};
    return t;
}

void check_usable(const Table &t) {
    for (int k = 0; k < MAX_DEVICES; ++k) {
        FUZZ_CHECK(device_info[k].index.load() == -1);
        FUZZ_CHECK(t.e[k].position == k);
        FUZZ_CHECK(t.e[k].id <= 0xFFFFFFFFu);
        if (t.e[k].id == NO_DEVICE_ID) continue;
        for (int j = 0; j < k; ++j) FUZZ_CHECK(t.e[j].id != t.e[k].id);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    registry_reset();
    load_identity_text(reinterpret_cast<const char *>(data), size);
    const Table loaded = snapshot();
    check_usable(loaded);

    // What the daemon would write for this table: one line per identity in
    // the file's own format, and it loads back unchanged.
    char text[IDENTITY_TEXT_MAX];
    const size_t len = format_identity_text(text);
    int lines = 0;
    for (size_t i = 0; i < len; ++i) lines += text[i] == '\n';
    FUZZ_CHECK(static_cast<size_t>(lines) * 11 == len && lines <= MAX_DEVICES);
    registry_reset();
    load_identity_text(text, len);
    FUZZ_CHECK(snapshot() == loaded);

    // Through the file: the same table, or nothing for a file beyond the
    // size bound.
    const std::string &path = write_scratch_file(data, size);
    registry_reset();
    const Table empty = snapshot();
    get_previous_device_id_from(path.c_str());
    FUZZ_CHECK(snapshot() == (size <= 4096 ? loaded : empty));
    return 0;
}
