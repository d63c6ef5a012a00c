// A strict little JSON reader for the tests: it accepts exactly RFC 8259
// text (no trailing commas, no leading zeros, no raw control characters,
// valid UTF-8 and escapes) so that a line the console agent gets wrong fails
// to parse instead of being read leniently.
#ifndef VEXLIN_CONSOLE_TESTS_JSON_LITE_H
#define VEXLIN_CONSOLE_TESTS_JSON_LITE_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace jsonlite {

struct Value {
    enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
    bool boolean = false;
    std::string text;  // a string's value, or a number as written
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;  // in order of appearance

    bool is_null() const { return type == kNull; }
    bool Has(const std::string& key) const {
        for (const auto& m : members)
            if (m.first == key) return true;
        return false;
    }
    // The member `key`, or a null value when the object has none.
    const Value& operator[](const std::string& key) const {
        for (const auto& m : members)
            if (m.first == key) return m.second;
        return Null();
    }
    const Value& operator[](std::size_t i) const { return i < items.size() ? items[i] : Null(); }
    std::size_t size() const { return type == kArray ? items.size() : members.size(); }
    std::int64_t Int() const { return type == kNumber ? std::strtoll(text.c_str(), nullptr, 10) : INT64_MIN; }
    double Double() const { return type == kNumber ? std::strtod(text.c_str(), nullptr) : 0.0; }
    const std::string& Str() const { return text; }

    static const Value& Null() {
        static const Value null;
        return null;
    }
};

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    // Parses the whole text as one value; false (with a message) on any flaw.
    bool Parse(Value* out, std::string* error) {
        pos_ = 0;
        error_.clear();
        SkipSpace();
        bool ok = ParseValue(out, 0);
        if (ok) {
            SkipSpace();
            if (pos_ != s_.size()) ok = Fail("text after the value");
        }
        if (!ok && error != nullptr) *error = error_ + " at offset " + std::to_string(pos_);
        return ok;
    }

private:
    bool Fail(const char* what) {
        if (error_.empty()) error_ = what;
        return false;
    }
    void SkipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool Literal(const char* word) {
        std::size_t n = std::char_traits<char>::length(word);
        if (s_.compare(pos_, n, word) != 0) return Fail("bad literal");
        pos_ += n;
        return true;
    }
    bool ParseValue(Value* v, int depth) {
        if (depth > 64) return Fail("nested too deeply");
        if (pos_ >= s_.size()) return Fail("unexpected end");
        char c = s_[pos_];
        if (c == 'n') {
            v->type = Value::kNull;
            return Literal("null");
        }
        if (c == 't') {
            v->type = Value::kBool;
            v->boolean = true;
            return Literal("true");
        }
        if (c == 'f') {
            v->type = Value::kBool;
            v->boolean = false;
            return Literal("false");
        }
        if (c == '"') {
            v->type = Value::kString;
            return ParseString(&v->text);
        }
        if (c == '[') return ParseArray(v, depth);
        if (c == '{') return ParseObject(v, depth);
        if (c == '-' || (c >= '0' && c <= '9')) return ParseNumber(v);
        return Fail("unexpected character");
    }
    bool Digits() {
        std::size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }
    bool ParseNumber(Value* v) {
        std::size_t start = pos_;
        if (s_[pos_] == '-') ++pos_;
        if (pos_ < s_.size() && s_[pos_] == '0') {
            ++pos_;
        } else if (!Digits()) {
            return Fail("bad number");
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!Digits()) return Fail("bad fraction");
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!Digits()) return Fail("bad exponent");
        }
        v->type = Value::kNumber;
        v->text = s_.substr(start, pos_ - start);
        return true;
    }
    static void PutUtf8(std::string* out, std::uint32_t cp) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool Hex4(std::uint32_t* out) {
        if (pos_ + 4 > s_.size()) return Fail("short \\u escape");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = s_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<std::uint32_t>(c - 'A' + 10);
            else
                return Fail("bad \\u escape");
        }
        *out = v;
        return true;
    }
    bool Utf8(std::string* out) {
        const unsigned char b = static_cast<unsigned char>(s_[pos_]);
        std::size_t n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (n == 0 || pos_ + n > s_.size()) return Fail("invalid UTF-8");
        std::uint32_t cp = b & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
        for (std::size_t i = 1; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(s_[pos_ + i]);
            if ((c & 0xC0) != 0x80) return Fail("invalid UTF-8");
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return Fail("invalid UTF-8");
        out->append(s_, pos_, n);
        pos_ += n;
        return true;
    }
    bool ParseString(std::string* out) {
        ++pos_;  // opening quote
        out->clear();
        while (true) {
            if (pos_ >= s_.size()) return Fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return Fail("raw control character in string");
            if (c >= 0x80) {
                if (!Utf8(out)) return false;
                continue;
            }
            if (c != '\\') {
                *out += static_cast<char>(c);
                ++pos_;
                continue;
            }
            if (++pos_ >= s_.size()) return Fail("unterminated escape");
            char e = s_[pos_++];
            switch (e) {
                case '"':
                    *out += '"';
                    break;
                case '\\':
                    *out += '\\';
                    break;
                case '/':
                    *out += '/';
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'n':
                    *out += '\n';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'u': {
                    std::uint32_t cp;
                    if (!Hex4(&cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        std::uint32_t low;
                        if (s_.compare(pos_, 2, "\\u") != 0) return Fail("lone surrogate");
                        pos_ += 2;
                        if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return Fail("lone surrogate");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return Fail("lone surrogate");
                    }
                    PutUtf8(out, cp);
                    break;
                }
                default:
                    return Fail("bad escape");
            }
        }
    }
    bool ParseArray(Value* v, int depth) {
        v->type = Value::kArray;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            Value item;
            SkipSpace();
            if (!ParseValue(&item, depth + 1)) return false;
            v->items.push_back(std::move(item));
            SkipSpace();
            if (pos_ >= s_.size()) return Fail("unterminated array");
            if (s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            if (s_[pos_++] != ',') return Fail("expected , or ]");
        }
    }
    bool ParseObject(Value* v, int depth) {
        v->type = Value::kObject;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        while (true) {
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("expected a key");
            std::string key;
            if (!ParseString(&key)) return false;
            if (v->Has(key)) return Fail("duplicate key");
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_++] != ':') return Fail("expected :");
            SkipSpace();
            Value member;
            if (!ParseValue(&member, depth + 1)) return false;
            v->members.emplace_back(std::move(key), std::move(member));
            SkipSpace();
            if (pos_ >= s_.size()) return Fail("unterminated object");
            if (s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            if (s_[pos_++] != ',') return Fail("expected , or }");
        }
    }

    const std::string& s_;
    std::size_t pos_ = 0;
    std::string error_;
};

inline bool Parse(const std::string& text, Value* out, std::string* error) { return Parser(text).Parse(out, error); }

}  // namespace jsonlite

#endif  // VEXLIN_CONSOLE_TESTS_JSON_LITE_H
