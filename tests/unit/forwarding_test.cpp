// Forwarding of the core tracing API to an attached agent table. A fake
// table, built from the agent function list, records which slot was called
// with which agent object and arguments; every exported function is checked
// from the same list, so a slot added to the list is checked automatically.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "vexlin/vexlin_api.h"
#include "vexlin_internal.h"

namespace {

struct RecordedCall {
    int calls = 0;
    int slot = -1;
    vexlin_abi_agent_t* agent = nullptr;
    std::vector<std::uint64_t> args;
};

RecordedCall g_recorded;

template <typename T>
std::uint64_t Bits(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(value));
    } else {
        return static_cast<std::uint64_t>(value);
    }
}

// Results the fakes hand back: unlike anything the library would make up.
template <typename R>
R Distinct(int slot) {
    if constexpr (std::is_void_v<R>) {
        return;
    } else if constexpr (sizeof(R) == 8) {
        return static_cast<R>(0xC0FFEE0000000000ull + 0x100ull * static_cast<unsigned>(slot) + 0x5Bu);
    } else {
        return static_cast<R>(0x5A5A0000u + 0x10u * static_cast<unsigned>(slot) + 0x7u);
    }
}

enum class Variant { kDistinct, kZero, kExtreme };

// Argument `index` of the function in `slot`: distinct per slot and position,
// all zero (NULL pointers, zero handles), or extreme values. Pointers are
// never dereferenced by the forwarding path or by the fakes.
template <typename T>
T Sample(int slot, std::size_t index, Variant variant) {
    const std::uint64_t tag = 0x100u * static_cast<unsigned>(slot) + index + 1;
    if constexpr (std::is_pointer_v<T>) {
        switch (variant) {
            case Variant::kZero:
                return nullptr;
            case Variant::kExtreme:
                return reinterpret_cast<T>(std::numeric_limits<std::uintptr_t>::max() - 0xFFF + index);
            case Variant::kDistinct:
                break;
        }
        return reinterpret_cast<T>(static_cast<std::uintptr_t>(0x7E5700000000ull + (tag << 4)));
    } else {
        switch (variant) {
            case Variant::kZero:
                return T(0);
            case Variant::kExtreme:
                return std::is_signed_v<T> ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
            case Variant::kDistinct:
                break;
        }
        if constexpr (sizeof(T) == 8) {
            return static_cast<T>(0x1122334400000000ull + tag);
        } else {
            return static_cast<T>(0x00100000u + tag);
        }
    }
}

template <int Slot, typename SlotPointer>
struct Fake;

template <int Slot, typename R, typename... P>
struct Fake<Slot, R (*)(vexlin_abi_agent_t*, P...)> {
    static R Call(vexlin_abi_agent_t* agent, P... args) {
        ++g_recorded.calls;
        g_recorded.slot = Slot;
        g_recorded.agent = agent;
        g_recorded.args = {Bits(args)...};
        return Distinct<R>(Slot);
    }
};

// The exported function must take exactly the slot's parameters after the
// agent object, and return the slot's result.
template <typename SlotPointer, typename ExportedPointer>
struct SameShape : std::false_type {};
template <typename R, typename... P>
struct SameShape<R (*)(vexlin_abi_agent_t*, P...), R (*)(P...)> : std::true_type {};

vexlin_abi_agent_functions_5_t MakeFakeTable() {
    vexlin_abi_agent_functions_5_t table;
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) \
    table.vexlin_abi_##name = &Fake<slot, decltype(table.vexlin_abi_##name)>::Call;
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
    return table;
}

const vexlin_abi_agent_functions_5_t g_fake_table = MakeFakeTable();
vexlin_abi_agent_t* const kFakeAgent =
    reinterpret_cast<vexlin_abi_agent_t*>(static_cast<std::uintptr_t>(0xA6E7700000ull));

template <typename R, typename... P, std::size_t... I>
void CheckForwardingImpl(int slot, R (*exported)(P...), [[maybe_unused]] Variant variant, std::index_sequence<I...>) {
    std::tuple<P...> args{Sample<P>(slot, I, variant)...};
    const std::vector<std::uint64_t> expected_args{Bits(std::get<I>(args))...};
    g_recorded = RecordedCall();
    if constexpr (std::is_void_v<R>) {
        exported(std::get<I>(args)...);
    } else {
        const R result = exported(std::get<I>(args)...);
        EXPECT_EQ(result, Distinct<R>(slot)) << "the slot's result must come back unchanged";
    }
    EXPECT_EQ(g_recorded.calls, 1);
    EXPECT_EQ(g_recorded.slot, slot);
    EXPECT_EQ(g_recorded.agent, vexlin_internal_agent_ptr);
    EXPECT_EQ(g_recorded.args, expected_args);
}

