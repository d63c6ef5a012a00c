// Every exported tracing function (48 core, 25 extension) through the real
// library and the test agent module, generated from the lists the library
// is built from: with an agent each reaches its own slot with the agent
// object and its arguments unchanged and hands back the slot's answer;
// without one each answers neutrally and touches no argument.
#include <sys/mman.h>

#include <limits>

#include "vexlin_test.h"

namespace {

using namespace lifecycle;

// Arguments: distinct per position with high bits and signs that a narrowing
// or swap would change, all zero, or extreme. Pointers point into a page
// that cannot be read or written: any access crashes the test.
enum Variant { kDistinct, kZero, kExtreme };
uintptr_t g_page = 0;

template <typename T>
T Argument(size_t i, Variant v) {
    if constexpr (std::is_pointer<T>::value) {
        return reinterpret_cast<T>(v == kZero ? 0 : v == kExtreme ? UINTPTR_MAX - 0xFFF + i : g_page + 16 * (i + 1));
    } else if constexpr (std::is_floating_point<T>::value) {
        return v == kZero ? T(0) : v == kExtreme ? std::numeric_limits<T>::lowest() : T(-1024.25 - double(i));
    } else if (v != kDistinct) {
        return v == kZero                 ? T(0)
               : std::is_signed<T>::value ? std::numeric_limits<T>::min()
                                          : std::numeric_limits<T>::max();
    } else {
        return static_cast<T>(std::is_signed<T>::value ? -0x7654321LL - static_cast<long long>(i)
                                                       : 0xA5A5A5A5F00D0000ULL + i);
    }
}

// How the module records an argument.
template <typename T>
void ExpectRecorded(const test_agent_event_t& call, size_t i, T value) {
    if constexpr (std::is_floating_point<T>::value) {
        EXPECT_EQ(static_cast<double>(value), call.reals[i]) << "argument " << i;
    } else if constexpr (std::is_pointer<T>::value) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(value), call.values[i]) << "argument " << i;
    } else {
        const uint64_t widened = std::is_signed<T>::value ? uint64_t(int64_t(value)) : uint64_t(value);
        EXPECT_EQ(widened, call.values[i]) << "argument " << i;
    }
}

// Calls f with the variant's arguments; gives (has a result, result). With a
// call record, also checks the arguments it received.
template <typename R, typename... A, size_t... I>
std::pair<bool, int64_t> Call(R (*f)(A...), Variant v, const test_agent_event_t* call, std::index_sequence<I...>) {
    if (call != nullptr) {
        EXPECT_EQ(sizeof...(A), call->value_count);
        (ExpectRecorded(*call, I, Argument<A>(I, v)), ...);
        return {false, 0};
    }
    if constexpr (std::is_void<R>::value) {
        f(Argument<A>(I, v)...);
        return {false, 0};
    } else {
        return {true, static_cast<int64_t>(f(Argument<A>(I, v)...))};
    }
}
template <typename R, typename... A>
std::pair<bool, int64_t> Call(R (*f)(A...), Variant v, const test_agent_event_t* call = nullptr) {
    return Call(f, v, call, std::index_sequence_for<A...>());
}

class Forwarding : public LifecycleTest {
protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        page_ = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(MAP_FAILED, page_);
        g_page = reinterpret_cast<uintptr_t>(page_);
        UseTestAgent();
    }
    void TearDown() override { munmap(page_, 4096); }
    // Every function (or every one of a group an application enables) but the
    // tag and in-process link ones, which write their outputs by design,
    // answers neutrally; nothing reaches the module.
    static void ExpectNeutral(bool enabled_groups_only = false) {
        const size_t before = test_agent::Control().event_count;
        ForEachFunction([&](const Function& f, auto function) {
            if (enabled_groups_only && (f.interface_id == 0 || f.interface_id == VEXLIN_ABI_INTERFACE_EX_METRICS))
                return;
            if (f.interface_id == 0 && (f.slot == 8 || f.slot == 9 || f.slot == 32)) return;
            const auto answer = Call(function, kDistinct);
            if (answer.first) EXPECT_EQ(f.neutral, answer.second) << f.name;
        });
        EXPECT_EQ(before, test_agent::Control().event_count) << "nothing may reach the module";
    }

    void* page_ = MAP_FAILED;
};

