// JSON text for the console agent: escaping, decoding of the library's counted
// strings into UTF-8, and the number, hex and pair-list forms used in its lines.
#ifndef VEXLIN_CONSOLE_JSON_TEXT_H
#define VEXLIN_CONSOLE_JSON_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "vexlin/vexlin_string.h"

namespace console {

// Appends `text` (UTF-8, invalid sequences become U+FFFD) as a quoted JSON string.
void AppendJsonString(std::string& out, const char* text, std::size_t length);
void AppendJsonString(std::string& out, const std::string& text);

// A counted string as a JSON string, or null when the pointer or its data is NULL.
// UTF-16 and ISO 8859-1 are converted; every other encoding is read as UTF-8.
std::string JsonOf(const vexlin_string_t* s);

// The decoded text of a counted string (empty for NULL); used where the agent
// needs the text itself rather than its JSON form.
std::string TextOf(const vexlin_string_t* s);

std::string JsonOf(double value);  // non-finite values become "NaN", "Infinity", "-Infinity"
std::string JsonOf(float value);
std::string JsonOf(std::int64_t value);
std::string JsonOf(std::uint64_t value);
std::string JsonOf(bool value);

// Lower-case hex digits of `size` bytes, quoted; null for a NULL pointer.
std::string HexJsonOf(const unsigned char* bytes, std::size_t size);

// [[k,v],...] from two parallel arrays of counted strings.
std::string PairsJsonOf(const vexlin_string_t* keys, const vexlin_string_t* values, std::size_t count);

// [[k,v],...] with values rendered by `render`.
template <typename T, typename Render>
std::string PairsJsonOf(const vexlin_string_t* keys, const T* values, std::size_t count, Render render) {
    std::string out = "[";
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) out += ',';
        out += '[';
        out += JsonOf(keys + i);
        out += ',';
        out += render(values[i]);
        out += ']';
    }
    out += ']';
    return out;
}

}  // namespace console

#endif  // VEXLIN_CONSOLE_JSON_TEXT_H
