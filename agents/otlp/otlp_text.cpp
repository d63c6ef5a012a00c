// Decoding the application's strings into UTF-8.
#include "otlp_text.h"

#include <cstdint>

namespace otlp {
namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Length of the valid UTF-8 sequence at p, or 0.
std::size_t ValidSequence(const unsigned char* p, std::size_t left) {
    unsigned char c = p[0];
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || n > left || (n == 2 && c < 0xC2)) return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    if (n == 3 && ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0))) return 0;
    if (n == 4 && ((c == 0xF0 && p[1] < 0x90) || c > 0xF4 || (c == 0xF4 && p[1] >= 0x90))) return 0;
    return n;
}

}  // namespace

std::string TextOf(const vexlin_string_t* s) {
    std::string out;
    if (s == nullptr || s->data == nullptr) return out;
    const unsigned char* p = static_cast<const unsigned char*>(s->data);
    std::size_t n = s->byte_length;
    switch (s->ccsid) {
        case VEXLIN_CCSID_ISO8859_1:
            for (std::size_t i = 0; i < n; ++i) AppendUtf8(out, p[i]);
            return out;
        case VEXLIN_CCSID_UTF16_BE:
        case VEXLIN_CCSID_UTF16_LE: {
            bool be = s->ccsid == VEXLIN_CCSID_UTF16_BE;
            for (std::size_t i = 0; i + 1 < n; i += 2) {
                std::uint32_t u = be ? (p[i] << 8 | p[i + 1]) : (p[i + 1] << 8 | p[i]);
                if (u >= 0xD800 && u < 0xDC00 && i + 3 < n) {
                    std::uint32_t lo = be ? (p[i + 2] << 8 | p[i + 3]) : (p[i + 3] << 8 | p[i + 2]);
                    if (lo >= 0xDC00 && lo < 0xE000) {
                        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                        i += 2;
                        continue;
                    }
                }
                AppendUtf8(out, u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
            }
            return out;
        }
        default:
            break;
    }
    out.reserve(n);
    for (std::size_t i = 0; i < n;) {
        std::size_t len = ValidSequence(p + i, n - i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
        }
    }
    return out;
}

}  // namespace otlp
