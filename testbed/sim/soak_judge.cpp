#include "soak_judge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "reference_block_encoder.h"
#include "stream_decoder.h"

namespace torvel::soak {

namespace {

namespace tb = torvel::testbed;

// A script line may start this much after its time and leave the run's end
// as planned: the plan keeps every display change at least 3 s before the
// end, and the tail is still for longer.
constexpr double kScriptLateTolerance = 1.0;

// Enough JSON for torvel-sim's report: objects, arrays, strings, numbers,
// true, false, null.
struct Json {
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject } type = Type::kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    const Json &operator[](const std::string &key) const {
        static const Json none;
        auto it = fields.find(key);
        return it == fields.end() ? none : it->second;
    }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string &s) : s_(s) {}
    bool read(Json *out) { return value(out) && (space(), i_ == s_.size()); }

  private:
    void space() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r'))
            ++i_;
    }
    bool literal(const char *word) {
        const std::string w(word);
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    bool string(std::string *out) {
        if (i_ >= s_.size() || s_[i_] != '"') return false;
        for (++i_; i_ < s_.size(); ++i_) {
            char c = s_[i_];
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c == '\\') {
                if (++i_ >= s_.size()) return false;
                c = s_[i_];
                if (c == 'n') {
                    c = '\n';
                } else if (c == 't') {
                    c = '\t';
                } else if (c == 'u') {
                    if (i_ + 4 >= s_.size()) return false;
                    c = static_cast<char>(std::strtol(s_.substr(i_ + 1, 4).c_str(), nullptr, 16));
                    i_ += 4;
                }
            }
            out->push_back(c);
        }
        return false;
    }
    bool value(Json *out) {
        space();
        if (i_ >= s_.size()) return false;
        const char c = s_[i_];
        if (c == '{') {
            out->type = Json::Type::kObject;
            ++i_;
            space();
            if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
            for (;;) {
                std::string key;
                space();
                if (!string(&key)) return false;
                space();
                if (i_ >= s_.size() || s_[i_++] != ':') return false;
                if (!value(&out->fields[key])) return false;
                space();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    continue;
                }
                return i_ < s_.size() && s_[i_++] == '}';
            }
        }
        if (c == '[') {
            out->type = Json::Type::kArray;
            ++i_;
            space();
            if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
            for (;;) {
                out->items.emplace_back();
                if (!value(&out->items.back())) return false;
                space();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    continue;
                }
                return i_ < s_.size() && s_[i_++] == ']';
            }
        }
        if (c == '"') {
            out->type = Json::Type::kString;
            return string(&out->text);
        }
        if (literal("true") || literal("false")) {
            out->type = Json::Type::kBool;
            out->boolean = s_[i_ - 1] == 'e' && s_[i_ - 2] == 'u';
            return true;
        }
        if (literal("null")) return true;
        char *end = nullptr;
        out->number = std::strtod(s_.c_str() + i_, &end);
        if (end == s_.c_str() + i_) return false;
        out->type = Json::Type::kNumber;
        i_ = static_cast<size_t>(end - s_.c_str());
        return true;
    }

    const std::string &s_;
    size_t i_ = 0;
};

std::string read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string fmt(const char *format, double a, double b = 0, double c = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

}  // namespace

tb::FrameBuffer own_coding(const tb::FrameBuffer &screen) {
    const tb::QuantBlob blob = tb::make_quant_blob(90);
    const int columns = (screen.width() + 31) / 32, rows = (screen.height() + 7) / 8;
    std::vector<tb::StreamRecord> records;
    uint8_t block[32 * 8 * 3];
    for (int by = 0; by < rows; ++by)
        for (int bx = 0; bx < columns; ++bx) {
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 32; ++x) {
                    // Outside the screen: its edge pixels, repeated.
                    const int sx = std::min(bx * 32 + x, screen.width() - 1);
                    const int sy = std::min(by * 8 + y, screen.height() - 1);
                    std::copy_n(screen.pixel(sx, sy), 3, &block[(y * 32 + x) * 3]);
                }
            std::string error;
            tb::StreamRecord r;
            r.block_index = static_cast<uint32_t>(by * columns + bx);
            r.data = tb::reference_encode_block(block, blob, &error);
            records.push_back(std::move(r));
        }
    tb::FrameBuffer decoded(screen.width(), screen.height());
    tb::StreamDecoder decoder;
    std::string error;
    decoder.set_quant_blob(1, blob, &error);
    decoder.decode(tb::build_stream(records, true), tb::TrailingByte::kRequired, decoded);
    return decoded;
}

