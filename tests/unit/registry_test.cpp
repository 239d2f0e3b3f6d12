// Identity registry: claims, registration, the identity file's format and
// its safe replacement, and loading of damaged files.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <gtest/gtest.h>

#include "registry.h"

namespace {

constexpr uint64_t A = 0x0000a11a, B = 0x0000b22b, C = 0x0000c33c, D = 0x0000d44d, E = 0x0000e55e;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/registry_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/torvel_display.id";
        registry_reset();
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void write_file(const std::string &content) {
        std::ofstream(path_, std::ios::binary) << content;
    }
    std::string read_file(const std::string &p) const {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string file() const { return read_file(path_); }
    ino_t inode() const {
        struct stat st;
        return lstat(path_.c_str(), &st) == 0 ? st.st_ino : 0;
    }
    std::vector<std::string> dir_entries() const {
        std::vector<std::string> names;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
        return names;
    }
    void load() { get_previous_device_id_from(path_.c_str()); }
    int32_t claim(int32_t slot, uint64_t id) {
        int32_t pos = -7;
        set_previous_device_id_at(path_.c_str(), slot, id, &pos);
        return pos;
    }
    static std::vector<uint64_t> ids() {
        std::vector<uint64_t> v;
        for (const auto &e : device_info) v.push_back(e.usb_devId);
        return v;
    }

    std::string dir_, path_;
};

TEST_F(RegistryTest, ResetGivesFreeEntriesAtTheirOwnPositions) {
    device_info[2].index.store(1);
    device_info[2].usb_devId = A;
    registry_reset();
    for (int32_t k = 0; k < MAX_DEVICES; ++k) {
        EXPECT_EQ(device_info[k].index.load(), -1);
        EXPECT_EQ(device_info[k].usb_devId, NO_DEVICE_ID);
        EXPECT_EQ(device_info[k].position, k);
    }
}

TEST_F(RegistryTest, NoFileFirstDevicesTakePositionsInOrder) {
    load();
    EXPECT_EQ(claim(0, A), 0);
    EXPECT_EQ(file(), "0000a11a:0\n");
    EXPECT_EQ(claim(1, B), 1);
    EXPECT_EQ(file(), "0000a11a:0\n0000b22b:1\n");
    EXPECT_EQ(device_info[0].index.load(), 0);
    EXPECT_EQ(device_info[1].index.load(), 1);
    EXPECT_EQ(entry_of_slot(1), 1);
    EXPECT_EQ(slot_of_screen(0), 0);
    EXPECT_EQ(slot_of_screen(2), -1);
}

TEST_F(RegistryTest, KnownIdentitiesKeepTheirPositionsWhateverTheSlot) {
    write_file("0000a11a:0\n0000b22b:1\n");
    const ino_t before = inode();
    load();
    EXPECT_EQ(claim(0, B), 1);
    EXPECT_EQ(claim(1, A), 0);
    EXPECT_EQ(device_info[0].index.load(), 1);  // A in slot 1 holds entry 0
    EXPECT_EQ(device_info[1].index.load(), 0);
    EXPECT_EQ(slot_of_screen(0), 1);  // A's screen starts first
    EXPECT_EQ(inode(), before);       // not rewritten
    EXPECT_EQ(file(), "0000a11a:0\n0000b22b:1\n");
}

TEST_F(RegistryTest, FullTableForgetsTheFirstFreeEntry) {
    write_file("0000a11a:0\n0000b22b:1\n0000c33c:2\n0000d44d:3\n");
    load();
    EXPECT_EQ(claim(0, E), 0);
    EXPECT_EQ(file(), "0000e55e:0\n0000b22b:1\n0000c33c:2\n0000d44d:3\n");
    // B present too, then a sixth identity while entries 2 and 3 are free.
    EXPECT_EQ(claim(1, B), 1);
    EXPECT_EQ(claim(2, 0x1234), 2);
    EXPECT_EQ(ids(), (std::vector<uint64_t>{E, B, 0x1234, D}));
}

TEST_F(RegistryTest, FullTableWithEveryEntryClaimedClaimsNothing) {
    load();
    for (int32_t s = 0; s < MAX_DEVICES; ++s) EXPECT_EQ(claim(s, A + s), s);
    const std::string before = file();
    int32_t pos = -7;
    set_previous_device_id_at(path_.c_str(), 0, E, &pos);
    EXPECT_EQ(pos, -7);
    EXPECT_EQ(file(), before);
    EXPECT_EQ(ids(), (std::vector<uint64_t>{A, A + 1, A + 2, A + 3}));
}

TEST_F(RegistryTest, SameIdentityTwiceTakesAFreeEntrySparingOtherIdentities) {
    write_file("0000a11a:0\n0000b22b:1\n");
    load();
    EXPECT_EQ(claim(0, B), 1);
    EXPECT_EQ(claim(1, B), 2);                          // entry 0 is free, but A's
    EXPECT_EQ(device_info[2].usb_devId, NO_DEVICE_ID);  // the identity is not written there
    EXPECT_EQ(claim(2, A), 0);
    EXPECT_EQ(claim(3, B), 3);
    EXPECT_EQ(file(), "0000a11a:0\n0000b22b:1\n");
}

TEST_F(RegistryTest, IdentityIsMatchedAsAWhole) {
    write_file("00000201:0\n");
    load();
    EXPECT_EQ(device_info[0].usb_devId, 0x201u);
    EXPECT_EQ(claim(0, 0x201), 0);
    EXPECT_EQ(claim(1, 0x20100), 1);  // a new identity, not a prefix match
    EXPECT_EQ(file(), "00000201:0\n00020100:1\n");
}

// A device that cannot report its identity passes over the entries of
// identities remembered, so a remembered device that comes later still gets
// its own position; only when no other entry is free does it take one.
TEST_F(RegistryTest, ClaimWithoutIdentityLeavesTheFileAndRememberedEntriesAlone) {
    write_file("0000a11a:0\n");
    load();
    EXPECT_EQ(claim_free_entry(0), 1);
    EXPECT_EQ(claim(2, A), 0);
    EXPECT_EQ(device_info[0].index.load(), 2);
    EXPECT_EQ(device_info[1].index.load(), 0);
    EXPECT_EQ(device_info[1].usb_devId, NO_DEVICE_ID);
    registry_reset();
    load();
    EXPECT_EQ(claim_free_entry(2), 1);
    EXPECT_EQ(claim_free_entry(3), 2);
    EXPECT_EQ(claim_free_entry(0), 3);
    EXPECT_EQ(claim_free_entry(1), 0);
    EXPECT_EQ(device_info[0].usb_devId, A);
    EXPECT_EQ(claim_free_entry(1), -1);
    EXPECT_EQ(file(), "0000a11a:0\n");
}

TEST_F(RegistryTest, ReleasedEntryIsClaimedAgainBySameIdentity) {
    load();
    EXPECT_EQ(claim(0, A), 0);
    device_info[0].index.store(-1);  // screen destroyed
    EXPECT_EQ(claim(3, A), 0);
    EXPECT_EQ(device_info[0].index.load(), 3);
}

TEST_F(RegistryTest, WrittenFileIsRegularWorldReadableAndNothingElseIsLeft) {
    const mode_t old = umask(077);
    load();
    claim(0, A);
    umask(old);
    struct stat st;
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(dir_entries(), std::vector<std::string>{"torvel_display.id"});
}

TEST_F(RegistryTest, ReplacementIsANewFileNotATruncation) {
    write_file("0000a11a:0\n");
    load();
    // A reader holding the old file keeps seeing complete old content.
    const int old_fd = open(path_.c_str(), O_RDONLY);
    ASSERT_GE(old_fd, 0);
    EXPECT_EQ(claim(0, B), 1);
    char buf[64] = {};
    ASSERT_EQ(pread(old_fd, buf, sizeof buf - 1, 0), 11);
    EXPECT_STREQ(buf, "0000a11a:0\n");
    close(old_fd);
    EXPECT_EQ(file(), "0000a11a:0\n0000b22b:1\n");
}

TEST_F(RegistryTest, SymbolicLinkIsNeitherFollowedNorOverwritten) {
    const std::string target = dir_ + "/victim";
    std::ofstream(target) << "0000a11a:0\nprecious\n";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    load();
    EXPECT_EQ(device_info[0].usb_devId, NO_DEVICE_ID);  // the link was not read
    EXPECT_EQ(claim(0, B), 0);
    EXPECT_EQ(read_file(target), "0000a11a:0\nprecious\n");
    struct stat st;
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));  // the link was replaced, not written through
    EXPECT_EQ(file(), "0000b22b:0\n");
}

