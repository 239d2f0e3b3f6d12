// Reading and writing the GVariant text form that gdbus prints and parses:
// enough of it for the answers of GNOME's display configuration interface.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torvel::xsession {

struct GValue {
    enum Kind { kString, kNumber, kBool, kTuple, kArray, kDict, kVariant };
    Kind kind = kTuple;
    std::string text;           // a string's content, a number's digits
    bool flag = false;          // a boolean
    std::vector<GValue> items;  // members; a dictionary's keys and values alternate
    std::string type;           // a type annotation in front ("uint32", "@a{sv}")

    const GValue *at(size_t i) const { return i < items.size() ? &items[i] : nullptr; }
    // A dictionary's value for a string key (a variant's content), or null.
    const GValue *lookup(std::string_view key) const;
};

// Parses one value (e.g. the whole answer of `gdbus call`). False on text it
// does not understand.
bool parse_gvariant(std::string_view text, GValue &out);

// A string as GVariant text: single-quoted, with ' and \ escaped.
std::string gvariant_quote(const std::string &s);

}  // namespace torvel::xsession