namespace {

// Mean absolute difference over the pixels of one 32 x 8 block.
double block_difference(const tb::FrameBuffer &a, const tb::FrameBuffer &b, int bx, int by) {
    long sum = 0, n = 0;
    for (int y = by * 8; y < std::min(by * 8 + 8, a.height()); ++y)
        for (int x = bx * 32; x < std::min(bx * 32 + 32, a.width()); ++x)
            for (int c = 0; c < 3; ++c, ++n) sum += std::abs(a.pixel(x, y)[c] - b.pixel(x, y)[c]);
    return n ? static_cast<double>(sum) / static_cast<double>(n) : 0;
}

tb::FrameBuffer transformed(const tb::FrameBuffer &in, const std::string &how) {
    if (how != "rotate180" && how != "mirror") return in;
    tb::FrameBuffer out(in.width(), in.height());
    for (int y = 0; y < in.height(); ++y)
        for (int x = 0; x < in.width(); ++x) {
            const int sy = how == "rotate180" ? in.height() - 1 - y : y;
            std::copy_n(in.pixel(in.width() - 1 - x, sy), 3, out.pixel(x, y));
        }
    return out;
}

// The identity lines of the daemon's output: (position, id).
std::vector<std::pair<int, uint32_t>> printed_identities(const std::string &log) {
    std::vector<std::pair<int, uint32_t>> out;
    std::istringstream s(log);
    for (std::string line; std::getline(s, line);) {
        int slot = 0, position = 0;
        unsigned long id = 0;
        if (std::sscanf(line.c_str(), ">>> index: %d, position: %d, devID: 0x%lx", &slot, &position,
                        &id) == 3)
            out.push_back({position, static_cast<uint32_t>(id)});
    }
    return out;
}

}  // namespace

std::vector<std::string> judge_identities(const std::string &file,
                                          const std::optional<std::string> &initial,
                                          const std::string &log) {
    std::vector<std::string> failures;
    const auto printed = printed_identities(log);
    std::set<int> positions;
    for (const auto &[position, id] : printed) {
        if (position < 0) continue;
        if (!positions.insert(position).second)
            failures.push_back(fmt("position %.0f was given to two devices", position));
    }
    // A file the daemon did not rewrite may hold anything it was given.
    const bool untouched = file == initial.value_or("");
    std::map<uint32_t, int> lines;
    std::set<int> line_positions;
    bool malformed = false;
    int count = 0;
    std::istringstream s(file);
    for (std::string line; std::getline(s, line); ++count) {
        unsigned id = 0;
        int position = -1;
        char rest = 0;
        if (line.size() != 10 || line.find_first_not_of("0123456789abcdef") != 8 ||
            std::sscanf(line.c_str(), "%8x:%d%c", &id, &position, &rest) != 2 || position < 0 ||
            position > 3 || !lines.insert({id, position}).second ||
            !line_positions.insert(position).second) {
            malformed = true;
            if (!untouched) failures.push_back("identity file: bad line \"" + line + "\"");
        }
    }
    if (untouched && malformed) return failures;
    if (!file.empty() && file.back() != '\n')
        failures.push_back("identity file: no final line end");
    if (count > 4) failures.push_back(fmt("identity file: %.0f lines", count));
    // Each identity printed is in the file at the position printed; of two
    // devices that answer with one identity, only the first holds its entry.
    std::map<uint32_t, std::vector<int>> printed_positions;
    for (const auto &[position, id] : printed)
        if (position >= 0 && id != 0xFFFFFFFFu) printed_positions[id].push_back(position);
    for (const auto &[id, at] : printed_positions) {
        auto it = lines.find(id);
        char line[96];
        if (it == lines.end()) {
            std::snprintf(line, sizeof line, "identity %08x (position %d) is not in the file", id,
                          at[0]);
            failures.push_back(line);
        } else if (std::find(at.begin(), at.end(), it->second) == at.end()) {
            std::snprintf(line, sizeof line, "identity %08x: position %d printed, %d in the file",
                          id, at[0], it->second);
            failures.push_back(line);
        }
    }
    return failures;
}

std::vector<std::string> judge_picture(int index, const tb::FrameBuffer &screen,
                                       const tb::FrameBuffer &shown) {
    const std::string who = "device " + std::to_string(index) + ": ";
    if (screen.width() != shown.width() || screen.height() != shown.height())
        return {who + fmt("shows %.0fx%.0f", shown.width(), shown.height()) +
                fmt(" of a %.0fx%.0f screen", screen.width(), screen.height())};
    if (screen.empty()) return {};
    std::vector<std::string> failures;
    const tb::FrameBuffer own = own_coding(screen);
    const double own_psnr = std::min(tb::psnr(screen, own), 100.0);
    const double psnr = std::min(tb::psnr(screen, shown), 100.0);
    const double floor = std::min(35.0, own_psnr - 1.5);
    if (psnr < floor)
        failures.push_back(
            who + fmt("PSNR %.1f dB, below %.1f dB (own coding %.1f dB)", psnr, floor, own_psnr));
    int far = 0;
    for (int by = 0; by * 8 < screen.height(); ++by)
        for (int bx = 0; bx * 32 < screen.width(); ++bx) {
            const double d = block_difference(screen, shown, bx, by);
            const double o = block_difference(screen, own, bx, by);
            if (d > 2 * o + 10 && far++ < 3)
                failures.push_back(who + fmt("block %.0f,%.0f off by %.1f", bx, by, d) +
                                   fmt(" on average (own coding %.1f)", o));
        }
    if (far > 3) failures.push_back(who + fmt("%.0f blocks far off in all", far));
    return failures;
}

