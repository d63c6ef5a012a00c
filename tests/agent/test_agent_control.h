/* The test agent module as a test sees it: an agent module written only from
 * the module contract and the public headers, built as the variants that
 * tests/agent/CMakeLists.txt lists. It offers the library table (1730002,
 * level 6), the version-only tables (1560001, 1330002, level 5), the agent
 * table and the five extension tables (level 6); slot n answers its table's
 * base below plus n. Every call goes into the record, a library of its own
 * that outlives the module being closed.
 *
 * User variables steer it (names ignore case; each initialize starts afresh):
 *   testagent_init_fail=CODE[:message]     initialize fails so (strtoul base 0)
 *   testagent_refuse=IFACE[,IFACE...]      get-library refuses these, answering
 *   testagent_refuse_result=CODE[:message] this (default 0xAFFE000C)
 *   testagent_refuse_from=N                get-library refuses its N-th and later calls
 *   testagent_junk_on_refuse=1             a refused or failed request writes
 *                                          TEST_AGENT_JUNK_POINTER to its outputs
 *   testagent_null_table=IFACE[,...]       success with a NULL table
 *   testagent_null_get_agent=1             library table without get-agent
 *   testagent_null_agent_functions=1       get-agent gives an agent, no table
 *   testagent_table_before_agent=1         get-agent writes the table, waits up
 *                                          to 200 ms for a slot call, then the agent
 *   testagent_unterminated=1               messages fill the buffer unterminated
 *   testagent_get_agent_fail=CODE[:message]
 *   testagent_version[_1560001|_1330002]=TEXT  version texts */
#ifndef VEXLIN_TEST_AGENT_CONTROL_H
#define VEXLIN_TEST_AGENT_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TEST_AGENT_MAX_EVENTS 1024
#define TEST_AGENT_MAX_ARGUMENTS 32
#define TEST_AGENT_ARGUMENT_LENGTH 256
#define TEST_AGENT_MAX_VALUES 6
#define TEST_AGENT_STUB_VERSION_SIZE 96

/* Slot n of the agent table answers 1000 + n; of an extension group, its base below plus n.
 * The groups: X(name, slot list, table type, interface, answer base). */
