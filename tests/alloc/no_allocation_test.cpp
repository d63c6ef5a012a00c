// The forwarding paths allocate nothing and free nothing: every one of the
// 73 forwarding functions, called many times with an agent attached and
// without one, leaves the allocator untouched.
#include <gtest/gtest.h>

#include "alloc_shim.h"
#include "test_agent_control.h"
#include "vexlin/internal/vexlin_stub_abi.h"
#include "vexlin/vexlin.h"

namespace {

constexpr int kCallsPerFunction = 1000;

template <typename R, typename... A>
void CallRepeatedly(R (*function)(A...)) {
    for (int i = 0; i < kCallsPerFunction; ++i) {
        function(A{}...);
    }
}

// Returns how many functions were called.
int CallEveryForwarder() {
    int functions = 0;
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) \
    CallRepeatedly(&vexlin_##name);                               \
    ++functions;
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    CallRepeatedly(&vexlin_##name);                                            \
    ++functions;
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
#define CALL_EX(slot, field, exported, result, params, args, neutral) \
    CallRepeatedly(&vexlin_##exported);                               \
    ++functions;
#define CALL_EX0(slot, field, exported, result, neutral) \
    CallRepeatedly(&vexlin_##exported);                  \
    ++functions;
    VEXLIN_EX_METRICS_FUNCS(CALL_EX, CALL_EX0)
    VEXLIN_EX_SPAN_FUNCS(CALL_EX, CALL_EX0)
    VEXLIN_EX_TECHTYPE_FUNCS(CALL_EX, CALL_EX0)
    VEXLIN_EX_TRACER_EXT_FUNCS(CALL_EX, CALL_EX0)
    VEXLIN_EX_SERVERLESS_FUNCS(CALL_EX, CALL_EX0)
#undef CALL_EX
#undef CALL_EX0
    return functions;
}

void ExpectNoAllocatorUse() {
    alloc_shim::arm(0);
    const int functions = CallEveryForwarder();
    alloc_shim::disarm();
    EXPECT_EQ(functions, 73);
    EXPECT_EQ(alloc_shim::attempts(), 0) << "allocations on a forwarding path";
    EXPECT_EQ(alloc_shim::frees(), 0) << "frees on a forwarding path";
}

TEST(NoAllocation, WithoutAnAgent) { ExpectNoAllocatorUse(); }

TEST(NoAllocation, WithAnAgentAndEveryExtensionEnabled) {
    ASSERT_EQ(vexlin_stub_set_variable("agentlibrary=" TEST_AGENT_PATH, 1), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_initialize(), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_ex_api_enable_span(), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_ex_api_enable_techtype(), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_ex_api_enable_tracer_ext(), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_ex_api_enable_serverless(), VEXLIN_SUCCESS);
    test_agent::Control().set_slot_recording(0);
    ExpectNoAllocatorUse();
    test_agent::Control().set_slot_recording(1);
    // The calls do reach the agent.
    const size_t before = test_agent::Control().event_count;
    vexlin_tracer_start(7);
    EXPECT_EQ(test_agent::Control().event_count, before + 1);
    EXPECT_EQ(vexlin_shutdown(), VEXLIN_SUCCESS);
}

TEST(NoAllocation, AfterShutdown) {
    ASSERT_EQ(vexlin_stub_set_variable("agentlibrary=" TEST_AGENT_PATH, 1), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_initialize(), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_ex_api_enable_span(), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_shutdown(), VEXLIN_SUCCESS);
    ExpectNoAllocatorUse();
}

}  // namespace
