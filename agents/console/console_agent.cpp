// The console agent module: a sink of the agent kit that writes every call as
// one JSON line (README.md), and the tags and links that name the tracer and
// process they came from. The kit does everything else.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "kit.h"

#ifndef VEXLIN_CONSOLE_AGENT_VERSION
#define VEXLIN_CONSOLE_AGENT_VERSION "0.0.0"
#endif

namespace {

using vexlin_kit::Bytes;
using vexlin_kit::Handle;
using vexlin_kit::Value;

struct Console {
    int fd;
    bool own_fd;
    std::atomic<unsigned long> seq;  // calls arrive from every thread at once; a word is lock-free everywhere
};

// Lines written while the module is not started (a failed start, a shutdown
// too many) go to standard error, numbered here.
std::atomic<unsigned long> g_unstarted_seq{0};

// ---- JSON --------------------------------------------------------------------

void AppendValue(std::string& out, const Value& v) {
    switch (v.type) {
        case Value::kNull:
            out += "null";
            break;
        case Value::kInt:
            out += std::to_string(v.integer);
            break;
        case Value::kUInt:
            out += std::to_string(v.uinteger);
            break;
        case Value::kDouble:
            vexlin_kit::AppendJsonReal(out, v.real);
            break;
        case Value::kFloat:
            vexlin_kit::AppendJsonReal(out, static_cast<float>(v.real));
            break;
        case Value::kBool:
            out += v.integer != 0 ? "true" : "false";
            break;
        case Value::kString:
            vexlin_kit::AppendJsonString(out, v.text);
            break;
        case Value::kBytes:
            out += '"';
            vexlin_kit::AppendHex(out, reinterpret_cast<const unsigned char*>(v.text.data()), v.text.size());
            out += '"';
            break;
        case Value::kArray:
            out += '[';
            for (std::size_t i = 0; i < v.items.size(); ++i) {
                if (i != 0) out += ',';
                AppendValue(out, v.items[i]);
            }
            out += ']';
            break;
        case Value::kObject:
            out += '{';
            for (std::size_t i = 0; i < v.members.size(); ++i) {
                if (i != 0) out += ',';
                vexlin_kit::AppendJsonString(out, v.members[i].key);
                out += ':';
                AppendValue(out, v.members[i].value);
            }
            out += '}';
            break;
    }
}

void AppendMember(std::string& out, const std::string& key, const Value& value) {
    out += ',';
    vexlin_kit::AppendJsonString(out, key);
    out += ':';
    AppendValue(out, value);
}

Value UIntValue(std::uint64_t v) {
    Value out;
    out.type = Value::kUInt;
    out.uinteger = v;
    return out;
}

// ---- Tags and links ------------------------------------------------------------
// They name the tracer and the process they came from, so that a receiving
// side in the same output can be matched with its origin.

const unsigned char kByteTagMagic[4] = {'V', 'X', 'C', 'T'};
const unsigned char kLinkMagic[4] = {'V', 'X', 'C', 'L'};
constexpr std::size_t kTokenSize = 17;  // magic, format 1, tracer (8, big endian), pid (4, big endian)

Bytes MakeToken(const unsigned char* magic, Handle tracer) {
    Bytes out(magic, magic + 4);
    out.push_back(1);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(tracer >> (56 - 8 * i)));
    const std::uint32_t pid = static_cast<std::uint32_t>(::getpid());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(pid >> (24 - 8 * i)));
    return out;
}

bool ReadToken(const unsigned char* in, std::size_t size, const unsigned char* magic, Handle* tracer,
               std::uint32_t* pid) {
    if (in == nullptr || size != kTokenSize || std::memcmp(in, magic, 4) != 0 || in[4] != 1) return false;
    *tracer = 0;
    *pid = 0;
    for (int i = 0; i < 8; ++i) *tracer = (*tracer << 8) | in[5 + i];
    for (int i = 0; i < 4; ++i) *pid = (*pid << 8) | in[13 + i];
    return true;
}

bool ReadStringTag(const std::string& tag, Handle* tracer, std::uint32_t* pid) {
    unsigned long long t = 0;
    unsigned long p = 0;
    int used = 0;
    if (std::sscanf(tag.c_str(), "console;tracer=%llu;pid=%lu%n", &t, &p, &used) != 2) return false;
    *tracer = t;
    *pid = static_cast<std::uint32_t>(p);
    return static_cast<std::size_t>(used) == tag.size();
}

bool StringTag(void*, const vexlin_kit::Tracer& tracer, std::string* tag) {
    *tag = "console;tracer=" + std::to_string(tracer.handle) + ";pid=" + std::to_string(::getpid());
    return true;
}

bool ByteTag(void*, const vexlin_kit::Tracer& tracer, Bytes* tag) {
    *tag = MakeToken(kByteTagMagic, tracer.handle);
    return true;
}

bool MakeLink(void*, const vexlin_kit::Tracer* current, Bytes* link) {
    *link = MakeToken(kLinkMagic, current != nullptr ? current->handle : 0);
    return true;
}

