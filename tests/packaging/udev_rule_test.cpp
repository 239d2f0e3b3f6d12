// Runs the generated udev rule through the real `udevadm test`, with the
// system's own rules beside it, against USB devices that umockdev presents,
// and checks that exactly the daemon's USB ids (device_ids.h, which the daemon
// is compiled with) get access and start the service.
//
// udevadm writes its device database under /run/udev and symlinks under
// /dev/char: everything runs in a private mount namespace with /run, /dev and
// /etc/udev/rules.d replaced, so the host is left as it was.
#include <grp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device_ids.h"

#ifndef TORVEL_UDEV_RULE_PATH
#error "TORVEL_UDEV_RULE_PATH must name the generated rule"
#endif

namespace {

constexpr const char *kService = "torvel-displayd.service";
constexpr const char *kRuleName = "60-torvel-display.rules";

struct Device {
    std::string name;  // the case, as the test reports it
    int32_t vendor, product;
    std::string subsystem = "usb", devtype = "usb_device";
    std::string action = "add";
};

// What udevadm did for one device: the properties it ends with and the
// assignments our rule file made ("MODE 0660", "GROUP 46").
struct Outcome {
    std::map<std::string, std::string> properties;
    std::set<std::string> our_assignments;
};

std::string hex4(int32_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

std::string sys_path(size_t i) {
    return "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(i + 1);
}

// A umockdev device description (the format umockdev-record writes).
std::string describe(const std::vector<Device> &devices) {
    std::ostringstream s;
    for (size_t i = 0; i < devices.size(); ++i) {
        const Device &d = devices[i];
        const std::string num = std::to_string(i + 2);
        s << "P: " << sys_path(i) << "\n";
        if (d.devtype == "usb_device") s << "N: bus/usb/001/00" << num << "\n";
        s << "E: SUBSYSTEM=" << d.subsystem << "\nE: DEVTYPE=" << d.devtype << "\n";
        if (d.devtype == "usb_device") {
            s << "E: DEVNAME=/dev/bus/usb/001/00" << num << "\nE: BUSNUM=001\nE: DEVNUM=00" << num
              << "\nE: MAJOR=189\nE: MINOR=" << i + 1 << "\n";
        }
        s << "A: idVendor=" << hex4(d.vendor) << "\nA: idProduct=" << hex4(d.product)
          << "\nA: busnum=1\nA: devnum=" << num << "\n\n";
    }
    return s.str();
}

bool have(const char *tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class UdevadmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
        for (const char *tool : {"unshare", "umockdev-run", "udevadm"})
            if (!have(tool)) GTEST_SKIP() << tool << " is not installed";
        char tmpl[] = "/tmp/udev_rule_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // Runs `udevadm test` once per device, all in one namespace and one
    // umockdev testbed; returns the outcomes in the order of `devices`.
    std::vector<Outcome> run(const std::vector<Device> &devices) {
        {
            std::ofstream f(dir_ + "/devices.umockdev");
            f << describe(devices);
        }
        std::ostringstream tests;
        for (size_t i = 0; i < devices.size(); ++i) {
            tests << "echo '@@case " << i << "'; udevadm test --action=" << devices[i].action
                  << " /sys" << sys_path(i) << " 2>&1; ";
        }
        std::ofstream(dir_ + "/tests.sh") << tests.str();
        // The host's /dev stays reachable for the few nodes a program needs.
        std::ofstream(dir_ + "/namespace.sh")
            << "set -e\ncd '" << dir_
            << "'\nmkdir -p hostdev rules\ncp '" TORVEL_UDEV_RULE_PATH "' rules/" << kRuleName
            << "\nmount --rbind /dev hostdev\nmount -t tmpfs tmpfs /dev\n"
               "for n in null zero full random urandom; do touch /dev/$n; mount --bind hostdev/$n "
               "/dev/$n; done\nmount -t tmpfs tmpfs /run\nmount --bind rules /etc/udev/rules.d\n"
               "umockdev-run -d devices.umockdev -- sh tests.sh\n";
        const std::string cmd =
            "unshare -m --propagation private sh '" + dir_ + "/namespace.sh' 2>&1";
        std::vector<Outcome> out(devices.size());
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr) {
            ADD_FAILURE() << "cannot start: " << cmd;
            return out;
        }
        std::string all;
        std::array<char, 4096> chunk;
        while (fgets(chunk.data(), chunk.size(), p) != nullptr) all += chunk.data();
        EXPECT_EQ(pclose(p), 0) << all;
        std::istringstream lines(all);
        std::string line;
        Outcome *current = nullptr;
        const std::string ours = std::string("/etc/udev/rules.d/") + kRuleName + ":";
        while (std::getline(lines, line)) {
            if (line.rfind("@@case ", 0) == 0) {
                current = &out.at(std::stoul(line.substr(7)));
                continue;
            }
            if (current == nullptr) continue;
            const size_t at = line.find(ours);
            if (at != std::string::npos) {
                // "1-1: /etc/udev/rules.d/60-torvel-display.rules:24 MODE 0660"
                const size_t space = line.find(' ', at);
                if (space != std::string::npos)
                    current->our_assignments.insert(line.substr(space + 1));
                continue;
            }
            const size_t eq = line.find('=');
            if (eq != std::string::npos && eq > 0 && line.find(' ') > eq)
                current->properties[line.substr(0, eq)] = line.substr(eq + 1);
        }
        EXPECT_NE(all.find("Reading rules file: /etc/udev/rules.d/" + std::string(kRuleName)),
                  std::string::npos)
            << "udevadm did not read the rule:\n"
            << all;
        return out;
    }

    static bool serves(const Outcome &o) {
        auto wants = o.properties.find("SYSTEMD_WANTS");
        auto tags = o.properties.find("TAGS");
        return wants != o.properties.end() && wants->second.find(kService) != std::string::npos &&
               tags != o.properties.end() && tags->second.find(":systemd:") != std::string::npos;
    }

    std::string dir_;
};

TEST_F(UdevadmTest, EveryProductIdGetsAccessAndStartsTheServiceOnEveryEventButRemove) {
    std::vector<Device> devices;
    for (int32_t product : PRODUCT_ID)
        devices.push_back({"product " + hex4(product), VENDOR_ID, product});
    // systemd drops a device whose tag is missing from a later event, so every
    // event but "remove" must keep the tag.
    for (const char *action : {"change", "bind", "remove"}) {
        Device d{std::string("action ") + action, VENDOR_ID, PRODUCT_ID[0]};
        d.action = action;
        devices.push_back(d);
    }
    const std::vector<Outcome> out = run(devices);
    const group *plugdev = getgrnam("plugdev");
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(devices[i].name);
        if (devices[i].action == "remove") {
            EXPECT_FALSE(serves(out[i]));
            EXPECT_TRUE(out[i].our_assignments.empty());
            continue;
        }
        EXPECT_TRUE(serves(out[i]));
        if (devices[i].action != "add") continue;
        EXPECT_TRUE(out[i].our_assignments.count("MODE 0660"));
        if (plugdev != nullptr) {
            EXPECT_TRUE(out[i].our_assignments.count("GROUP " + std::to_string(plugdev->gr_gid)));
        }
    }
}