#define TEST_AGENT_AGENT_RESULT_BASE 1000
#define TEST_AGENT_EX_GROUP(X, name, NAME, base) \
    X(name, VEXLIN_EX_##NAME##_FUNCS, vexlin_abi_library_functions_ex_##name##_t, VEXLIN_ABI_INTERFACE_EX_##NAME, base)
#define TEST_AGENT_EX_GROUPS(X)                          \
    TEST_AGENT_EX_GROUP(X, metrics, METRICS, 2000)       \
    TEST_AGENT_EX_GROUP(X, span, SPAN, 3000)             \
    TEST_AGENT_EX_GROUP(X, techtype, TECHTYPE, 4000)     \
    TEST_AGENT_EX_GROUP(X, tracer_ext, TRACER_EXT, 5000) \
    TEST_AGENT_EX_GROUP(X, serverless, SERVERLESS, 6000)

/* The version text the library table reports unless testagent_version says otherwise. */
#define TEST_AGENT_DEFAULT_VERSION "9.8.7.20240102-030405"

/* Written into an out parameter when testagent_junk_on_refuse=1 and a request fails. */
#define TEST_AGENT_JUNK_POINTER ((const void*)(uintptr_t)0x5a5a5a50u)

/* Initialize, get-library (interface_id, level) and get-agent record as
 * values the message buffer's length and 1 when it was empty on entry. */
typedef enum test_agent_event_kind_t {
    TEST_AGENT_EVENT_INITIALIZE = 1,
    TEST_AGENT_EVENT_GET_LIBRARY,
    TEST_AGENT_EVENT_SHUTDOWN,
    /* interface_id: the table whose version function was called */
    TEST_AGENT_EVENT_GET_VERSION_STRING,
    TEST_AGENT_EVENT_GET_AGENT,
    /* slot, agent, values: the arguments after the agent object */
    TEST_AGENT_EVENT_AGENT_SLOT,
    /* interface_id of the extension table, slot, agent, values */
    TEST_AGENT_EVENT_EX_SLOT
} test_agent_event_kind_t;

typedef struct test_agent_event_t {
    test_agent_event_kind_t kind;
    uint32_t interface_id;
    uint32_t level;
    int32_t slot; /* -1 for entry points */
    const void* agent;
    size_t value_count;
    /* Integers widened (signed ones sign-extended), pointers as addresses;
     * a vexlin_string_t* is recorded as its address. */
    uint64_t values[TEST_AGENT_MAX_VALUES];
    /* Floating-point arguments, at the same index as in `values`. */
    double reals[TEST_AGENT_MAX_VALUES];
} test_agent_event_t;

typedef struct test_agent_control_t {
    /* Slot calls are recorded unless a test sets this (for loops that would
     * flood the record); entry points are always recorded. */
    int slots_unrecorded;
    /* Every call ever received, in order; only the first TEST_AGENT_MAX_EVENTS are kept. */
    size_t event_count;
    test_agent_event_t events[TEST_AGENT_MAX_EVENTS];
    /* Copies of the arguments of the latest initialize call. */
    size_t argument_count;
    char arguments[TEST_AGENT_MAX_ARGUMENTS][TEST_AGENT_ARGUMENT_LENGTH];
    /* The bytes of the stub version record of the latest get-agent call. */
    unsigned char stub_version[TEST_AGENT_STUB_VERSION_SIZE];
    /* The agent object the module handed out last. */
    const void* agent;
    /* Slot calls counted whether recorded or not, and those among them that
     * lacked the module's agent object (words: atomic without libatomic on
     * 32-bit targets). */
    size_t slot_calls;
    size_t slot_calls_without_agent;
} test_agent_control_t;

/* The record, and forgetting everything in it. */
test_agent_control_t* test_agent_control(void);
void test_agent_reset(void);

/* The module's side: appends one call (under the record's lock); counts a
 * slot call and tells whether to record it. */
void test_agent_record_event(const test_agent_event_t* event);
int test_agent_record_slot_call(int with_agent);

#ifdef __cplusplus
}

#include <dlfcn.h>

#include <string>
#include <utility>
#include <vector>

namespace test_agent {

inline test_agent_control_t& Control() { return *test_agent_control(); }

// The kept events, in order.
inline std::vector<test_agent_event_t> Events() {
    const test_agent_control_t& c = Control();
    const size_t n = c.event_count < TEST_AGENT_MAX_EVENTS ? c.event_count : TEST_AGENT_MAX_EVENTS;
    return std::vector<test_agent_event_t>(c.events, c.events + n);
}

inline std::vector<test_agent_event_t> Events(test_agent_event_kind_t kind) {
    std::vector<test_agent_event_t> out;
    for (const test_agent_event_t& e : Events())
        if (e.kind == kind) out.push_back(e);
    return out;
}

inline size_t Count(test_agent_event_kind_t kind) { return Events(kind).size(); }

// An entry point's (message buffer length, 1 if it was empty on entry).
using BufferSeen = std::pair<uint64_t, uint64_t>;
inline BufferSeen Buffer(const test_agent_event_t& e) { return {e.values[0], e.values[1]}; }

// "interface/level" for each library request, in order: easy to compare whole.
inline std::vector<std::string> LibraryRequests() {
    std::vector<std::string> out;
    for (const test_agent_event_t& e : Events(TEST_AGENT_EVENT_GET_LIBRARY))
        out.push_back(std::to_string(e.interface_id) + "/" + std::to_string(e.level));
    return out;
}

inline std::vector<std::string> Arguments() {
    const test_agent_control_t& c = Control();
    std::vector<std::string> out;
    for (size_t i = 0; i < c.argument_count && i < TEST_AGENT_MAX_ARGUMENTS; ++i) out.push_back(c.arguments[i]);
    return out;
}

// Whether the process still has the file open; does not open it.
inline bool IsLoaded(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

}  // namespace test_agent

#endif /* __cplusplus */

#endif /* VEXLIN_TEST_AGENT_CONTROL_H */
