// The libFuzzer targets, each built into a program of its own (FUZZ_TARGET
// names the function; the others are left unused). Inputs are split into
// NUL-free lines, from which the targets build command lines, variables and
// environments; a broken invariant aborts.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "vexlin/vexlin.h"
#include "vexlin_args.h"
#include "vexlin_stub_log.h"
#include "vexlin_xstr.h"

#define FUZZ_CHECK(c) \
    ((c) ? (void)0 : (fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #c), abort()))

std::vector<std::string> SplitLines(const uint8_t* data, size_t size) {
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

// Command-line processing followed by stripping: the program name is kept,
// the kept arguments stay in order, the count is consistent, and no SDK
// argument survives.
int fuzz_cmdline(const uint8_t* data, size_t size) {
    std::vector<std::string> args = SplitLines(data, size);
    if (args.size() > 64) args.resize(64);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    char terminator_marker[] = "terminator";
    argv.push_back(terminator_marker);
    const int argc = static_cast<int>(args.size());
    const std::vector<char*> original = argv;

    const vexlin_result_t rc = vexlin_stub_process_cmdline_args(argc, argv.data(), (size & 1) != 0);
    FUZZ_CHECK(rc == VEXLIN_SUCCESS || rc == VEXLIN_ERROR_INVALID_ARGUMENT || rc == VEXLIN_ERROR_ENTRY_EXISTS);

    int new_argc = argc;
    FUZZ_CHECK(vexlin_stub_strip_sdk_cmdline_args(&new_argc, argv.data()) == VEXLIN_SUCCESS);
    FUZZ_CHECK(argv[0] == original[0]);
    FUZZ_CHECK(argv[argc] == terminator_marker);
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (!vexlin_stub_is_sdk_cmdline_arg(original[i])) FUZZ_CHECK(argv[kept++] == original[i]);
    }
    FUZZ_CHECK(kept == new_argc);
    for (int i = new_argc; i < argc; ++i) FUZZ_CHECK(argv[i][0] == '\0' && argv[i] == argv[new_argc]);
    vexlin_stub_free_variables();
    return 0;
}

// Sequences of set and free checked against a plain model of the store:
// names match ignoring case, an entry keeps its place when replaced.
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

int fuzz_variables(const uint8_t* data, size_t size) {
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

// Placeholder expansion: the sizing and filling calls agree, a small buffer
// gets a terminated prefix, and nothing is written past buffer_size.
int fuzz_expand(const uint8_t* data, size_t size) {
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

// Level names: any text parses to -1 .. 8, and exactly the known names,
// in any letter case and with blanks or tabs around them, are recognised.
int fuzz_level_name(const uint8_t* data, size_t size) {
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

// Preparation from fuzzed user variables and KX_ environment never fails; its
// record has a module path, a level and flag in range, only assignments.
int fuzz_args_prepare(const uint8_t* data, size_t size) {
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FUZZ_TARGET(data, size); }