bool ReadLink(void*, const unsigned char* bytes, std::size_t size, Handle* linked) {
    std::uint32_t pid = 0;
    return ReadToken(bytes, size, kLinkMagic, linked, &pid) && pid == static_cast<std::uint32_t>(::getpid());
}

// The origin of an incoming tag made by a console agent, {tracer, pid}.
void AppendOrigin(std::string& out, const vexlin_kit::Call& call) {
    if (std::strncmp(call.name, "tracer_set_incoming_", 20) != 0 || call.fields.empty()) return;
    const Value& tag = call.fields.back().value;
    Handle tracer = 0;
    std::uint32_t pid = 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(tag.text.data());
    if ((tag.type == Value::kString && ReadStringTag(tag.text, &tracer, &pid)) ||
        (tag.type == Value::kBytes && ReadToken(bytes, tag.text.size(), kByteTagMagic, &tracer, &pid))) {
        Value origin;
        origin.type = Value::kObject;
        origin.members = {{"tracer", UIntValue(tracer)}, {"pid", UIntValue(pid)}};
        AppendMember(out, "origin", origin);
    }
}

// ---- The sink -----------------------------------------------------------------

void WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;  // a broken output must not break the application
        done += static_cast<std::size_t>(n);
    }
}

bool Start(std::size_t count, const char* const* arguments, void** self, std::vector<vexlin_kit::Field>* report,
           std::string* error) {
    const char* path = vexlin_kit::FindArgument(count, arguments, "console_output");
    Console console = {STDERR_FILENO, false, {0}};
    std::string name = "stderr";
    if (path != nullptr && std::strcmp(path, "stdout") == 0) {
        console.fd = STDOUT_FILENO;
        name = path;
    } else if (path != nullptr && *path != '\0' && std::strcmp(path, "-") != 0 && std::strcmp(path, "stderr") != 0) {
        // Append, so that forked children and later runs add to the same
        // file without tearing each other's lines.
        console.fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (console.fd < 0) {
            *error = std::string("console agent: cannot open console_output '") + path + "': " + std::strerror(errno);
            return false;
        }
        console.own_fd = true;
        name = path;
    }
    Value output;
    output.type = Value::kString;
    output.text = name;
    report->push_back({"output", output});
    *self = new Console{console.fd, console.own_fd, {0}};
    return true;
}

void Stop(void* self, const std::vector<const vexlin_kit::Tracer*>&) {
    Console* console = static_cast<Console*>(self);
    if (console->own_fd) ::close(console->fd);
    delete console;
}

void OnCall(void* self, const vexlin_kit::Call& call, std::vector<std::string>* verbose) {
    Console* console = static_cast<Console*>(self);
    // A call's lines keep consecutive numbers, whatever other threads write.
    std::uint64_t seq = (console != nullptr ? console->seq : g_unstarted_seq).fetch_add(1 + call.misuses.size());
    std::string stamp = ",\"time_us\":" + std::to_string(call.time_us) + ",\"pid\":" + std::to_string(::getpid()) +
                        ",\"thread\":" + std::to_string(call.thread) + ",\"type\":\"";
    std::string name;
    vexlin_kit::AppendJsonString(name, call.name);

    std::string line = "{\"seq\":" + std::to_string(++seq) + stamp + call.type + "\",\"call\":" + name;
    for (const vexlin_kit::Field& f : call.fields) AppendMember(line, f.key, f.value);
    AppendOrigin(line, call);
    verbose->push_back(line + "}");
    for (const vexlin_kit::Misuse& m : call.misuses) {
        line = "{\"seq\":" + std::to_string(++seq) + stamp + "misuse\",\"call\":" + name + ",\"problem\":\"" +
               m.problem + "\",\"message\":";
        vexlin_kit::AppendJsonString(line, m.message);
        if (!m.handle_key.empty()) AppendMember(line, m.handle_key, UIntValue(m.handle));
        if (m.kind != nullptr) line += std::string(",\"kind\":\"") + m.kind + "\"";
        verbose->push_back(line + "}");
    }
    // One write keeps a call and its misuse lines together, also when
    // several processes append to the same file.
    std::string out;
    for (const std::string& l : *verbose) out += l + "\n";
    WriteAll(console != nullptr ? console->fd : STDERR_FILENO, out);
}

void ChildAfterFork(void* self) { static_cast<Console*>(self)->seq.store(0); }  // a child numbers its own lines

// Hooks it leaves null: the kit's record of each call is all it needs.
vexlin_kit::Sink ConsoleSink() {
    vexlin_kit::Sink sink = {};
    sink.name = "console agent";
    sink.version = "vexlin console agent " VEXLIN_CONSOLE_AGENT_VERSION;
    sink.start = Start;
    sink.stop = Stop;
    sink.on_call = OnCall;
    sink.outgoing_string_tag = StringTag;
    sink.outgoing_byte_tag = ByteTag;
    sink.make_in_process_link = MakeLink;
    sink.read_in_process_link = ReadLink;
    sink.child_after_fork = ChildAfterFork;
    return sink;
}
const vexlin_kit::Sink kConsoleSink = ConsoleSink();

}  // namespace

VEXLIN_KIT_ENTRY_POINTS(kConsoleSink)