TEST_F(UdevadmTest, OtherDevicesAreLeftAlone) {
    std::set<int32_t> ours(std::begin(PRODUCT_ID), std::end(PRODUCT_ID));
    int32_t foreign_product = PRODUCT_ID[PID_NUM - 1] + 1;
    while (ours.count(foreign_product) != 0) ++foreign_product;
    std::vector<Device> devices = {
        {"foreign product", VENDOR_ID, foreign_product},
        {"foreign vendor", VENDOR_ID ^ 0x0100, PRODUCT_ID[0]},
    };
    // The device node is on the usb_device only.
    Device interface { "usb_interface", VENDOR_ID, PRODUCT_ID[0] };
    interface.devtype = "usb_interface";
    devices.push_back(interface);
    const std::vector<Outcome> out = run(devices);
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(devices[i].name);
        auto wants = out[i].properties.find("SYSTEMD_WANTS");
        EXPECT_TRUE(wants == out[i].properties.end() ||
                    wants->second.find(kService) == std::string::npos);
        EXPECT_TRUE(out[i].our_assignments.empty());
        // The device was processed at all (the case proves something).
        auto subsystem = out[i].properties.find("SUBSYSTEM");
        ASSERT_NE(subsystem, out[i].properties.end());
        EXPECT_EQ(subsystem->second, devices[i].subsystem);
    }
}

}  // namespace
