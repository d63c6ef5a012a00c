// The record of the test agent module, in a library of its own so that it
// survives the module being closed. Writers of events lock; a test reads the
// record while nothing calls into the module.
#include <stddef.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "test_agent_control.h"

#define TEST_AGENT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex s_mutex;
std::atomic<int> s_slot_recording{1};
test_agent_control_t s_control;

void reset() {
    std::lock_guard<std::mutex> guard(s_mutex);
    const size_t kept = offsetof(test_agent_control_t, event_count);
    memset(reinterpret_cast<char*>(&s_control) + kept, 0, sizeof s_control - kept);
    s_slot_recording = 1;
}
void set_slot_recording(int enabled) { s_slot_recording = enabled != 0 ? 1 : 0; }

// Static: a test may reach the record before any module is loaded.
struct control_setup {
    control_setup() {
        s_control.reset = reset;
        s_control.set_slot_recording = set_slot_recording;
    }
} s_control_setup;

}  // namespace

TEST_AGENT_EXPORT test_agent_control_t* test_agent_control(void) { return &s_control; }

TEST_AGENT_EXPORT void test_agent_record_event(const test_agent_event_t* event) {
    std::lock_guard<std::mutex> guard(s_mutex);
    if (s_control.event_count < TEST_AGENT_MAX_EVENTS) s_control.events[s_control.event_count] = *event;
    ++s_control.event_count;
}

TEST_AGENT_EXPORT int test_agent_record_slot_call(int with_agent) {
    __atomic_add_fetch(&s_control.slot_calls, 1, __ATOMIC_RELEASE);
    if (!with_agent) __atomic_add_fetch(&s_control.slot_calls_without_agent, 1, __ATOMIC_RELAXED);
    return s_slot_recording.load(std::memory_order_relaxed);
}