TEST_F(Forwarding, EveryFunctionReachesItsSlotWithTheAgentAndExactArguments) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EnableEveryGroup();
    const void* agent = test_agent::Control().agent;
    ASSERT_NE(nullptr, agent);
    const int functions = ForEachFunction([&](const Function& f, auto function) {
        SCOPED_TRACE(f.name);
        for (Variant v : {kDistinct, kZero, kExtreme}) {
            test_agent_reset();
            const auto answer = Call(function, v);
            const std::vector<test_agent_event_t> calls = test_agent::Events();
            ASSERT_EQ(1u, calls.size());
            EXPECT_EQ(f.interface_id == 0 ? TEST_AGENT_EVENT_AGENT_SLOT : TEST_AGENT_EVENT_EX_SLOT, calls[0].kind);
            EXPECT_EQ(f.interface_id, calls[0].interface_id);
            EXPECT_EQ(f.slot, calls[0].slot);
            EXPECT_EQ(agent, calls[0].agent) << "the agent object comes first";
            Call(function, v, &calls[0]);
            if (answer.first) EXPECT_EQ(f.base + f.slot, answer.second) << "the module's answer, unchanged";
        }
    });
    EXPECT_EQ(48 + 25, functions);
}

// Extension tables go with the module that gave them: the module may be
// opened again at the same address, where a kept pointer would forward.
TEST_F(Forwarding, EveryFunctionIsNeutralWithoutAnAgentAndGroupsNeedEnablingAgain) {
    ExpectNeutral();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EnableEveryGroup();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    ExpectNeutral();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    test_agent_reset();
    ExpectNeutral(true);
    EXPECT_EQ(2003, vexlin_integergaugemetric_create_p(nullptr, nullptr, nullptr)) << "metrics need no enabling";
}

TEST_F(Forwarding, StringTagIsEmptyAndByteTagAndLinkNeedNothingWithoutAnAgent) {
    char text[10];
    memset(text, 'x', sizeof text);
    vexlin_size_t required[3] = {99, 99, 99};
    EXPECT_EQ(0u, vexlin_tracer_get_outgoing_korvantix_string_tag(5, text, sizeof text, &required[0]));
    EXPECT_EQ(0u, vexlin_tracer_get_outgoing_korvantix_string_tag(5, nullptr, 10, &required[1]));
    EXPECT_EQ(0u, vexlin_tracer_get_outgoing_korvantix_string_tag(5, text + 1, 0, &required[2]));
    EXPECT_EQ(std::string(1, '\0') + std::string(9, 'x'), std::string(text, sizeof text))
        << "only the terminator; a zero-sized buffer is not written";
    EXPECT_EQ((std::vector<vexlin_size_t>{1, 1, 1}), std::vector<vexlin_size_t>(required, required + 3));
    EXPECT_EQ(0u, vexlin_tracer_get_outgoing_korvantix_string_tag(0, nullptr, 0, nullptr));

    unsigned char bytes[8];
    memset(bytes, 0xAB, sizeof bytes);
    vexlin_size_t sizes[2] = {99, 99};
    EXPECT_EQ(0u, vexlin_tracer_get_outgoing_korvantix_byte_tag(5, bytes, sizeof bytes, &sizes[0]));
    EXPECT_EQ(0u, vexlin_inprocesslink_create(bytes, sizeof bytes, &sizes[1]));
    EXPECT_EQ(0u, sizes[0] + sizes[1]);
    EXPECT_EQ(std::vector<unsigned char>(8, 0xAB), std::vector<unsigned char>(bytes, bytes + 8));
    EXPECT_EQ(0u, vexlin_tracer_get_outgoing_korvantix_byte_tag(5, nullptr, 0, nullptr));
    EXPECT_EQ(0u, vexlin_inprocesslink_create(nullptr, 0, nullptr));
}

}  // namespace