template <typename R, typename... P>
void CheckForwarding(int slot, R (*exported)(P...), Variant variant) {
    CheckForwardingImpl(slot, exported, variant, std::index_sequence_for<P...>());
}

struct ForwardCase {
    int slot;
    const char* name;
    void (*check)(int slot, Variant variant);
};

const ForwardCase kForwardCases[] = {
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral)                                                     \
    {slot, #name, [](int s, Variant v) {                                                                              \
         static_assert(                                                                                               \
             SameShape<decltype(vexlin_abi_agent_functions_5_t::vexlin_abi_##name), decltype(&vexlin_##name)>::value, \
             "vexlin_" #name " must match slot " #slot);                                                              \
         CheckForwarding(s, &vexlin_##name, v);                                                                       \
     }},
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
};

static_assert(sizeof(kForwardCases) / sizeof(kForwardCases[0]) == 48, "the core API forwards 48 functions");

// Keeps generated test names readable.
void PrintTo(const ForwardCase& c, std::ostream* os) { *os << "slot " << c.slot << " " << c.name; }

class Forwarding : public ::testing::TestWithParam<ForwardCase> {
protected:
    void TearDown() override {
        vexlin_internal_agent_functions_ptr = nullptr;
        vexlin_internal_agent_ptr = nullptr;
    }
};

TEST_P(Forwarding, ReachesItsSlotWithAgentAndArgumentsUnchanged) {
    const ForwardCase& c = GetParam();
    vexlin_internal_agent_ptr = kFakeAgent;
    vexlin_internal_agent_functions_ptr = &g_fake_table;
    for (Variant variant : {Variant::kDistinct, Variant::kZero, Variant::kExtreme}) {
        SCOPED_TRACE(testing::Message() << "variant " << static_cast<int>(variant));
        c.check(c.slot, variant);
    }
}

// The table pointer alone decides: a NULL agent object is passed on as it is.
TEST_P(Forwarding, PassesANullAgentObjectOn) {
    const ForwardCase& c = GetParam();
    vexlin_internal_agent_ptr = nullptr;
    vexlin_internal_agent_functions_ptr = &g_fake_table;
    c.check(c.slot, Variant::kDistinct);
}

INSTANTIATE_TEST_SUITE_P(CoreApi, Forwarding, ::testing::ValuesIn(kForwardCases),
                         [](const ::testing::TestParamInfo<ForwardCase>& info) {
                             return "slot" + std::to_string(info.param.slot) + "_" + info.param.name;
                         });

TEST(ForwardingAttachment, NoTableMeansNoCallEvenWithAnAgentObject) {
    vexlin_internal_agent_ptr = kFakeAgent;
    vexlin_internal_agent_functions_ptr = nullptr;
    g_recorded = RecordedCall();
    EXPECT_EQ(vexlin_agent_get_current_state(), 3);
    EXPECT_EQ(vexlin_agent_get_fork_state(), -1);
    EXPECT_EQ(vexlin_outgoingwebrequesttracer_create_p(nullptr, nullptr), 0u);
    vexlin_tracer_start(42);
    EXPECT_EQ(g_recorded.calls, 0);
    vexlin_internal_agent_ptr = nullptr;
}

// Attaching and detaching takes effect at the next call: nothing is cached.
TEST(ForwardingAttachment, FollowsTheTablePointerFromCallToCall) {
    vexlin_internal_agent_ptr = kFakeAgent;
    vexlin_internal_agent_functions_ptr = &g_fake_table;
    g_recorded = RecordedCall();
    EXPECT_EQ(vexlin_agent_get_current_state(), Distinct<vexlin_int32_t>(3));
    EXPECT_EQ(g_recorded.calls, 1);

    vexlin_internal_agent_functions_ptr = nullptr;
    EXPECT_EQ(vexlin_agent_get_current_state(), 3);
    EXPECT_EQ(g_recorded.calls, 1);

    vexlin_internal_agent_functions_ptr = &g_fake_table;
    EXPECT_EQ(vexlin_agent_get_current_state(), Distinct<vexlin_int32_t>(3));
    EXPECT_EQ(g_recorded.calls, 2);
    vexlin_internal_agent_functions_ptr = nullptr;
    vexlin_internal_agent_ptr = nullptr;
}

}  // namespace
