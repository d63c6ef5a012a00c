// Sequences of set and free checked against a plain model of the store:
// names match ignoring case, an entry keeps its place when replaced.
#include <strings.h>

#include "fuzz_input.h"
#include "vexlin/vexlin.h"
#include "vexlin_args.h"

namespace {

std::string NameOf(const std::string& var) { return var.substr(0, var.find('=')); }

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsPrivate(const std::string& var) {
    const std::string name = NameOf(var);
    return SameName(name, "agentactive") || SameName(name, "agentlibrary") || SameName(name, "loglevelsdk");
}

std::vector<std::string> Stored() {
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    FUZZ_CHECK(vexlin_args_prepare(&args) == VEXLIN_SUCCESS);
    std::vector<std::string> out;
    for (vexlin_size_t i = 0; i < args.agent_args.count; ++i) out.push_back(args.agent_args.strings[i]);
    vexlin_args_free(&args);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> model;
    for (const std::string& line : SplitLines(data, size)) {
        // The first character picks the operation.
        if (line.empty()) continue;
        const char op = line[0];
        const std::string var = line.substr(1);
        if (op == '!') {
            vexlin_stub_free_variables();
            model.clear();
            continue;
        }
        const bool replace = op == '+';
        size_t i = 0;
        while (i < model.size() && !SameName(NameOf(model[i]), NameOf(var))) ++i;
        vexlin_result_t expected = VEXLIN_SUCCESS;
        if (var.find('=') == std::string::npos) {
            expected = var.empty() ? VEXLIN_SUCCESS : VEXLIN_ERROR_INVALID_ARGUMENT;
        } else if (i == model.size()) {
            model.push_back(var);
        } else if (replace) {
            model[i] = var;
        } else {
            expected = VEXLIN_ERROR_ENTRY_EXISTS;
        }
        FUZZ_CHECK(vexlin_stub_set_variable(var.c_str(), replace) == expected);
    }
    std::vector<std::string> expected;
    for (const std::string& v : model)
        if (!IsPrivate(v)) expected.push_back(v);
    FUZZ_CHECK(Stored() == expected);
    vexlin_stub_free_variables();
    return 0;
}
