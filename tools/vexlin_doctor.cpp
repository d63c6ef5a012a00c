// vexlin-doctor: tells whether an application started with the same --kx_
// arguments and environment would be monitored, and if not, why. The library
// itself stores the arguments, computes the configuration and loads the
// module; the doctor shows the library's log at its finest level, reads the
// configuration back from it, and ends with one verdict line. The exit status
// is 0 only when the application would be monitored.
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/vexlin.h"

extern char** environ;

namespace {

// Exit statuses, one per reason an application would not be monitored.
enum Verdict {
    kMonitored = 0,
    kNotActive = 1,
    kNoModule = 2,
    kCannotLoad = 3,
    kNotAnAgent = 4,
    kIncompatible = 5,
    kRefused = 6,
    kOtherError = 7,
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: vexlin-doctor [--quiet] [--kx_NAME=VALUE ...]\n"
                 "\n"
                 "Hands the --kx_ arguments to the library as an application would, loads the\n"
                 "agent module with the library's log at its finest level (the KX_ environment\n"
                 "variables apply as usual), shows the configuration the library logged, and\n"
                 "ends with one line: MONITORED or NOT MONITORED (reason). Of the SDK log level it\n"
                 "shows only the inputs: the doctor sets loglevelsdk=finest for its own run.\n"
                 "\n"
                 "  --quiet, -q   print only the final line\n"
                 "\n"
                 "exit status: 0 monitored, 1 agent not active, 2 no agent module found,\n"
                 "3 agent module cannot be loaded, 4 not an agent module, 5 incompatible agent\n"
                 "module, 6 agent module refused, 7 other error\n");
}

bool g_quiet = false;

// printf-style so that calls keep compile-time format checks.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    if (g_quiet) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

std::string ResultText(vexlin_result_t rc) {
    char text[256];
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(rc));
    return std::string(code) + " " + vexlin_stub_xstrerror(rc, text, sizeof text);
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// ---- The inputs, as given ----------------------------------------------------

// The --kx_ arguments the library stored and the KX_ environment variables.
std::vector<std::string> g_inputs;

// The inputs that name one of the settings, whichever of them the library
// used: the doctor shows them and leaves the choice to the library.
std::string InputsFor(std::initializer_list<const char*> names) {
    std::string out;
    for (const std::string& input : g_inputs) {
        const std::string key = input.substr(0, input.find('='));
        for (const char* name : names) {
            // Argument names ignore case; environment names are KX_ and the name in capitals.
            const bool match =
                StartsWith(key, "--kx_") ? strcasecmp(key.c_str() + 5, name) == 0 : key == "KX_" + Upper(name);
            if (match) out += (out.empty() ? "" : ", ") + input;
        }
    }
    return out;
}

std::string GivenAs(std::initializer_list<const char*> names) {
    const std::string inputs = InputsFor(names);
    return inputs.empty() ? std::string() : " (given as " + inputs + ")";
}

// ---- The library's log and the configuration it shows -------------------------

struct LogLine {
    vexlin_logging_level_t level;
    std::string message;
};
std::vector<LogLine> g_log;

void Capture(vexlin_logging_level_t level, const vexlin_xchar_t* message) {
    static const char* const padded[] = {"finest ", "finer  ", "fine   ", "config ", "info   ",
                                         "warning", "severe ", "debug  ", "none   "};
    g_log.push_back(LogLine{level, message});
    Say("  [%s] %s\n", level >= 0 && level <= 8 ? padded[level] : "???????", message);
}

bool Logged(const char* text) {
    for (const LogLine& l : g_log)
        if (l.message.find(text) != std::string::npos) return true;
    return false;
}

// The detail of the last message at `level` that starts with `prefix`: the
// text after its first ": ", which is the module's or the loader's own.
std::string Detail(vexlin_logging_level_t level, const char* prefix) {
    for (auto it = g_log.rbegin(); it != g_log.rend(); ++it) {
        if (it->level != level || !StartsWith(it->message, prefix)) continue;
        std::size_t colon = it->message.find(": ");
        return colon == std::string::npos ? it->message : it->message.substr(colon + 2);
    }
    return std::string();
}

struct Configuration {
    bool logged = false;  // the library logged its options
    std::string active;
    std::string module;
    std::vector<std::string> forwarded;
};

// Read from the library's "  Options:" block.
Configuration ConfigurationFromLog() {
    Configuration c;
    bool additional = false;
    for (const LogLine& l : g_log) {
        const std::string& m = l.message;
        if (l.level != VEXLIN_LOGGING_LEVEL_CONFIG) continue;
        if (m == "  Options:") {
            c = Configuration();
            c.logged = true;
            additional = false;
        } else if (!c.logged) {
            continue;
        } else if (additional && StartsWith(m, "    ")) {
            c.forwarded.push_back(m.substr(4));
        } else if (m == "  Additional options:") {
            additional = true;
        } else if (StartsWith(m, "    Agent active:  ")) {
            c.active = m.substr(19);
        } else if (StartsWith(m, "    Agent module:  '") && m.size() >= 21) {
            c.module = m.substr(20, m.size() - 21);
        } else {
            additional = false;
        }
    }
    return c;
}

