// Decoding of the library's counted strings into UTF-8 and the records'
// arenas, the UTF-8, hex and JSON helpers the modules share, and the value
// builders the slots describe their calls with.
#include "kit_core.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace vexlin_kit {

char* Room(Arena& arena, std::size_t size) {
    if (arena.room - arena.used < size) {
        const std::size_t block = std::max<std::size_t>(size, 1024);
        arena.blocks.emplace_back(new char[block]);
        arena.region = arena.blocks.back().get();
        arena.room = block;
        arena.used = 0;
    }
    return (arena.region != nullptr ? arena.region : arena.bytes) + arena.used;
}

std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left) {
    const unsigned char b = p[0];
    std::size_t n = b < 0x80                 ? 1
                    : b >= 0xC2 && b <= 0xDF ? 2
                    : b >= 0xE0 && b <= 0xEF ? 3
                    : b >= 0xF0 && b <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || left < n) return 0;
    if (n == 1) return 1;
    std::uint32_t cp = b & (0xFF >> (n + 1));
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return n;
}

char* WriteHex(char* out, const unsigned char* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        *out++ = kDigits[bytes[i] >> 4];
        *out++ = kDigits[bytes[i] & 0xF];
    }
    return out;
}

void AppendHex(std::string& out, const unsigned char* bytes, std::size_t size) {
    const std::size_t at = out.size();
    out.resize(at + 2 * size);
    WriteHex(&out[at], bytes, size);
}

namespace {
template <typename Real>
void AppendReal(std::string& out, Real value) {
    if (std::isnan(value)) {
        out += "\"NaN\"";
    } else if (std::isinf(value)) {
        out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
        char text[64];
        out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    }
}
}  // namespace

void AppendJsonReal(std::string& out, double value) { AppendReal(out, value); }
void AppendJsonReal(std::string& out, float value) { AppendReal(out, value); }

