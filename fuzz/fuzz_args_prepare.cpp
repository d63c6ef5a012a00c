// Preparation from fuzzed user variables and KX_ environment: it never
// fails on well-formed input, and its record honours the precedence rules.
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "vexlin/vexlin.h"
#include "vexlin_args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kEnvironment[] = {"KX_AGENTACTIVE", "KX_AGENTLIBRARY", "KX_LOGLEVELSDK", "KX_HOME"};
    std::vector<std::string> lines = SplitLines(data, size);
    // Lines starting with a digit 0..3 set that environment variable
    // ("0" alone unsets it); others are user variables.
    for (const char* name : kEnvironment) unsetenv(name);
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] >= '0' && line[0] <= '3') {
            setenv(kEnvironment[line[0] - '0'], line.c_str() + 1, 1);
        } else {
            vexlin_stub_set_variable(line.c_str(), 0);
        }
    }
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    FUZZ_CHECK(vexlin_args_prepare(&args) == VEXLIN_SUCCESS);
    FUZZ_CHECK(args.agentlibrary != nullptr);
    FUZZ_CHECK(args.loglevelsdk >= -1 && args.loglevelsdk <= 8);
    FUZZ_CHECK(args.agentactive == 0 || args.agentactive == 1);
    for (vexlin_size_t i = 0; i < args.agent_args.count; ++i) FUZZ_CHECK(strchr(args.agent_args.strings[i], '='));
    vexlin_args_free(&args);
    vexlin_stub_free_variables();
    return 0;
}
