// Runs the installed udev rule against sample uevents with a small evaluator
// of the rule syntax it uses, and checks that exactly the daemon's USB ids
// (device_ids.h, which the daemon is compiled with) get access and start the
// service. The evaluator refuses syntax it does not model, so a rule that
// grows globs or alternatives fails here instead of being judged wrongly.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "device_ids.h"

#ifndef TORVEL_UDEV_RULE_PATH
#error "TORVEL_UDEV_RULE_PATH must name the generated rule"
#endif

namespace {

constexpr const char *kService = "torvel-displayd.service";

struct Item {
    std::string key;  // ACTION, SUBSYSTEM, ENV{X}, ATTR{X}, GOTO, LABEL, MODE, GROUP, TAG
    std::string op;   // == != = +=
    std::string value;
};
using Rule = std::vector<Item>;

struct Event {
    std::string action = "add";
    std::string subsystem = "usb";
    std::map<std::string, std::string> env{{"DEVTYPE", "usb_device"}};
    std::map<std::string, std::string> attr;
};

struct Outcome {
    std::set<std::string> tags;
    std::map<std::string, std::string> env;
    std::string mode, group;
};

std::string usb_id(int32_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

// Parses one `KEY op "value"` item (surrounding blanks allowed).
bool parse_item(std::string_view text, Item &item) {
    auto skip_blanks = [&text] {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
    };
    skip_blanks();
    size_t n = 0;
    while (n < text.size() && ((text[n] >= 'A' && text[n] <= 'Z') || text[n] == '_')) ++n;
    if (n == 0) return false;
    if (n < text.size() && text[n] == '{') {
        const size_t close = text.find('}', n);
        if (close == std::string_view::npos) return false;
        n = close + 1;
    }
    item.key = std::string(text.substr(0, n));
    text.remove_prefix(n);
    skip_blanks();
    size_t op = 0;
    while (op < text.size() && op < 2 &&
           std::string_view("=!+:").find(text[op]) != std::string_view::npos)
        ++op;
    item.op = std::string(text.substr(0, op));
    if (item.op != "==" && item.op != "!=" && item.op != "=" && item.op != "+=" && item.op != ":=")
        return false;
    text.remove_prefix(op);
    skip_blanks();
    if (text.empty() || text.front() != '"') return false;
    const size_t close = text.find('"', 1);
    if (close == std::string_view::npos) return false;
    item.value = std::string(text.substr(1, close - 1));
    text.remove_prefix(close + 1);
    skip_blanks();
    return text.empty();
}

bool parse_rules(const std::string &path, std::vector<Rule> &rules) {
    std::ifstream in(path);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        Rule rule;
        std::stringstream ss(line);
        std::string piece;
        // Values in this rule never contain commas, so splitting on them is exact.
        while (std::getline(ss, piece, ',')) {
            Item item;
            if (!parse_item(piece, item)) {
                ADD_FAILURE() << "line " << number << ": cannot parse '" << piece << "'";
                return false;
            }
            if (item.op == ":=" || item.value.find_first_of("*?[|") != std::string::npos) {
                ADD_FAILURE() << "line " << number << ": '" << piece
                              << "' uses syntax this test does not model";
                return false;
            }
            rule.push_back(item);
        }
        rules.push_back(rule);
    }
    return true;
}

std::optional<std::string> lookup(const Event &event, const std::string &key) {
    auto braced = [&](const char *prefix, const std::map<std::string, std::string> &map)
        -> std::optional<std::optional<std::string>> {
        std::string p = prefix;
        if (key.rfind(p + "{", 0) != 0) return std::nullopt;
        auto it = map.find(key.substr(p.size() + 1, key.size() - p.size() - 2));
        return it == map.end() ? std::optional<std::string>{}
                               : std::optional<std::string>{it->second};
    };
    if (key == "ACTION") return event.action;
    if (key == "SUBSYSTEM") return event.subsystem;
    if (auto v = braced("ENV", event.env)) return *v;
    if (auto v = braced("ATTR", event.attr)) return *v;
    ADD_FAILURE() << "match key " << key << " is not modelled";
    return std::nullopt;
}

Outcome evaluate(const std::vector<Rule> &rules, const Event &event) {
    Outcome out;
    std::string skip_to;
    for (const Rule &rule : rules) {
        if (rule.size() == 1 && rule[0].key == "LABEL") {
            if (rule[0].value == skip_to) skip_to.clear();
            continue;
        }
        if (!skip_to.empty()) continue;
        bool matched = true;
        for (const Item &item : rule) {
            if (item.op != "==" && item.op != "!=") continue;
            // An absent property equals only the empty string, as in udev.
            std::string have = lookup(event, item.key).value_or("");
            if ((have == item.value) != (item.op == "==")) matched = false;
        }
        if (!matched) continue;
        for (const Item &item : rule) {
            if (item.op == "==" || item.op == "!=") continue;
            if (item.key == "GOTO") {
                skip_to = item.value;
            } else if (item.key == "TAG" && item.op == "+=") {
                out.tags.insert(item.value);
            } else if (item.key == "MODE") {
                out.mode = item.value;
            } else if (item.key == "GROUP") {
                out.group = item.value;
            } else if (item.key.rfind("ENV{", 0) == 0) {
                std::string name = item.key.substr(4, item.key.size() - 5);
                std::string &v = out.env[name];
                v = item.op == "+=" && !v.empty() ? v + " " + item.value : item.value;
            } else {
                ADD_FAILURE() << "assignment " << item.key << item.op << " is not modelled";
            }
        }
    }
    EXPECT_TRUE(skip_to.empty()) << "GOTO to a missing LABEL " << skip_to;
    return out;
}

Event device_event(int32_t vendor, int32_t product) {
    Event e;
    e.attr["idVendor"] = usb_id(vendor);
    e.attr["idProduct"] = usb_id(product);
    return e;
}

bool serves(const Outcome &o) {
    auto wants = o.env.find("SYSTEMD_WANTS");
    return o.tags.count("systemd") == 1 && wants != o.env.end() &&
           wants->second.find(kService) != std::string::npos;
}

class UdevRule : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(parse_rules(TORVEL_UDEV_RULE_PATH, rules_)); }
    std::vector<Rule> rules_;
};

