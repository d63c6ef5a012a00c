// Fork handling through the real library and the test agent module: a child
// of an initialized process keeps the agent; a child forked inside initialize
// (before or after the agent attached) refuses initialize, shutdown and
// enabling for good and forwards nothing. Forking while other threads set
// variables and initialize is the stress test's.
#include "vexlin_test.h"

namespace {

using namespace lifecycle;

class Fork : public LifecycleTest {};

TEST_F(Fork, ChildOfAnInitializedProcessKeepsForwardingToTheAgent) {
    UseTestAgent();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_ex_api_enable_span());
    const void* agent = test_agent::Control().agent;
    // The record is in the child's memory too: the child reads its own copy.
    EXPECT_EQ("", forking::InChild([agent] {
                  test_agent_control_t& record = test_agent::Control();
                  test_agent_reset();
                  vexlin_tracer_start(77);
                  CHILD_CHECK(vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr) == 2001);
                  CHILD_CHECK(vexlin_ex_spantracer_create(4) == 3000);
                  CHILD_CHECK(record.event_count == 3);
                  for (size_t i = 0; i < 3; ++i) CHILD_CHECK(record.events[i].agent == agent);
                  CHILD_CHECK(record.events[0].slot == 5 && record.events[0].values[0] == 77);
                  // The counts came along: a further pair only counts, the last shutdown closes.
                  CHILD_CHECK(vexlin_initialize() == VEXLIN_SUCCESS && vexlin_shutdown() == VEXLIN_SUCCESS);
                  CHILD_CHECK(vexlin_agent_get_current_state() == 1003);
                  CHILD_CHECK(vexlin_shutdown() == VEXLIN_SUCCESS);
                  CHILD_CHECK(vexlin_agent_get_current_state() == 3);
                  CHILD_CHECK(!test_agent::IsLoaded(TEST_AGENT_PATH));
              }));
    EXPECT_EQ(1003, vexlin_agent_get_current_state()) << "the parent keeps its agent";
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

// What a child forked inside another thread's initialize may do.
void CheckUnsafeChild() {
    const size_t before = test_agent::Control().event_count;
    CHILD_CHECK(vexlin_initialize() == VEXLIN_ERROR_FORK_CHILD);
    CHILD_CHECK(vexlin_initialize_2(5) == VEXLIN_ERROR_FORK_CHILD);
    CHILD_CHECK(vexlin_shutdown() == VEXLIN_ERROR_FORK_CHILD);
    for (auto enable : EnableGroup()) CHILD_CHECK(enable() == VEXLIN_ERROR_FORK_CHILD);
    CHILD_CHECK(vexlin_agent_get_current_state() == 3);
    CHILD_CHECK(vexlin_customservicetracer_create_p(nullptr, nullptr) == 0);
    CHILD_CHECK(vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr) == 0);
    CHILD_CHECK(vexlin_ex_spantracer_create(1) == 0);
    CHILD_CHECK(test_agent::Control().event_count == before);     // the module is never asked
    CHILD_CHECK(vexlin_initialize() == VEXLIN_ERROR_FORK_CHILD);  // for good
    // The variables were not locked by the initializing thread.
    CHILD_CHECK(vexlin_stub_set_variable("in_child=1", 1) == VEXLIN_SUCCESS);
}

// The entry points are resolved before the module starts: only the library's
// own check keeps the child from calling the module.
TEST_F(Fork, ChildForkedWhileTheModuleStartsRefusesEverything) {
    UseTestAgent();
    HeldInitialize initialize("Initializing agent module...");
    EXPECT_EQ("", forking::InChild(CheckUnsafeChild));
    EXPECT_EQ(VEXLIN_SUCCESS, initialize.Release());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_ex_api_enable_span()) << "the parent is unaffected";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

// Held at the end of a successful initialize: the agent is attached, the init lock still taken.
TEST_F(Fork, ChildForkedBeforeInitializeReturnedDropsTheAttachedAgent) {
    UseTestAgent();
    HeldInitialize initialize("Korvantix Pelmoran SDK for C/C++ initialized successfully.");
    ASSERT_EQ(1003, vexlin_agent_get_current_state()) << "attached already";
    EXPECT_EQ("", forking::InChild(CheckUnsafeChild));
    EXPECT_EQ(VEXLIN_SUCCESS, initialize.Release());
    EXPECT_EQ(1003, vexlin_agent_get_current_state());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

}  // namespace
