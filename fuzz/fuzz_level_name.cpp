// Level names: any text parses to -1 .. 8, and exactly the known names,
// in any letter case and with blanks or tabs around them, are recognised.
#include <strings.h>

#include "fuzz_input.h"
#include "vexlin_stub_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = SplitLines(data, size)[0];
    const vexlin_logging_level_t level = vexlin_parse_logging_level_name(text.c_str());
    FUZZ_CHECK(level >= -1 && level <= 8);

    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    const std::string core = text.substr(begin, end - begin);
    static const char* const kNames[] = {"finest",  "finer",  "fine",  "config", "info",
                                         "warning", "severe", "debug", "none"};
    vexlin_logging_level_t expected = -1;
    for (int i = 0; i < 9; ++i)
        if (strcasecmp(core.c_str(), kNames[i]) == 0) expected = i;
    FUZZ_CHECK(level == expected);
    return 0;
}
