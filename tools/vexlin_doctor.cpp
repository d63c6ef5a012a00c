// vexlin-doctor: tells whether an application started with the same --kx_
// arguments and environment would be monitored, and if not, exactly why.
// It prints the configuration the library will compute (agent active, module
// path and its source, log level, arguments forwarded to the agent module),
// loads the agent with the library's log at its finest level, and ends with
// one verdict line. The exit status is 0 only when the application would be
// monitored.
#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "vexlin/vexlin.h"

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

const char kProcessModuleName[] = "kx_agent_3bef2c2a0679493ea9440fba66a92b95";
const char kDefaultModuleFile[] = "libpelmoranloader.so";
const char kInitFlagsVariable[] = "VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS";
const char* const kEntryPoints[] = {"sdkagent_abi_initialize", "sdkagent_abi_get_library", "sdkagent_abi_shutdown"};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: vexlin-doctor [--quiet] [--kx_NAME=VALUE ...]\n"
                 "\n"
                 "Shows the configuration an application would get from the same --kx_ arguments\n"
                 "and KX_ environment variables (KX_AGENTACTIVE, KX_AGENTLIBRARY, KX_HOME,\n"
                 "KX_LOGLEVELSDK), loads the agent module with the library's log at its finest\n"
                 "level, and ends with one line: MONITORED or NOT MONITORED (reason).\n"
                 "\n"
                 "  --quiet, -q   print only the final line\n"
                 "\n"
                 "exit status: 0 monitored, 1 agent not active, 2 no agent module found,\n"
                 "3 agent module cannot be loaded, 4 not an agent module, 5 incompatible agent\n"
                 "module, 6 agent module refused, 7 other error\n");
}

bool g_quiet = false;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
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

// ---- The configuration, computed the way the library does ---------------

struct Setting {
    std::string value;
    std::string source;  // "--kx_name", "KX_NAME" or "default"
    bool set = false;    // false when the default applies
};

struct UserVariable {
    std::string text;  // name=value
    std::string name;
    std::string value;
};

// The user variables that --kx_ arguments store: the first occurrence of a
// name wins, as an application's vexlin_stub_process_cmdline_args(..., 0).
std::vector<UserVariable> g_user;

const UserVariable* FindUser(const char* name) {
    for (const UserVariable& v : g_user)
        if (strcasecmp(v.name.c_str(), name) == 0) return &v;
    return nullptr;
}

Setting Lookup(const char* user_name, const char* env_name, const char* default_value) {
    Setting s;
    if (const UserVariable* v = FindUser(user_name)) {
        s.value = v->value;
        s.source = std::string("--kx_") + v->name;
        s.set = true;
    } else if (const char* env = std::getenv(env_name)) {
        s.value = env;
        s.source = env_name;
        s.set = true;
    } else {
        s.value = default_value;
        s.source = "default";
    }
    return s;
}

// -1 when the word is none of the boolean words.
int BoolWord(const std::string& value) {
    static const std::pair<const char*, int> words[] = {{"true", 1}, {"false", 0}, {"on", 1}, {"off", 0},
                                                        {"yes", 1},  {"no", 0},    {"1", 1},  {"0", 0}};
    for (const auto& w : words)
        if (strcasecmp(value.c_str(), w.first) == 0) return w.second;
    return -1;
}

int LevelFromName(std::string name) {
    static const char* const names[] = {"finest",  "finer",  "fine",  "config", "info",
                                        "warning", "severe", "debug", "none"};
    std::size_t begin = name.find_first_not_of(" \t");
    if (begin == std::string::npos) return -1;
    std::size_t end = name.find_last_not_of(" \t");
    name = name.substr(begin, end - begin + 1);
    for (int i = 0; i < 9; ++i)
        if (strcasecmp(name.c_str(), names[i]) == 0) return i;
    return -1;
}