// The loader's text of the library's load failure, without the module name
// the loader puts first.
std::string LoaderDetail(vexlin_logging_level_t level, const std::string& module) {
    std::string why = Detail(level, "Could not load agent module");
    if (StartsWith(why, (module + ": ").c_str())) why.erase(0, module.size() + 2);
    return why;
}

bool SearchedOnLoaderPath(const std::string& module) { return module.find('/') == std::string::npos; }

// Only a hint for a path with a slash: the loader opens exactly that file.
// Empty when the file is there and readable.
std::string FileProblem(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR;
        return std::string(missing ? "does not exist (" : "cannot be examined (") + std::strerror(errno) + ")";
    }
    if (!S_ISREG(st.st_mode)) return "is not a regular file";
    if (access(path.c_str(), R_OK) != 0) return std::string("cannot be read (") + std::strerror(errno) + ")";
    return std::string();
}

// Where the loader found a module it holds open under a bare name.
std::string LoadedFrom(const std::string& name) {
    void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return std::string();
    struct link_map* map = nullptr;
    std::string path;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) path = map->l_name;
    dlclose(handle);
    return path;
}

void PrintConfiguration(const Configuration& c) {
    Say("\nconfiguration (as the library logged it)\n");
    if (!c.logged) {
        Say("  the library logged no configuration\n");
        return;
    }
    Say("  agent active    %s%s\n", c.active.c_str(), GivenAs({"agentactive"}).c_str());
    if (c.module.empty()) {
        Say("  agent module    none configured (set KX_AGENTLIBRARY or KX_HOME, or pass --kx_agentlibrary=PATH)\n");
    } else {
        const std::string inputs = InputsFor({"agentlibrary", "home"});
        Say("  agent module    %s\n", c.module.c_str());
        if (!inputs.empty()) Say("                  given as %s\n", inputs.c_str());
        if (SearchedOnLoaderPath(c.module)) {
            const char* path = std::getenv("LD_LIBRARY_PATH");
            Say("                  a name without '/': searched on the loader path%s%s%s\n",
                path != nullptr ? " (LD_LIBRARY_PATH=" : "", path != nullptr ? path : "", path != nullptr ? ")" : "");
        } else {
            const std::string problem = FileProblem(c.module);
            Say("                  %s\n", problem.empty() ? "exists and is readable" : problem.c_str());
        }
    }
    Say("                  (a module that a process agent provides as %s is tried first)\n",
        VEXLIN_ABI_PROCESS_MODULE_NAME);
    const std::string level = InputsFor({"loglevelsdk"});
    Say("  SDK log level   %s\n", level.empty() ? "not set: the application's own level applies (initially none)"
                                                : ("given as " + level).c_str());
    Say("  forwarded to the agent module:\n");
    for (const std::string& a : c.forwarded) Say("    %s\n", a.c_str());
}

