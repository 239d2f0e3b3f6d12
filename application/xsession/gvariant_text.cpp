#include "gvariant_text.h"

#include <cctype>

namespace torvel::xsession {
namespace {

class Parser {
  public:
    explicit Parser(std::string_view t) : t_(t) {}

    bool value(GValue &v, int depth = 0) {
        // gdbus nests a handful of levels; a bound keeps hostile text from
        // exhausting the stack.
        if (depth > 32) return false;
        blanks();
        annotation(v.type);
        blanks();
        if (eof()) return false;
        const char c = t_[pos_];
        if (c == '(') return members(v, GValue::kTuple, ')', depth);
        if (c == '[') return members(v, GValue::kArray, ']', depth);
        if (c == '{') return members(v, GValue::kDict, '}', depth);
        if (c == '<') {
            ++pos_;
            v.kind = GValue::kVariant;
            v.items.emplace_back();
            if (!value(v.items.back(), depth + 1)) return false;
            return expect('>');
        }
        if (c == '\'' || c == '"') return string(v);
        if (word("true")) return boolean(v, true);
        if (word("false")) return boolean(v, false);
        return numeral(v);
    }

    bool at_end() {
        blanks();
        return eof();
    }

  private:
    bool eof() const { return pos_ >= t_.size(); }
    void blanks() {
        while (!eof() && std::isspace(static_cast<unsigned char>(t_[pos_]))) ++pos_;
    }
    bool expect(char c) {
        blanks();
        if (eof() || t_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    bool word(std::string_view w) {
        if (t_.substr(pos_, w.size()) != w) return false;
        const size_t after = pos_ + w.size();
        if (after < t_.size() && std::isalnum(static_cast<unsigned char>(t_[after]))) return false;
        pos_ = after;
        return true;
    }
    // "uint32 7", "objectpath '/x'", "@a{sv} {}": a type in front of a value.
    void annotation(std::string &type) {
        if (!eof() && t_[pos_] == '@') {
            size_t end = pos_;
            while (end < t_.size() && !std::isspace(static_cast<unsigned char>(t_[end]))) ++end;
            type = std::string(t_.substr(pos_, end - pos_));
            pos_ = end;
            return;
        }
        for (std::string_view w : {"uint32", "int32", "uint64", "int64", "uint16", "int16", "byte",
                                   "double", "handle", "objectpath", "signature"}) {
            const size_t after = pos_ + w.size();
            if (t_.substr(pos_, w.size()) == w && after < t_.size() && t_[after] == ' ') {
                type = std::string(w);
                pos_ = after;
                return;
            }
        }
    }
    bool members(GValue &v, GValue::Kind kind, char close, int depth) {
        v.kind = kind;
        ++pos_;
        if (expect(close)) return true;
        for (;;) {
            v.items.emplace_back();
            if (!value(v.items.back(), depth + 1)) return false;
            if (kind == GValue::kDict) {
                if (!expect(':')) return false;
                v.items.emplace_back();
                if (!value(v.items.back(), depth + 1)) return false;
            }
            if (expect(close)) return true;
            if (!expect(',')) return false;
        }
    }
    bool string(GValue &v) {
        v.kind = GValue::kString;
        const char quote = t_[pos_++];
        while (!eof()) {
            char c = t_[pos_++];
            if (c == quote) return true;
            if (c == '\\') {
                if (eof()) return false;
                c = t_[pos_++];
                if (c == 'n')
                    c = '\n';
                else if (c == 't')
                    c = '\t';
            }
            v.text += c;
        }
        return false;
    }
    bool boolean(GValue &v, bool b) {
        v.kind = GValue::kBool;
        v.flag = b;
        return true;
    }
    bool numeral(GValue &v) {
        v.kind = GValue::kNumber;
        const size_t start = pos_;
        while (!eof() && (std::isalnum(static_cast<unsigned char>(t_[pos_])) || t_[pos_] == '.' ||
                          t_[pos_] == '-' || t_[pos_] == '+'))
            ++pos_;
        v.text = std::string(t_.substr(start, pos_ - start));
        return !v.text.empty();
    }

    std::string_view t_;
    size_t pos_ = 0;
};

}  // namespace

const GValue *GValue::lookup(std::string_view key) const {
    if (kind != kDict) return nullptr;
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
        if (items[i].kind == kString && items[i].text == key) {
            const GValue *v = &items[i + 1];
            return v->kind == kVariant && !v->items.empty() ? &v->items[0] : v;
        }
    }
    return nullptr;
}

bool parse_gvariant(std::string_view text, GValue &out) {
    Parser p(text);
    return p.value(out) && p.at_end();
}

std::string gvariant_quote(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace torvel::xsession
