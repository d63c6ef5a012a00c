// Making text valid UTF-8, whatever its source: the application, the
// environment, the file system or a collector.
#include <cstddef>

#include "otlp_model.h"

namespace otlp {
namespace {

// Length of the valid UTF-8 sequence at p, or 0.
std::size_t ValidSequence(const unsigned char* p, std::size_t left) {
    unsigned char c = p[0];
    std::size_t n = c < 0x80                 ? 1
                    : c >= 0xC2 && c <= 0xDF ? 2
                    : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || n > left) return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    if (n == 3 && ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0))) return 0;
    if (n == 4 && ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] >= 0x90))) return 0;
    return n;
}

// Length of the valid beginning of `text`.
std::size_t ValidLength(std::string_view text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0, len = 0;
    while (i < text.size() && (len = p[i] < 0x80 ? 1 : ValidSequence(p + i, text.size() - i)) != 0) i += len;
    return i;
}

}  // namespace

bool IsValidUtf8(std::string_view text) { return ValidLength(text) == text.size(); }

std::string ValidUtf8(std::string_view text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = ValidLength(text), n = text.size();
    if (i == n) return std::string(text);  // the common case
    std::string out(text.substr(0, i));
    while (i < n) {
        std::size_t len = ValidSequence(p + i, n - i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

}  // namespace otlp
