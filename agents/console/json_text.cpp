// JSON text for the console agent. Everything it writes must stay valid JSON
// whatever bytes an application hands over, so decoding never fails: bytes
// that do not form valid UTF-8 become U+FFFD.
#include "json_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace console {
namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
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

const std::uint32_t kReplacement = 0xFFFD;

// Length of the valid UTF-8 sequence at p (1 to 4), or 0 when it is not one;
// overlong forms, surrogates and values above U+10FFFF are invalid.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left) {
    unsigned char b = p[0];
    if (b < 0x80) return 1;
    std::size_t n;
    std::uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (left < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    if (cp > 0x10FFFF) return 0;
    return n;
}

std::string DecodeUtf16(const unsigned char* p, std::size_t bytes, bool big_endian) {
    std::string out;
    std::size_t units = bytes / 2;
    auto unit = [&](std::size_t i) -> std::uint32_t {
        return big_endian ? (std::uint32_t(p[2 * i]) << 8) | p[2 * i + 1]
                          : (std::uint32_t(p[2 * i + 1]) << 8) | p[2 * i];
    };
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            std::uint32_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
    }
    if (bytes % 2 != 0) AppendUtf8(out, kReplacement);
    return out;
}

}  // namespace

void AppendJsonString(std::string& out, const char* text, std::size_t length) {
    static const char kHex[] = "0123456789abcdef";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    out += '"';
    std::size_t i = 0;
    while (i < length) {
        unsigned char c = p[i];
        if (c >= 0x80) {
            std::size_t n = Utf8SequenceLength(p + i, length - i);
            if (n == 0) {
                AppendUtf8(out, kReplacement);
                ++i;
            } else {
                out.append(text + i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

void AppendJsonString(std::string& out, const std::string& text) { AppendJsonString(out, text.data(), text.size()); }

std::string TextOf(const vexlin_string_t* s) {
    if (s == nullptr || s->data == nullptr) return std::string();
    const unsigned char* p = static_cast<const unsigned char*>(s->data);
    switch (s->ccsid) {
        case VEXLIN_CCSID_UTF16_BE:
            return DecodeUtf16(p, s->byte_length, true);
        case VEXLIN_CCSID_UTF16_LE:
            return DecodeUtf16(p, s->byte_length, false);
        case VEXLIN_CCSID_ISO8859_1: {
            std::string out;
            for (std::size_t i = 0; i < s->byte_length; ++i) AppendUtf8(out, p[i]);
            return out;
        }
        default:
            return std::string(static_cast<const char*>(s->data), s->byte_length);
    }
}

std::string JsonOf(const vexlin_string_t* s) {
    if (s == nullptr || s->data == nullptr) return "null";
    std::string out;
    AppendJsonString(out, TextOf(s));
    return out;
}

namespace {
template <typename F>
std::string FloatingJson(F value) {
    if (std::isnan(value)) return "\"NaN\"";
    if (std::isinf(value)) return value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    // to_chars gives the shortest text that reads back exactly and ignores the
    // application's locale, which printf would not.
    char buffer[64];
    std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, r.ptr);
}
}  // namespace

std::string JsonOf(double value) { return FloatingJson(value); }
std::string JsonOf(float value) { return FloatingJson(value); }
std::string JsonOf(std::int64_t value) { return std::to_string(value); }
std::string JsonOf(std::uint64_t value) { return std::to_string(value); }
std::string JsonOf(bool value) { return value ? "true" : "false"; }

std::string HexJsonOf(const unsigned char* bytes, std::size_t size) {
    static const char kHex[] = "0123456789abcdef";
    if (bytes == nullptr) return "null";
    std::string out = "\"";
    for (std::size_t i = 0; i < size; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0xF];
    }
    out += '"';
    return out;
}

std::string PairsJsonOf(const vexlin_string_t* keys, const vexlin_string_t* values, std::size_t count) {
    return PairsJsonOf(keys, values, count, [](const vexlin_string_t& v) { return JsonOf(&v); });
}

}  // namespace console
