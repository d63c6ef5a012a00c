// Command-line processing followed by stripping: the program name is kept,
// the kept arguments stay in order, the count is consistent, and no SDK
// argument survives.
#include "fuzz_input.h"
#include "vexlin/vexlin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