TEST_F(RegistryTest, NonRegularFilesAreNotRead) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
    load();  // must not block on the FIFO
    EXPECT_EQ(ids(), std::vector<uint64_t>(4, NO_DEVICE_ID));
    unlink(path_.c_str());
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    load();
    EXPECT_EQ(ids(), std::vector<uint64_t>(4, NO_DEVICE_ID));
    // A directory in the way cannot be replaced: the table still changes.
    EXPECT_EQ(claim(0, A), 0);
    EXPECT_EQ(device_info[0].usb_devId, A);
    EXPECT_EQ(dir_entries(), std::vector<std::string>{"torvel_display.id"});
}

TEST_F(RegistryTest, UnwritableLocationChangesOnlyTheTable) {
    const std::string missing = dir_ + "/no/such/dir/torvel_display.id";
    int32_t pos = -7;
    set_previous_device_id_at(missing.c_str(), 1, A, &pos);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(device_info[0].usb_devId, A);
    EXPECT_EQ(device_info[0].index.load(), 1);
}

struct Damaged {
    const char *content;
    std::vector<uint64_t> ids;
};

class DamagedFileTest : public RegistryTest, public ::testing::WithParamInterface<Damaged> {};

constexpr uint64_t N = NO_DEVICE_ID;

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedFileTest,
    ::testing::Values(Damaged{"", {N, N, N, N}}, Damaged{"garbage\n", {N, N, N, N}},
                      // Loading stops after four records.
                      Damaged{"1:0\n2:1\n3:2\n4:3\n5:0\n", {1, 2, 3, 4}},
                      // More than eight hex digits end the loading.
                      Damaged{"0000a11a:0\n10000b22b:1\n0000c33c:2\n", {A, N, N, N}},
                      // Positions outside 0..3 end it.
                      Damaged{"0000a11a:0\n0000b22b:4\n", {A, N, N, N}},
                      Damaged{"0000a11a:-1\n", {N, N, N, N}},
                      Damaged{"0000a11a:0\n0000b22b:99999999999\n", {A, N, N, N}},
                      // A repeated identity is loaded once; a repeated position ends it.
                      Damaged{"0000a11a:0\n0000a11a:1\n0000b22b:2\n", {A, N, N, N}},
                      Damaged{"0000a11a:0\n0000b22b:0\n", {A, N, N, N}},
                      // An entry without an identity ends it.
                      Damaged{"ffffffff:0\n0000a11a:1\n", {N, N, N, N}},
                      // Records go into the entry of their position.
                      Damaged{"0000a11a:1\n0000b22b:0\n", {B, A, N, N}},
                      Damaged{"0000a11a:2\n", {N, N, A, N}},
                      // An id alone keeps its line's position; upper case and spacing as
                      // the line format reads them.
                      Damaged{"0000A11A\n  0000b22b:1  \n\n0000c33c: 2", {A, B, C, N}},
                      Damaged{"0000a11a:0 trailing\n0000b22b:1\n", {A, N, N, N}},
                      Damaged{"0000a11a:\n0000b22b:1\n", {N, N, N, N}},
                      Damaged{"0000a11a:0\n:1\n", {A, N, N, N}}));

