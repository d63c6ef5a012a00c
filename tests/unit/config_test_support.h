// Helpers for the configuration tests: a fixture that starts from an empty
// user-variable store and no KX_ environment variables, and a prepared
// record that frees itself. The store has no other reader, so its content is
// observed through preparation.
#ifndef VEXLIN_TESTS_CONFIG_TEST_SUPPORT_H
#define VEXLIN_TESTS_CONFIG_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "vexlin_args.h"

inline void ClearConfigurationEnvironment() {
    for (const char* name : {"KX_AGENTACTIVE", "KX_AGENTLIBRARY", "KX_LOGLEVELSDK", "KX_HOME"}) unsetenv(name);
}

inline std::vector<std::string> Entries(const vexlin_xstr_list_t& list) {
    std::vector<std::string> out;
    for (vexlin_size_t i = 0; i < list.count; ++i)
        out.push_back(list.strings[i] != nullptr ? list.strings[i] : "<NULL>");
    return out;
}

inline void ExpectReleased(const vexlin_args_t& args) {
    EXPECT_EQ(args.loglevelsdk, -1);
    EXPECT_EQ(args.agentactive, 0);
    EXPECT_EQ(args.agentlibrary, nullptr);
    EXPECT_EQ(args.agent_args.strings, nullptr);
    EXPECT_EQ(args.agent_args.count, 0u);
    EXPECT_EQ(args.agent_args.limit, 0u);
}

inline void SetVariable(const char* var, vexlin_bool_t replace_existing = 0) {
    EXPECT_EQ(vexlin_stub_set_variable(var, replace_existing), VEXLIN_SUCCESS) << var;
}

struct Prepared {
    Prepared() { EXPECT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS); }
    ~Prepared() { vexlin_args_free(&args); }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;

    std::string library() const { return args.agentlibrary != nullptr ? args.agentlibrary : "<NULL>"; }
    std::vector<std::string> forwarded() const { return Entries(args.agent_args); }

    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
};

inline std::vector<std::string> StoredVariables() { return Prepared().forwarded(); }

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearConfigurationEnvironment();
        vexlin_stub_free_variables();
    }
    void TearDown() override {
        vexlin_stub_free_variables();
        ClearConfigurationEnvironment();
    }
};

#endif  // VEXLIN_TESTS_CONFIG_TEST_SUPPORT_H