std::vector<std::string> judge(const Plan &plan, const std::string &dir, std::string *summary) {
    std::vector<std::string> failures;
    Json report;
    const std::string text = read_text(dir + "/report.json");
    if (text.empty() || !JsonReader(text).read(&report))
        return {"no readable report.json (torvel-sim failed)"};

    const int signal = static_cast<int>(report["signal"].number);
    if (signal == 9)
        failures.push_back("the daemon did not end after SIGINT (killed)");
    else if (signal != 0)
        failures.push_back(fmt("the daemon died by signal %.0f", signal));
    else if (!report["exited"].boolean)
        failures.push_back("the daemon did not end");
    else if (report["exit_status"].number != 0)
        failures.push_back(fmt("exit status %.0f", report["exit_status"].number));

    const bool early = report["ended_early"].boolean;
    const double ended_at = report["ended_at"].number;
    if (plan.end == End::kSigint && early)
        failures.push_back(fmt("the daemon ended by itself at %.2f s", ended_at));
    if (plan.end == End::kMust) {
        if (!early)
            failures.push_back("the daemon did not end by itself (" + plan.end_reason + ")");
        else if (ended_at < plan.end_after - 0.1 || ended_at > plan.end_by)
            failures.push_back(fmt("the daemon ended at %.2f s, expected between %.2f and %.2f s",
                                   ended_at, plan.end_after, plan.end_by));
    }

    // A script line that started late (torvel-sim itself slowed down, as a
    // sanitizer slows its drawing of a huge mode) or never ran leaves the
    // plan's account of the end unsure: what the devices show and whether
    // their displays are off are judged only for a script run on time.
    const double late = report["script_late_s"].number;
    const double unrun = report["script_lines_unrun"].number;
    const bool on_time = late <= kScriptLateTolerance && unrun == 0;

    int compared = 0, kept_off = 0;
    const std::string log = read_text(dir + "/daemon.log");
    if (!log.ends_with("\nQuenfa...\n")) failures.push_back("\"Quenfa...\" is not the last line");

    for (const Json &d : report["devices"].items) {
        const int index = static_cast<int>(d["index"].number);
        const std::string who = "device " + std::to_string(index) + ": ";
        if (d["format_errors"].number != 0 || d["decode_errors"].number != 0) {
            failures.push_back(who + fmt("%.0f format errors, %.0f decode errors",
                                         d["format_errors"].number, d["decode_errors"].number));
            for (const Json &v : d["violations"].items) failures.push_back("  " + v.text);
        }
        if (!on_time || index < 0 || static_cast<size_t>(index) >= plan.shows_screen.size())
            continue;
        // The pictures survive a display-off, so whether the display is on
        // is judged apart: off on an awake desktop, or on after its output
        // has long been off.
        const bool off = d["display_off"].boolean;
        if (plan.display_off_at_end[index] && d["output"].number >= 0) {
            ++kept_off;
            if (!off)
                failures.push_back(who + "display on, its output off since well before the end");
        }
        if (!plan.shows_screen[index]) continue;
        if (d["output"].number < 0) {
            if (!plan.screen_may_be_missing) failures.push_back(who + "has no screen");
            continue;
        }
        if (off) failures.push_back(who + "display off (0 x 0) while its output is on");
        tb::FrameBuffer screen, shown;
        std::string error;
        const std::string n = std::to_string(index);
        if (!tb::read_png(dir + "/screen-" + n + ".png", screen, &error) ||
            !tb::read_png(dir + "/device-" + n + ".png", shown, &error)) {
            failures.push_back(who + "no pictures: " + error);
            continue;
        }
        ++compared;
        for (std::string &f :
             judge_picture(index, transformed(screen, d["psnr_transform"].text), shown))
            failures.push_back(std::move(f));
    }

    for (std::string &f : judge_identities(report["identity_file"].text, plan.id_file, log))
        failures.push_back(std::move(f));
    if (summary != nullptr) {
        *summary =
            early ? fmt("ended by itself at %.2f s", ended_at) : std::string("ran until SIGINT");
        *summary += fmt(", %.0f of %.0f screens compared", compared,
                        static_cast<double>(report["devices"].items.size()));
        if (kept_off > 0) *summary += fmt(", displays off as their outputs: %.0f", kept_off);
        if (!on_time)
            *summary +=
                fmt(", script late by %.1f s with %.0f lines not run: pictures and "
                    "displays not judged",
                    late, unrun);
    }
    return failures;
}

}  // namespace torvel::soak