TEST_P(DamagedFileTest, LoadsTheRecordsBeforeTheFault) {
    write_file(GetParam().content);
    load();
    EXPECT_EQ(ids(), GetParam().ids);
    // Whatever the file said, positions stay distinct and equal to the entry
    // numbers, and no entry is claimed.
    for (int32_t k = 0; k < MAX_DEVICES; ++k) {
        EXPECT_EQ(device_info[k].position, k);
        EXPECT_EQ(device_info[k].index.load(), -1);
    }
}

TEST_F(RegistryTest, LoadedHolesAreFilledBeforeTheTableIsWritten) {
    write_file("0000a11a:2\n");
    load();
    EXPECT_EQ(claim(0, B), 0);
    EXPECT_EQ(file(), "0000b22b:0\n0000a11a:2\n");
    registry_reset();
    load();
    EXPECT_EQ(ids(), (std::vector<uint64_t>{B, N, A, N}));
}

TEST_F(RegistryTest, FilesUpTo4096BytesAreLoaded) {
    const std::string line = "0000a11a:0\n";
    write_file(line + std::string(4096 - line.size(), ' '));
    load();
    EXPECT_EQ(ids(), (std::vector<uint64_t>{A, N, N, N}));
    registry_reset();
    write_file(line + std::string(4097 - line.size(), ' '));
    load();
    EXPECT_EQ(ids(), std::vector<uint64_t>(4, NO_DEVICE_ID));
}