const char* LevelName(int level) {
    static const char* const names[] = {"finest",  "finer",  "fine",  "config", "info",
                                        "warning", "severe", "debug", "none"};
    return level >= 0 && level <= 8 ? names[level] : "?";
}

bool IsPrivate(const std::string& name) {
    return strcasecmp(name.c_str(), "agentactive") == 0 || strcasecmp(name.c_str(), "agentlibrary") == 0 ||
           strcasecmp(name.c_str(), "loglevelsdk") == 0;
}

struct Configuration {
    Setting active;
    bool agent_active = true;
    Setting library;
    Setting home;
    bool derived = false;  // the module path was built from the home directory
    std::string module_path;
    Setting level;
    int log_level = -1;
    std::vector<std::string> forwarded;
};

Configuration Compute() {
    Configuration c;
    c.level = Lookup("loglevelsdk", "KX_LOGLEVELSDK", "");
    c.log_level = LevelFromName(c.level.value);
    c.active = Lookup("agentactive", "KX_AGENTACTIVE", "true");
    int word = BoolWord(c.active.value);
    c.agent_active = word < 0 ? true : word == 1;  // an unknown word means the default, true
    c.library = Lookup("agentlibrary", "KX_AGENTLIBRARY", "");
    c.module_path = c.library.value;
    if (c.module_path.empty()) {
        c.home = Lookup("home", "KX_HOME", "");
        if (!c.home.value.empty()) {
            c.derived = true;
            c.module_path = c.home.value + (c.home.value.back() == '/' ? "" : "/") + "agent/lib/" + kDefaultModuleFile;
        }
    }
    for (const UserVariable& v : g_user)
        if (!IsPrivate(v.name) && strcasecmp(v.name.c_str(), kInitFlagsVariable) != 0) c.forwarded.push_back(v.text);
    c.forwarded.push_back(std::string(kInitFlagsVariable) + "=0");
    return c;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

std::string Describe(const Setting& s) { return s.set ? "from " + s.source : std::string("default"); }

enum class FileState { kNone, kMissing, kNotAFile, kUnreadable, kPresent };

FileState Examine(const std::string& path, std::string* detail) {
    if (path.empty()) return FileState::kNone;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *detail = std::strerror(errno);
        return FileState::kMissing;
    }
    if (!S_ISREG(st.st_mode)) return FileState::kNotAFile;
    if (access(path.c_str(), R_OK) != 0) {
        *detail = std::strerror(errno);
        return FileState::kUnreadable;
    }
    return FileState::kPresent;
}

void PrintConfiguration(const Configuration& c, FileState file, const std::string& file_detail) {
    Say("configuration (what the library will compute)\n");
    std::string active_note;
    if (c.active.set && BoolWord(c.active.value) < 0)
        active_note = " (" + Quoted(c.active.value) + " is no boolean word, so the default applies)";
    Say("  agent active    %s, %s%s\n", c.agent_active ? "true" : "false", Describe(c.active).c_str(),
        active_note.c_str());

    if (c.module_path.empty()) {
        Say("  agent module    none configured (set KX_AGENTLIBRARY or KX_HOME, or pass --kx_agentlibrary=PATH)\n");
    } else if (c.derived) {
        Say("  agent module    %s\n                  derived from the home directory %s (%s)%s\n",
            c.module_path.c_str(), Quoted(c.home.value).c_str(), Describe(c.home).c_str(),
            c.library.set ? (", because " + c.library.source + " is empty").c_str() : "");
    } else {
        Say("  agent module    %s\n                  %s\n", c.module_path.c_str(), Describe(c.library).c_str());
    }
    switch (file) {
        case FileState::kNone:
            break;
        case FileState::kMissing:
            Say("  module file     does not exist (%s)\n", file_detail.c_str());
            break;
        case FileState::kNotAFile:
            Say("  module file     is not a regular file\n");
            break;
        case FileState::kUnreadable:
            Say("  module file     cannot be read (%s)\n", file_detail.c_str());
            break;
        case FileState::kPresent:
            Say("  module file     exists and is readable\n");
            break;
    }
    Say("                  (a module that a process agent provides as %s is tried first)\n", kProcessModuleName);

    std::string level_note;
    if (c.level.set && c.log_level < 0)
        level_note = " (" + Quoted(c.level.value) +
                     " is no level name: finest, finer, fine, config, info, warning, "
                     "severe, debug, none)";
    Say("  SDK log level   %s, %s%s\n", c.log_level < 0 ? "none (not configured)" : LevelName(c.log_level),
        Describe(c.level).c_str(), level_note.c_str());
    Say("  forwarded to the agent module:\n");
    for (const std::string& a : c.forwarded) Say("    %s\n", a.c_str());
    Say("    (the last one is added by vexlin_initialize)\n");
}

