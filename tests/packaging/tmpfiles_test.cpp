// The tmpfiles.d entry keeps the identity file through systemd's age-based
// clean-up of /var/tmp, run by the real systemd-tmpfiles on a staged root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#ifndef TORVEL_TMPFILES_CONF
#error "TORVEL_TMPFILES_CONF must name the packaged tmpfiles.d entry"
#endif

namespace {

namespace fs = std::filesystem;

// Debian's clean-up rule for /var/tmp (tmp.conf of systemd's package), with
// the age judged by access and modification times only: a test cannot set a
// file's status change time back, which the rule would otherwise count too.
constexpr const char *kVarTmpRule = "q /var/tmp 1777 root root am:30d\n";

void age_days(const fs::path &p, int days) {
    const time_t then = time(nullptr) - static_cast<time_t>(days) * 24 * 3600;
    const timespec times[2] = {{then, 0}, {then, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0) << p;
}

// Stages a root with the clean-up rule, optionally our entry, an old identity
// file and an old foreign file, and runs the clean-up on it.
void clean(const fs::path &root, bool with_entry) {
    fs::create_directories(root / "usr/lib/tmpfiles.d");
    fs::create_directories(root / "var/tmp");
    std::ofstream(root / "usr/lib/tmpfiles.d/tmp.conf") << kVarTmpRule;
    if (with_entry)
        fs::copy_file(TORVEL_TMPFILES_CONF, root / "usr/lib/tmpfiles.d/torvel-display.conf");
    for (const char *name : {"torvel_display.id", "other"}) {
        std::ofstream(root / "var/tmp" / name) << "00000201:0\n";
        age_days(root / "var/tmp" / name, 40);
    }
    const std::string cmd = "systemd-tmpfiles --clean --root='" + root.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

TEST(Tmpfiles, IdentityFileSurvivesTheAgeBasedCleanUpOfVarTmp) {
    if (std::system("command -v systemd-tmpfiles >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-tmpfiles is not installed";
    char tmpl[] = "/tmp/tmpfiles_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl;

    clean(dir / "with", true);
    EXPECT_TRUE(fs::exists(dir / "with/var/tmp/torvel_display.id"));
    EXPECT_FALSE(fs::exists(dir / "with/var/tmp/other")) << "the clean-up did not run";

    // Without the entry the same clean-up removes the identity file.
    clean(dir / "without", false);
    EXPECT_FALSE(fs::exists(dir / "without/var/tmp/torvel_display.id"));

    fs::remove_all(dir);
}

}  // namespace
