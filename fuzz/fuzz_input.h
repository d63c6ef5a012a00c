// Splits a fuzzer's bytes into NUL-free strings, one per line, so a target
// can build command lines, variables and environments from them.
#ifndef VEXLIN_FUZZ_INPUT_H
#define VEXLIN_FUZZ_INPUT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

inline std::vector<std::string> SplitLines(const uint8_t* data, size_t size) {
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n') {
            lines.emplace_back();
        } else if (c != '\0') {
            lines.back().push_back(c);
        }
    }
    return lines;
}

#define FUZZ_CHECK(c) \
    ((c) ? (void)0 : (fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #c), abort()))

#endif  // VEXLIN_FUZZ_INPUT_H
