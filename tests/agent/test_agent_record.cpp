// The record of the test agent module, kept in a library of its own so that
// it survives the module being closed. Writers lock; a test reads the record
// while nothing calls into the module, or after one of the waits below.
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "test_agent_record.h"

#define TEST_AGENT_EXPORT __attribute__((visibility("default")))

namespace {

test_agent_control_t s_control;
std::mutex s_mutex;
std::condition_variable s_changed;
bool s_init_blocked = false;
bool s_init_released = false;
std::atomic<int> s_slot_recording{1};
constexpr size_t kMaxRefused = 16;
uint32_t s_refused[kMaxRefused];
size_t s_refused_count = 0;

void reset_record() {
    std::lock_guard<std::mutex> guard(s_mutex);
    s_control.event_count = 0;
    memset(s_control.events, 0, sizeof(s_control.events));
    s_control.argument_count = 0;
    memset(s_control.arguments, 0, sizeof(s_control.arguments));
    memset(s_control.stub_version, 0, sizeof(s_control.stub_version));
    s_control.agent = nullptr;
    s_control.agent_functions = nullptr;
    __atomic_store_n(&s_control.slot_calls, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&s_control.slot_calls_without_agent, 0, __ATOMIC_RELAXED);
    s_init_blocked = false;
    s_init_released = false;
    s_slot_recording.store(1);
    s_refused_count = 0;
}

void wait_until_init_blocked() {
    std::unique_lock<std::mutex> lock(s_mutex);
    s_changed.wait(lock, [] { return s_init_blocked; });
}

void release_init() {
    std::lock_guard<std::mutex> guard(s_mutex);
    s_init_released = true;
    s_changed.notify_all();
}

void set_slot_recording(int enabled) { s_slot_recording.store(enabled != 0 ? 1 : 0); }

void refuse_interface(uint32_t interface_id) {
    std::lock_guard<std::mutex> guard(s_mutex);
    if (s_refused_count < kMaxRefused) {
        s_refused[s_refused_count++] = interface_id;
    }
}

struct control_setup {
    control_setup() {
        s_control.reset = reset_record;
        s_control.wait_until_init_blocked = wait_until_init_blocked;
        s_control.release_init = release_init;
        s_control.set_slot_recording = set_slot_recording;
        s_control.refuse_interface = refuse_interface;
    }
} s_control_setup;

}  // namespace

extern "C" {

TEST_AGENT_EXPORT test_agent_control_t* test_agent_control(void) { return &s_control; }

TEST_AGENT_EXPORT void test_agent_record_event(const test_agent_event_t* event) {
    std::lock_guard<std::mutex> guard(s_mutex);
    if (s_control.event_count < TEST_AGENT_MAX_EVENTS) {
        s_control.events[s_control.event_count] = *event;
    }
    ++s_control.event_count;
}

TEST_AGENT_EXPORT int test_agent_record_slot_call(int with_agent) {
    __atomic_add_fetch(&s_control.slot_calls, 1, __ATOMIC_RELEASE);
    if (!with_agent) {
        __atomic_add_fetch(&s_control.slot_calls_without_agent, 1, __ATOMIC_RELAXED);
    }
    return s_slot_recording.load(std::memory_order_relaxed);
}

TEST_AGENT_EXPORT void test_agent_record_wait_for_slot_call(uint64_t seen, unsigned milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (__atomic_load_n(&s_control.slot_calls, __ATOMIC_ACQUIRE) == seen &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
}

TEST_AGENT_EXPORT void test_agent_record_arguments(size_t count, const char* const* arguments) {
    std::lock_guard<std::mutex> guard(s_mutex);
    memset(s_control.arguments, 0, sizeof(s_control.arguments));
    s_control.argument_count = count;
    for (size_t i = 0; i < count && i < TEST_AGENT_MAX_ARGUMENTS; ++i) {
        const char* argument = arguments != nullptr && arguments[i] != nullptr ? arguments[i] : "(null)";
        strncpy(s_control.arguments[i], argument, TEST_AGENT_ARGUMENT_LENGTH - 1);
    }
}

TEST_AGENT_EXPORT void test_agent_record_stub_version(const void* record, size_t size) {
    std::lock_guard<std::mutex> guard(s_mutex);
    memset(s_control.stub_version, 0, sizeof(s_control.stub_version));
    if (record != nullptr) {
        memcpy(s_control.stub_version, record,
               size < sizeof(s_control.stub_version) ? size : sizeof(s_control.stub_version));
    }
}

TEST_AGENT_EXPORT void test_agent_record_attachment(const void* agent, const void* agent_functions) {
    std::lock_guard<std::mutex> guard(s_mutex);
    s_control.agent = agent;
    s_control.agent_functions = agent_functions;
}

TEST_AGENT_EXPORT int test_agent_record_is_refused(uint32_t interface_id) {
    std::lock_guard<std::mutex> guard(s_mutex);
    for (size_t i = 0; i < s_refused_count; ++i) {
        if (s_refused[i] == interface_id) {
            return 1;
        }
    }
    return 0;
}

TEST_AGENT_EXPORT void test_agent_record_block_in_initialize(void) {
    std::unique_lock<std::mutex> lock(s_mutex);
    s_init_blocked = true;
    s_changed.notify_all();
    s_changed.wait(lock, [] { return s_init_released; });
    s_init_blocked = false;
    s_init_released = false;
}

}  // extern "C"