void AppendJsonString(std::string& out, std::string_view text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            std::size_t n = vexlin_kit::Utf8SequenceLength(p + i, text.size() - i);
            out.append(n == 0 ? "\xEF\xBF\xBD" : text.substr(i, n));
            i += n == 0 ? 1 : n;
            continue;
        }
        const char* escaped = c == '"'    ? "\\\""
                              : c == '\\' ? "\\\\"
                              : c == '\n' ? "\\n"
                              : c == '\r' ? "\\r"
                              : c == '\t' ? "\\t"
                              : c == '\b' ? "\\b"
                              : c == '\f' ? "\\f"
                                          : nullptr;
        if (escaped != nullptr) {
            out += escaped;
        } else if (c < 0x20) {
            out += "\\u00";
            AppendHex(out, &c, 1);
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

std::string_view Keep(Arena& arena, std::string_view text) {
    char* to = Room(arena, text.size());
    if (!text.empty()) std::memcpy(to, text.data(), text.size());
    Claim(arena, text.size());
    return std::string_view(to, text.size());
}

namespace {

// Writes `cp` at `out`; returns the end.
char* AppendUtf8(char* out, std::uint32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Unpaired surrogates and a trailing odd byte become U+FFFD. A unit makes at
// most three bytes (a pair four), so `out` needs 3 * units + 3.
char* DecodeUtf16(const unsigned char* p, std::size_t bytes, bool big_endian, char* out) {
    const std::uint32_t kReplacement = 0xFFFD;
    const std::size_t units = bytes / 2;
    auto unit = [&](std::size_t i) -> std::uint32_t {
        return big_endian ? (std::uint32_t(p[2 * i]) << 8) | p[2 * i + 1]
                          : (std::uint32_t(p[2 * i + 1]) << 8) | p[2 * i];
    };
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            std::uint32_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out = AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        out = AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
    }
    if (bytes % 2 != 0) out = AppendUtf8(out, kReplacement);
    return out;
}

// How much of [begin, end) is left when cut to `limit` bytes on a UTF-8
// character boundary.
std::size_t CutLength(const char* begin, const char* end, std::size_t limit) {
    if (static_cast<std::size_t>(end - begin) <= limit) return static_cast<std::size_t>(end - begin);
    while (limit > 0 && (static_cast<unsigned char>(begin[limit]) & 0xC0) == 0x80) --limit;
    return limit;
}

Value Of(Value::Type type) {
    Value v;
    v.type = type;
    return v;
}

}  // namespace

void TextInto(Arena& arena, const vexlin_string_t* s, Str* out) {
    out->set = s != nullptr && s->data != nullptr;
    out->value = std::string_view();
    if (!out->set) return;
    const unsigned char* p = static_cast<const unsigned char*>(s->data);
    const std::size_t limit = arena.text_limit;
    // Each unit read makes a byte at least: what lies past `limit` units is
    // never read.
    const bool utf16 = s->ccsid == VEXLIN_CCSID_UTF16_BE || s->ccsid == VEXLIN_CCSID_UTF16_LE;
    const std::size_t unit = utf16 ? 2 : 1;
    const std::size_t n = s->byte_length / unit > limit ? limit * unit : s->byte_length;
    char* begin = nullptr;
    char* end = nullptr;
    switch (s->ccsid) {
        case VEXLIN_CCSID_UTF16_BE:
        case VEXLIN_CCSID_UTF16_LE:
            begin = Room(arena, n / 2 * 3 + 3);
            end = DecodeUtf16(p, n, s->ccsid == VEXLIN_CCSID_UTF16_BE, begin);
            break;
        case VEXLIN_CCSID_ISO8859_1:
            begin = end = Room(arena, 2 * n);
            for (std::size_t i = 0; i < n; ++i) end = AppendUtf8(end, p[i]);
            break;
        default: {
            const char* text = static_cast<const char*>(s->data);
            out->value = Keep(arena, std::string_view(text, CutLength(text, text + s->byte_length, limit)));
            return;
        }
    }
    const std::size_t size = CutLength(begin, end, limit);
    Claim(arena, size);
    out->value = std::string_view(begin, size);
}

Str TextOf(Arena& arena, const vexlin_string_t* s) {
    Str out;
    TextInto(arena, s, &out);
    return out;
}

Value ValueOf(const Arg& a) {
    Value out = Of(a.type);
    out.integer = a.integer;
    out.uinteger = a.uinteger;
    out.real = a.real;
    if (a.data != nullptr) out.text.assign(a.data, a.size == kUnknownSize ? std::strlen(a.data) : a.size);
    return out;
}

Value Pairs(const std::vector<StrPair>& pairs) {
    Value out = Of(Value::kArray);
    for (const StrPair& p : pairs) {
        Value pair = Of(Value::kArray);
        pair.items = {ValueOf(StrValue(p.name)), ValueOf(StrValue(p.value))};
        out.items.push_back(std::move(pair));
    }
    return out;
}

Value Attributes(const std::vector<Attribute>& attributes, std::size_t from) {
    Value out = Of(Value::kArray);
    for (std::size_t i = from; i < attributes.size(); ++i) {
        const Attribute& a = attributes[i];
        Value pair = Of(Value::kArray);
        pair.items.push_back(ValueOf(StrValue(a.key)));
        switch (a.type) {
            case Attribute::kInteger:
                pair.items.push_back(ValueOf(Int(a.integer)));
                break;
            case Attribute::kDouble:
            case Attribute::kFloat:
                pair.items.push_back(ValueOf(Real(a.real, a.type == Attribute::kFloat)));
                break;
            case Attribute::kBool:
                pair.items.push_back(ValueOf(BoolValue(a.integer != 0)));
                break;
            case Attribute::kString:
                pair.items.push_back(ValueOf(StrValue(a.text)));
                break;
        }
        out.items.push_back(std::move(pair));
    }
    return out;
}

}  // namespace vexlin_kit
