// Placeholder expansion: the sizing and filling calls agree, a small buffer
// gets a terminated prefix, and nothing is written past buffer_size.
#include <string.h>

#include "fuzz_input.h"
#include "vexlin_xstr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> lines = SplitLines(data, size);
    std::vector<const char*> replacements;
    // An empty line stands for a NULL replacement.
    for (size_t i = 1; i < lines.size() && i <= 10; ++i)
        replacements.push_back(lines[i].empty() ? nullptr : lines[i].c_str());
    const auto expand = [&](char* buffer, size_t length) {
        return vexlin_xstr_expand(buffer, length, lines[0].c_str(), replacements.data(), replacements.size());
    };

    const vexlin_size_t needed = expand(nullptr, 0);
    FUZZ_CHECK(needed >= 1);
    std::vector<char> full(needed + 16, '#');
    FUZZ_CHECK(expand(full.data(), needed) == needed);
    FUZZ_CHECK(full[needed - 1] == '\0' && strlen(full.data()) == needed - 1);
    for (size_t i = needed; i < full.size(); ++i) FUZZ_CHECK(full[i] == '#');

    const vexlin_size_t small = size % (needed + 1);
    std::vector<char> part(small + 16, '#');
    FUZZ_CHECK(expand(part.data(), small) == needed);
    for (size_t i = small; i < part.size(); ++i) FUZZ_CHECK(part[i] == '#');
    if (small != 0) {
        FUZZ_CHECK(part[small - 1] == '\0' || small == needed);
        FUZZ_CHECK(strncmp(part.data(), full.data(), small - 1) == 0);
    }
    return 0;
}
