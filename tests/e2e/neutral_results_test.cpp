// Neutral answers of the core tracing API through the shared library while no
// agent is attached: fixed results, the documented writes of the tag and
// in-process link functions, and no access to any other argument.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "vexlin/internal/vexlin_stub_abi.h"
#include "vexlin/vexlin_api.h"

namespace {

void DummyAgentLog(const char*) {}

TEST(NeutralResults, AgentQueries) {
    EXPECT_EQ(vexlin_agent_get_current_state(), 3);
    EXPECT_EQ(vexlin_agent_get_fork_state(), -1);
    EXPECT_EQ(vexlin_agent_set_warning_callback(&DummyAgentLog), VEXLIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(vexlin_agent_set_warning_callback(nullptr), VEXLIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(vexlin_agent_set_verbose_callback(&DummyAgentLog), VEXLIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(vexlin_agent_set_verbose_callback(nullptr), VEXLIN_ERROR_NOT_INITIALIZED);
    vexlin_agent_set_logging_callback(&DummyAgentLog);
    vexlin_agent_set_logging_callback(nullptr);
}

TEST(NeutralResults, CreateFunctionsReturnNoHandle) {
    const vexlin_string_t s = {"x", 1, VEXLIN_CCSID_ASCII};
    const unsigned char link[4] = {1, 2, 3, 4};
    EXPECT_EQ(vexlin_outgoingremotecalltracer_create_p(&s, &s, &s, 1, &s), 0u);
    EXPECT_EQ(vexlin_incomingremotecalltracer_create_p(&s, &s, &s), 0u);
    EXPECT_EQ(vexlin_databaseinfo_create_p(&s, &s, 1, &s), 0u);
    EXPECT_EQ(vexlin_databaserequesttracer_create_sql_p(7, &s), 0u);
    EXPECT_EQ(vexlin_webapplicationinfo_create_p(&s, &s, &s), 0u);
    EXPECT_EQ(vexlin_incomingwebrequesttracer_create_p(7, &s, &s), 0u);
    EXPECT_EQ(vexlin_inprocesslinktracer_create(link, sizeof(link)), 0u);
    EXPECT_EQ(vexlin_outgoingwebrequesttracer_create_p(&s, &s), 0u);
    EXPECT_EQ(vexlin_customservicetracer_create_p(&s, &s), 0u);
    EXPECT_EQ(vexlin_messagingsysteminfo_create_p(&s, &s, 1, 2, &s), 0u);
    EXPECT_EQ(vexlin_outgoingmessagetracer_create(7), 0u);
    EXPECT_EQ(vexlin_incomingmessagereceivetracer_create(7), 0u);
    EXPECT_EQ(vexlin_incomingmessageprocesstracer_create(7), 0u);
    EXPECT_EQ(vexlin_outgoingremotecalltracer_create_p(nullptr, nullptr, nullptr, 0, nullptr), 0u);
}

TEST(NeutralResults, StringTagIsAnEmptyString) {
    char buffer[10];
    std::memset(buffer, 'x', sizeof(buffer));
    vexlin_size_t required = 99;
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(5, buffer, sizeof(buffer), &required), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(required, 1u);
    // Only the terminator is written.
    EXPECT_EQ(std::string(buffer + 1, sizeof(buffer) - 1), std::string(sizeof(buffer) - 1, 'x'));

    required = 99;
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(5, nullptr, 10, &required), 0u);
    EXPECT_EQ(required, 1u);

    std::memset(buffer, 'x', sizeof(buffer));
    required = 99;
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(5, buffer, 0, &required), 0u);
    EXPECT_EQ(buffer[0], 'x') << "a zero-sized buffer must not be written";
    EXPECT_EQ(required, 1u);

    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(0, buffer, sizeof(buffer), nullptr), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(0, nullptr, 0, nullptr), 0u);
}

TEST(NeutralResults, ByteTagAndInProcessLinkRequireNothingAndLeaveTheBuffer) {
    unsigned char buffer[8];
    std::memset(buffer, 0xAB, sizeof(buffer));
    vexlin_size_t required = 99;
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_byte_tag(5, buffer, sizeof(buffer), &required), 0u);
    EXPECT_EQ(required, 0u);
    for (unsigned char b : buffer) EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_byte_tag(5, nullptr, 0, nullptr), 0u);

    required = 99;
    EXPECT_EQ(vexlin_inprocesslink_create(buffer, sizeof(buffer), &required), 0u);
    EXPECT_EQ(required, 0u);
    for (unsigned char b : buffer) EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(vexlin_inprocesslink_create(nullptr, 0, nullptr), 0u);
}

// Every pointer argument points into a page that cannot be read or written,
// so any access to an argument on the neutral path crashes the test.
class InaccessiblePage {
public:
    InaccessiblePage() {
        size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        page_ = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    ~InaccessiblePage() {
        if (page_ != MAP_FAILED) munmap(page_, size_);
    }
    bool ok() const { return page_ != MAP_FAILED; }
    std::uintptr_t address(std::size_t offset) const { return reinterpret_cast<std::uintptr_t>(page_) + offset; }

private:
    void* page_ = MAP_FAILED;
    std::size_t size_ = 0;
};

const InaccessiblePage* g_page = nullptr;

template <typename T>
T Argument(std::size_t index) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(g_page->address(16 * (index + 1)));
    } else {
        return static_cast<T>(1000 + index);
    }
}

template <typename R, typename... P, std::size_t... I>
R CallWithArguments(R (*function)(P...), std::index_sequence<I...>) {
    return function(Argument<P>(I)...);
}

// Results without an agent, by slot: everything not listed answers 0 or nothing.
std::int64_t ExpectedNeutral(int slot) {
    switch (slot) {
        case 3:
            return 3;
        case 48:
            return -1;
        case 49:
        case 50:
            return VEXLIN_ERROR_NOT_INITIALIZED;
        default:
            return 0;
    }
}

template <typename R, typename... P>
void CheckNeutral(int slot, R (*function)(P...)) {
    SCOPED_TRACE(testing::Message() << "slot " << slot);
    if constexpr (std::is_void_v<R>) {
        CallWithArguments(function, std::index_sequence_for<P...>());
    } else {
        const R result = CallWithArguments(function, std::index_sequence_for<P...>());
        EXPECT_EQ(static_cast<std::int64_t>(result), ExpectedNeutral(slot));
    }
}

TEST(NeutralResults, EveryFunctionAnswersWithoutTouchingItsArguments) {
    InaccessiblePage page;
    ASSERT_TRUE(page.ok());
    g_page = &page;
    int checked = 0;
    // The tag and in-process link functions write into their outputs by
    // design; they are checked above.
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) \
    if ((slot) != 8 && (slot) != 9 && (slot) != 32) {             \
        CheckNeutral(slot, &vexlin_##name);                       \
        ++checked;                                                \
    }
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
    EXPECT_EQ(checked, 45);
    g_page = nullptr;
}

}  // namespace