// ---- Load attempt ------------------------------------------------------------

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
        if (it->level != level || it->message.rfind(prefix, 0) != 0) continue;
        std::size_t colon = it->message.find(": ");
        return colon == std::string::npos ? it->message : it->message.substr(colon + 2);
    }
    return std::string();
}

std::vector<std::string> MissingEntryPoints(const std::string& path, std::string* error) {
    std::vector<std::string> missing;
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* e = dlerror();
        *error = e != nullptr ? e : "cannot be opened";
        return missing;
    }
    for (const char* name : kEntryPoints)
        if (dlsym(handle, name) == nullptr) missing.push_back(name);
    dlclose(handle);
    return missing;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
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
        const char* arg = argv[i];
        if (vexlin_stub_is_sdk_cmdline_arg(arg)) continue;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            Usage(stdout);
            return 0;
        }
        if (std::strcmp(arg, "--quiet") == 0 || std::strcmp(arg, "-q") == 0) {
            g_quiet = true;
            continue;
        }
    }
    Say("vexlin-doctor: would an application started with these --kx_ arguments and this environment be "
        "monitored?\n\n");
    vexlin_stub_version_t version;
    vexlin_stub_get_version(&version);
    Say("library         libvexlin_shared %u.%u.%u\n", static_cast<unsigned>(version.version_major),
        static_cast<unsigned>(version.version_minor), static_cast<unsigned>(version.version_patch));

    // The application's own view of its arguments, checked one by one.
    bool arguments_ok = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!vexlin_stub_is_sdk_cmdline_arg(arg)) {
            if (std::strcmp(arg, "--quiet") != 0 && std::strcmp(arg, "-q") != 0)
                Say("note: ignoring '%s': only --kx_ arguments configure the library\n", arg);
            continue;
        }
        const char* text = arg + 5;
        const char* equals = std::strchr(text, '=');
        if (*text == '\0') continue;  // "--kx_" alone stores nothing
        if (equals == nullptr) {
            Say("warning: '%s' has no '=': an application's vexlin_stub_process_cmdline_args refuses it\n", arg);
            arguments_ok = false;
            continue;
        }
        UserVariable v{text, std::string(text, equals), equals + 1};
        if (FindUser(v.name.c_str()) != nullptr) {
            Say("warning: '%s' is ignored: the first --kx_%s wins\n", arg, v.name.c_str());
            continue;
        }
        g_user.push_back(v);
    }
    vexlin_result_t rc_args = vexlin_stub_process_cmdline_args(argc, argv, 0);
    if (rc_args != VEXLIN_SUCCESS)
        Say("vexlin_stub_process_cmdline_args: %s%s\n", ResultText(rc_args).c_str(),
            arguments_ok ? "" : " (see the warnings above)");
    Say("\n");

    const Configuration config = Compute();
    std::string file_detail;
    const FileState file = Examine(config.module_path, &file_detail);
    PrintConfiguration(config, file, file_detail);

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
    vexlin_result_t rc_shutdown = VEXLIN_SUCCESS;
    if (rc == VEXLIN_SUCCESS) rc_shutdown = vexlin_shutdown();
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
    vexlin_stub_set_logging_callback(nullptr);

    const bool from_process = Logged("Loaded agent module provided by process agent.");
    const std::string module =
        from_process ? std::string("provided by the process agent (") + kProcessModuleName + ")" : config.module_path;
    Say("\nresult\n");
    Say("  vexlin_initialize   %s\n", ResultText(rc).c_str());
    Say("  module found        %s\n", found ? "yes" : "no");
    Say("  compatible          %s\n", compatible ? "yes" : "no");
    Say("  module version      %s\n", agent_version.empty() ? "(unknown)" : agent_version.c_str());
    if (rc == VEXLIN_SUCCESS) Say("  vexlin_shutdown     %s\n", ResultText(rc_shutdown).c_str());

    if (rc == VEXLIN_SUCCESS) {
        return Finish(kMonitored, "MONITORED: agent module " + module + ", version '" + agent_version +
                                      "', was loaded and attached an agent");
    }
    if (rc == VEXLIN_ERROR_AGENT_NOT_ACTIVE) {
        return Finish(kNotActive, "NOT MONITORED (agent not active): agentactive is " + Quoted(config.active.value) +
                                      ", " + Describe(config.active));
    }
    if (rc == VEXLIN_ERROR_FORK_CHILD || rc == VEXLIN_ERROR_OUT_OF_MEMORY) {
        return Finish(kOtherError, "NOT MONITORED (error): vexlin_initialize returned " + ResultText(rc));
    }
    const std::string origin = config.derived       ? " (derived " + Describe(config.home) + ")"
                               : config.library.set ? " (" + Describe(config.library) + ")"
                                                    : "";
    if (!found) {
        if (config.module_path.empty()) {
            return Finish(kNoModule,
                          "NOT MONITORED (no agent module found): no module path is configured and no process agent "
                          "provides one; set KX_AGENTLIBRARY or KX_HOME, or pass --kx_agentlibrary=PATH");
        }
        if (file == FileState::kMissing) {
            return Finish(kNoModule,
                          "NOT MONITORED (no agent module found): " + config.module_path + " does not exist" + origin);
        }
        std::string why = Detail(VEXLIN_LOGGING_LEVEL_INFO, "Could not load agent module");
        if (why.empty()) why = Detail(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not load agent module");
        if (why.empty()) why = ResultText(rc);
        return Finish(kCannotLoad,
                      "NOT MONITORED (agent module cannot be loaded): " + config.module_path + origin + ": " + why);
    }
    if (!compatible) {
        if (!Logged("Initializing agent module...")) {
            std::string error;
            std::vector<std::string> missing =
                MissingEntryPoints(from_process ? std::string(kProcessModuleName) : config.module_path, &error);
            std::string what = missing.empty() ? Detail(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not load agent module")
                                               : "it lacks the entry point" +
                                                     std::string(missing.size() > 1 ? "s " : " ") + Join(missing);
            return Finish(kNotAnAgent, "NOT MONITORED (not an agent module): " + module + ": " + what);
        }
        if (Logged("probably incompatible") || Logged("Agent module version could not be determined")) {
            std::string why = Detail(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not initialize");
            return Finish(kIncompatible, "NOT MONITORED (incompatible agent module): " + module + ", version '" +
                                             (agent_version.empty() ? std::string("unknown") : agent_version) +
                                             "', does not offer what libvexlin_shared 1.6.1 needs: " +
                                             (why.empty() ? ResultText(rc) : why));
        }
        std::string why = Detail(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not initialize");
        return Finish(kRefused, "NOT MONITORED (agent module refused): " + module +
                                    " refused to start: " + (why.empty() ? ResultText(rc) : why));
    }
    std::string why = Detail(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not initialize agent");
    return Finish(kRefused, "NOT MONITORED (agent module refused): " + module +
                                " refused to attach an agent: " + (why.empty() ? ResultText(rc) : why));
}
