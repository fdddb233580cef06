// Reading logger output back in tests: a strict parser for the flat JSON objects that
// chirp writes (string, integer, boolean and null members), and helpers that capture what a
// FILE received. Anything that is not valid JSON makes the parse fail.
#ifndef KORVO_CHIRP_TESTS_JSON_LINES_H
#define KORVO_CHIRP_TESTS_JSON_LINES_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvo::testing {

struct LogValue {
    enum Type { Null, Bool, Number, String } type = Null;
    bool boolean = false;
    std::string text; // decoded string, or the number exactly as written
};

// Members in the order they were written.
struct LogLine {
    std::vector<std::pair<std::string, LogValue>> members;

    const LogValue *find(const std::string &key) const {
        for (const auto &member : members) {
            if (member.first == key) return &member.second;
        }
        return nullptr;
    }
    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (const auto &member : members) out.push_back(member.first);
        return out;
    }
    std::string str(const std::string &key) const {
        const LogValue *v = find(key);
        return v && v->type == LogValue::String ? v->text : std::string("<missing>");
    }
};

class FlatJsonParser {
  public:
    explicit FlatJsonParser(const std::string &text) : s_(text) {}

    std::optional<LogLine> parse() {
        LogLine line;
        skip_ws();
        if (!eat('{')) return std::nullopt;
        skip_ws();
        if (eat('}')) return finish(line);
        for (;;) {
            skip_ws();
            std::string key;
            if (!parse_string(key)) return std::nullopt;
            skip_ws();
            if (!eat(':')) return std::nullopt;
            skip_ws();
            LogValue value;
            if (!parse_value(value)) return std::nullopt;
            line.members.emplace_back(std::move(key), std::move(value));
            skip_ws();
            if (eat(',')) continue;
            if (eat('}')) return finish(line);
            return std::nullopt;
        }
    }

  private:
    std::optional<LogLine> finish(LogLine &line) {
        skip_ws();
        if (i_ != s_.size()) return std::nullopt;
        return std::move(line);
    }
    bool eat(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            i_++;
            return true;
        }
        return false;
    }
    bool eat_word(const char *word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(i_, n, word) != 0) return false;
        i_ += n;
        return true;
    }
    void skip_ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) i_++;
    }
    bool parse_value(LogValue &value) {
        if (i_ >= s_.size()) return false;
        char c = s_[i_];
        if (c == '"') {
            value.type = LogValue::String;
            return parse_string(value.text);
        }
        if (eat_word("null")) return true;
        if (eat_word("true")) {
            value.type = LogValue::Bool;
            value.boolean = true;
            return true;
        }
        if (eat_word("false")) {
            value.type = LogValue::Bool;
            return true;
        }
        value.type = LogValue::Number;
        return parse_number(value.text);
    }
    static bool is_digit(char c) { return c >= '0' && c <= '9'; }
    bool parse_number(std::string &out) {
        size_t start = i_;
        eat('-');
        if (eat('0')) {
        } else if (i_ < s_.size() && s_[i_] >= '1' && s_[i_] <= '9') {
            while (i_ < s_.size() && is_digit(s_[i_])) i_++;
        } else {
            return false;
        }
        if (eat('.')) {
            if (i_ >= s_.size() || !is_digit(s_[i_])) return false;
            while (i_ < s_.size() && is_digit(s_[i_])) i_++;
        }
        if (eat('e') || eat('E')) {
            if (!eat('+')) eat('-');
            if (i_ >= s_.size() || !is_digit(s_[i_])) return false;
            while (i_ < s_.size() && is_digit(s_[i_])) i_++;
        }
        out = s_.substr(start, i_ - start);
        return true;
    }
    bool hex4(uint32_t &out) {
        if (i_ + 4 > s_.size()) return false;
        out = 0;
        for (int k = 0; k < 4; k++) {
            char c = s_[i_++];
            out <<= 4;
            if (c >= '0' && c <= '9') out |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') out |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') out |= static_cast<uint32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }
    static void put_utf8(std::string &out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    // Strict UTF-8 check of one raw sequence; advances past it.
    bool raw_utf8(std::string &out) {
        auto b = [&](size_t k) { return static_cast<unsigned char>(s_[i_ + k]); };
        unsigned char b0 = b(0);
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) need = 2;
        else if (b0 >= 0xE0 && b0 <= 0xEF) {
            need = 3;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            need = 4;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else return false;
        if (i_ + need > s_.size() || b(1) < lo || b(1) > hi) return false;
        for (size_t k = 2; k < need; k++) {
            if (b(k) < 0x80 || b(k) > 0xBF) return false;
        }
        out.append(s_, i_, need);
        i_ += need;
        return true;
    }
    bool parse_string(std::string &out) {
        if (!eat('"')) return false;
        out.clear();
        while (i_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                i_++;
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                if (!raw_utf8(out)) return false;
                continue;
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                i_++;
                continue;
            }
            i_++;
            if (i_ >= s_.size()) return false;
            char e = s_[i_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (!eat('\\') || !eat('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                put_utf8(out, cp);
                break;
            }
            default: return false;
            }
        }
        return false;
    }

    const std::string &s_;
    size_t i_ = 0;
};

inline std::optional<LogLine> parse_log_line(const std::string &text) { return FlatJsonParser(text).parse(); }

// Splits output into lines; each must end in '\n' (a trailing partial line is returned as
// the last element without its newline, so callers notice it).
inline std::vector<std::string> split_lines(const std::string &output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(output.substr(start) + "<no newline>");
            break;
        }
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// An anonymous temporary file a logger writes to; contents() reads back all written so far.
class CapturedFile {
  public:
    CapturedFile() : file_(std::tmpfile()) {}
    ~CapturedFile() {
        if (file_) std::fclose(file_);
    }
    CapturedFile(const CapturedFile &) = delete;
    CapturedFile &operator=(const CapturedFile &) = delete;
    FILE *get() const { return file_; }
    std::string contents() const {
        std::fflush(file_);
        std::string out;
        std::rewind(file_);
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), file_)) > 0) out.append(chunk, n);
        std::fseek(file_, 0, SEEK_END);
        return out;
    }
    // Every line parsed; a line that does not parse yields an empty optional in its place.
    std::vector<std::optional<LogLine>> lines() const {
        std::vector<std::optional<LogLine>> out;
        for (const auto &text : split_lines(contents())) out.push_back(parse_log_line(text));
        return out;
    }

  private:
    FILE *file_;
};

} // namespace korvo::testing

#endif
