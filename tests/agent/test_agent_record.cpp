// The record of the test agent module, in a library of its own so that it
// survives the module being closed. Writers of events lock; a test reads the
// record while nothing calls into the module.
#include <string.h>

#include <mutex>

#include "test_agent_control.h"

#define TEST_AGENT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::mutex s_mutex;
test_agent_control_t s_control;
}  // namespace

TEST_AGENT_EXPORT test_agent_control_t* test_agent_control(void) { return &s_control; }

TEST_AGENT_EXPORT void test_agent_reset(void) {
    std::lock_guard<std::mutex> guard(s_mutex);
    memset(&s_control, 0, sizeof s_control);
}

TEST_AGENT_EXPORT void test_agent_record_event(const test_agent_event_t* event) {
    std::lock_guard<std::mutex> guard(s_mutex);
    if (s_control.event_count < TEST_AGENT_MAX_EVENTS) s_control.events[s_control.event_count] = *event;
    ++s_control.event_count;
}

TEST_AGENT_EXPORT int test_agent_record_slot_call(int with_agent) {
    __atomic_add_fetch(&s_control.slot_calls, 1, __ATOMIC_RELEASE);
    if (!with_agent) __atomic_add_fetch(&s_control.slot_calls_without_agent, 1, __ATOMIC_RELAXED);
    return !__atomic_load_n(&s_control.slots_unrecorded, __ATOMIC_RELAXED);
}