int Finish(Verdict verdict, const std::string& line) {
    if (!g_quiet) std::printf("\n");
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    vexlin_stub_free_variables();
    return verdict;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--quiet") == 0 || std::strcmp(argv[i], "-q") == 0) g_quiet = true;
    }
    Say("vexlin-doctor: would an application started with these --kx_ arguments and this environment be "
        "monitored?\n\n");
    vexlin_stub_version_t version;
    vexlin_stub_get_version(&version);
    char library[64];
    std::snprintf(library, sizeof library, "libvexlin_shared %u.%u.%u", static_cast<unsigned>(version.version_major),
                  static_cast<unsigned>(version.version_minor), static_cast<unsigned>(version.version_patch));
    Say("library         %s\n", library);

    // One argument at a time, as vexlin_stub_process_cmdline_args(argc, argv, 0)
    // does, so that each refusal can be named.
    Say("inputs\n");
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!vexlin_stub_is_sdk_cmdline_arg(arg)) {
            if (std::strcmp(arg, "--quiet") != 0 && std::strcmp(arg, "-q") != 0)
                Say("  note: ignoring '%s': only --kx_ arguments configure the library\n", arg);
            continue;
        }
        const vexlin_result_t rc = vexlin_stub_process_cmdline_arg(arg, 0);
        if (rc == VEXLIN_SUCCESS) {
            g_inputs.push_back(arg);
            Say("  %s\n", arg);
        } else {
            Say("  %s   not stored: %s\n", arg, ResultText(rc).c_str());
        }
    }
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "KX_", 3) != 0) continue;
        g_inputs.push_back(*e);
        Say("  %s\n", *e);
    }
    if (g_inputs.empty()) Say("  (no --kx_ arguments, no KX_ environment variables)\n");

    Say("\nload attempt (the library's log at level finest)\n");
    vexlin_stub_set_logging_callback(&Capture);
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_FINEST);
    // The load applies the configured level before it logs; this keeps it at
    // finest. The variable is the library's own and not forwarded.
    vexlin_stub_set_variable("loglevelsdk=finest", 1);
    const vexlin_result_t rc = vexlin_initialize();
    vexlin_bool_t found = 0, compatible = 0;
    vexlin_stub_get_agent_load_info(&found, &compatible);
    const std::string agent_version = vexlin_agent_get_version_string();
    const Configuration config = ConfigurationFromLog();
    const bool from_process = Logged("Loaded agent module provided by process agent.");
    const bool bare = !from_process && SearchedOnLoaderPath(config.module);
    std::string loaded_from;
    if (rc == VEXLIN_SUCCESS && bare) loaded_from = LoadedFrom(config.module);
    vexlin_result_t rc_shutdown = VEXLIN_SUCCESS;
    if (rc == VEXLIN_SUCCESS) rc_shutdown = vexlin_shutdown();
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
    vexlin_stub_set_logging_callback(nullptr);

    PrintConfiguration(config);
    Say("\nresult\n");
    Say("  vexlin_initialize   %s\n", ResultText(rc).c_str());
    Say("  module found        %s\n", found ? "yes" : "no");
    Say("  compatible          %s\n", compatible ? "yes" : "no");
    Say("  module version      %s\n", agent_version.empty() ? "(unknown)" : agent_version.c_str());
    if (rc == VEXLIN_SUCCESS) Say("  vexlin_shutdown     %s\n", ResultText(rc_shutdown).c_str());

    // How the verdict names the module; a load failure also names the inputs.
    std::string module = config.module;
    std::string loader_note;
    if (from_process) {
        module = std::string("provided by the process agent (") + VEXLIN_ABI_PROCESS_MODULE_NAME + ")";
    } else if (bare) {
        loader_note = "searched on the loader path" + (loaded_from.empty() ? "" : ": " + loaded_from);
    }
    const std::string inputs = InputsFor({"agentlibrary", "home"});
    if (rc == VEXLIN_SUCCESS) {
        return Finish(kMonitored, "MONITORED: agent module " + module +
                                      (loader_note.empty() ? "" : " (" + loader_note + ")") + ", version '" +
                                      agent_version + "', was loaded and attached an agent");
    }
    if (rc == VEXLIN_ERROR_AGENT_NOT_ACTIVE) {
        return Finish(kNotActive,
                      "NOT MONITORED (agent not active): agentactive is " + config.active + GivenAs({"agentactive"}));
    }
    if (!config.logged || rc == VEXLIN_ERROR_FORK_CHILD || rc == VEXLIN_ERROR_OUT_OF_MEMORY) {
        return Finish(kOtherError, "NOT MONITORED (error): vexlin_initialize returned " + ResultText(rc));
    }
    if (!found) {
        if (config.module.empty()) {
            return Finish(kNoModule,
                          "NOT MONITORED (no agent module found): no module path is configured and no process agent "
                          "provides one; set KX_AGENTLIBRARY or KX_HOME, or pass --kx_agentlibrary=PATH");
        }
        std::string notes = inputs.empty() ? "" : "given as " + inputs;
        if (!loader_note.empty()) notes += (notes.empty() ? "" : "; ") + loader_note;
        if (!notes.empty()) notes = " (" + notes + ")";
        if (!bare && StartsWith(FileProblem(config.module), "does not exist")) {
            return Finish(kNoModule,
                          "NOT MONITORED (no agent module found): " + config.module + " does not exist" + notes);
        }
        std::string why = LoaderDetail(VEXLIN_LOGGING_LEVEL_INFO, module);
        if (why.empty()) why = ResultText(rc);
        return Finish(kCannotLoad, "NOT MONITORED (agent module cannot be loaded): " + module + notes + ": " + why);
    }
    if (!compatible) {
        // Without all three entry points the library never starts the module.
        if (!Logged("Initializing agent module...")) {
            return Finish(kNotAnAgent, "NOT MONITORED (not an agent module): " + module + ": " +
                                           LoaderDetail(VEXLIN_LOGGING_LEVEL_SEVERE, module));
        }
        const std::string why = Detail(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not initialize");
        if (Logged("probably incompatible") || Logged("Agent module version could not be determined")) {
            return Finish(kIncompatible, "NOT MONITORED (incompatible agent module): " + module + ", version '" +
                                             (agent_version.empty() ? std::string("unknown") : agent_version) +
                                             "', does not offer what " + library +
                                             " needs: " + (why.empty() ? ResultText(rc) : why));
        }
        return Finish(kRefused, "NOT MONITORED (agent module refused): " + module +
                                    " refused to start: " + (why.empty() ? ResultText(rc) : why));
    }
    const std::string why = Detail(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not initialize agent");
    return Finish(kRefused, "NOT MONITORED (agent module refused): " + module +
                                " refused to attach an agent: " + (why.empty() ? ResultText(rc) : why));
}
