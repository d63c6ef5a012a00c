// The module's side of the record: how a module variant writes into the
// record library. Tests read the record through test_agent_control.h only.
#ifndef VEXLIN_TEST_AGENT_RECORD_H
#define VEXLIN_TEST_AGENT_RECORD_H

#include "test_agent_control.h"

extern "C" {

// Appends one call to the record (under the record's lock).
void test_agent_record_event(const test_agent_event_t* event);
// Counts one slot call; whether slot calls are to be recorded (entry
// points always are).
int test_agent_record_slot_call(int with_agent);
// Waits up to `milliseconds` for a slot call after `seen` calls; for the
// module to hold a window open until another thread used it.
void test_agent_record_wait_for_slot_call(size_t seen, unsigned milliseconds);
void test_agent_record_arguments(size_t count, const char* const* arguments);
void test_agent_record_stub_version(const void* record, size_t size);
void test_agent_record_attachment(const void* agent, const void* agent_functions);
// Whether a test asked for this interface to be refused from now on.
int test_agent_record_is_refused(uint32_t interface_id);
// Holds the calling thread until a test calls release_init.
void test_agent_record_block_in_initialize(void);
}

#endif  // VEXLIN_TEST_AGENT_RECORD_H