// A device that cannot report its identity holds an entry without one; a
// new identity then takes the next entry, not the held one.
TEST_F(RegistryTest, NewIdentityPassesOverAnEntryHeldWithoutIdentity) {
    load();
    EXPECT_EQ(claim_free_entry(0), 0);
    EXPECT_EQ(claim(1, B), 1);
    EXPECT_EQ(device_info[0].index.load(), 0);
    EXPECT_EQ(device_info[1].index.load(), 1);
    EXPECT_EQ(file(), "0000b22b:1\n");
    // The file written reads back into the same entry.
    registry_reset();
    load();
    EXPECT_EQ(ids(), (std::vector<uint64_t>{N, B, N, N}));
    EXPECT_EQ(claim(2, B), 1);
    // Every entry without an identity held: the first free one is taken.
    registry_reset();
    write_file("0000a11a:0\n0000b22b:1\n0000c33c:2\n");
    load();
    EXPECT_EQ(claim_free_entry(0), 3);
    EXPECT_EQ(claim(3, D), 0);
    EXPECT_EQ(file(), "0000d44d:0\n0000b22b:1\n0000c33c:2\n");
}

uint32_t scripted_values[8];
int scripted_next = 0;
uint32_t scripted_source() {
    return scripted_values[scripted_next++ % 8];
}

TEST_F(RegistryTest, NewIdsAreNeitherTheNoIdValueNorOneHeld) {
    device_info[0].usb_devId = A;
    device_info[2].usb_devId = B;
    const uint32_t values[8] = {
        0xFFFFFFFFu, static_cast<uint32_t>(A), static_cast<uint32_t>(B), 0xFFFFFFFFu, 0x1234u,
        0x5678u};
    std::copy(values, values + 8, scripted_values);
    scripted_next = 0;
    EXPECT_EQ(draw_new_device_id(scripted_source), 0x1234u);
    EXPECT_EQ(scripted_next, 5);
    device_info[1].usb_devId = 0x1234u;
    EXPECT_EQ(draw_new_device_id(scripted_source), 0x5678u);
    // The system's source: 32 random bits, repeats among 2000 draws are very
    // unlikely.
    std::set<uint64_t> seen;
    for (int i = 0; i < 2000; ++i) seen.insert(draw_new_device_id());
    EXPECT_GT(seen.size(), 1990u);
    EXPECT_EQ(seen.count(NO_DEVICE_ID) + seen.count(A) + seen.count(B), 0u);
}

}  // namespace
