// Making text valid UTF-8, whatever its source: the application, the
// environment, the file system or a collector.
#include <cstddef>

#include "kit.h"
#include "otlp_model.h"

namespace otlp {
namespace {

// Length of the valid beginning of `text`.
std::size_t ValidLength(std::string_view text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0, len = 0;
    while (i < text.size() && (len = p[i] < 0x80 ? 1 : vexlin_kit::Utf8SequenceLength(p + i, text.size() - i)) != 0)
        i += len;
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
        std::size_t len = vexlin_kit::Utf8SequenceLength(p + i, n - i);
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