TEST_F(UdevRule, EveryProductIdGetsAccessAndStartsTheService) {
    for (int32_t product : PRODUCT_ID) {
        SCOPED_TRACE(usb_id(product));
        Outcome o = evaluate(rules_, device_event(VENDOR_ID, product));
        EXPECT_TRUE(serves(o));
        EXPECT_EQ(o.mode, "0660");
        EXPECT_EQ(o.group, "plugdev");
    }
}

// systemd drops a device whose tag is missing from a later event, so every
// event but "remove" must keep the tag.
TEST_F(UdevRule, ChangeAndBindEventsKeepTheSystemdTag) {
    for (const char *action : {"change", "bind", "unbind"}) {
        SCOPED_TRACE(action);
        Event e = device_event(VENDOR_ID, PRODUCT_ID[0]);
        e.action = action;
        EXPECT_TRUE(serves(evaluate(rules_, e)));
    }
    Event removed = device_event(VENDOR_ID, PRODUCT_ID[0]);
    removed.action = "remove";
    Outcome o = evaluate(rules_, removed);
    EXPECT_TRUE(o.tags.empty());
    EXPECT_TRUE(o.env.empty());
}

TEST_F(UdevRule, OtherDevicesAreLeftAlone) {
    std::set<int32_t> ours(std::begin(PRODUCT_ID), std::end(PRODUCT_ID));
    int32_t foreign_product = PRODUCT_ID[PID_NUM - 1] + 1;
    while (ours.count(foreign_product) != 0) ++foreign_product;

    std::vector<std::pair<std::string, Event>> cases;
    cases.emplace_back("foreign product", device_event(VENDOR_ID, foreign_product));
    cases.emplace_back("foreign vendor", device_event(VENDOR_ID ^ 0x0100, PRODUCT_ID[0]));
    Event interface = device_event(VENDOR_ID, PRODUCT_ID[0]);
    interface.env["DEVTYPE"] = "usb_interface";  // the device node is on the usb_device only
    cases.emplace_back("usb_interface", interface);
    Event other_subsystem = device_event(VENDOR_ID, PRODUCT_ID[0]);
    other_subsystem.subsystem = "hidraw";
    cases.emplace_back("other subsystem", other_subsystem);

    for (const auto &[name, event] : cases) {
        SCOPED_TRACE(name);
        Outcome o = evaluate(rules_, event);
        EXPECT_TRUE(o.tags.empty());
        EXPECT_TRUE(o.env.empty());
        EXPECT_TRUE(o.mode.empty());
    }
}

}  // namespace
