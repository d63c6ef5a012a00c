// Placeholder expansion: the sizing and filling calls agree, a small buffer
// gets a terminated prefix, and nothing is written past buffer_size.
#include <string.h>

#include "fuzz_input.h"
#include "vexlin_xstr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> lines = SplitLines(data, size);
    const std::string input = lines[0];
    std::vector<const char*> replacements;
    for (size_t i = 1; i < lines.size() && i <= 10; ++i) replacements.push_back(lines[i].c_str());
    // An empty entry stands for a NULL replacement.
    for (const char*& r : replacements)
        if (r[0] == '\0') r = nullptr;

    const vexlin_size_t needed =
        vexlin_xstr_expand(nullptr, 0, input.c_str(), replacements.data(), replacements.size());
    FUZZ_CHECK(needed >= 1);
    std::vector<char> full(needed + 16, '#');
    FUZZ_CHECK(vexlin_xstr_expand(full.data(), needed, input.c_str(), replacements.data(), replacements.size()) ==
               needed);
    FUZZ_CHECK(full[needed - 1] == '\0' && strlen(full.data()) == needed - 1);
    for (size_t i = needed; i < full.size(); ++i) FUZZ_CHECK(full[i] == '#');

    const vexlin_size_t small = size % (needed + 1);
    std::vector<char> part(small + 16, '#');
    FUZZ_CHECK(vexlin_xstr_expand(part.data(), small, input.c_str(), replacements.data(), replacements.size()) ==
               needed);
    for (size_t i = small; i < part.size(); ++i) FUZZ_CHECK(part[i] == '#');
    if (small != 0) {
        FUZZ_CHECK(part[small - 1] == '\0' || small == needed);
        FUZZ_CHECK(strncmp(part.data(), full.data(), small - 1) == 0);
    }
    return 0;
}
