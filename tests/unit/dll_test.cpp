// The loader layer: results, the message buffer (the loader's text wins,
// else the text of the result), the unexpected-error flag, and handles that
// are never leaked.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "test_agent_control.h"
#include "vexlin_dll.h"

namespace {

constexpr vexlin_size_t kLength = 1800;

TEST(DllLoad, RefusesBadArgumentsBeforeAskingTheLoader) {
    char message[kLength];
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 0;
    EXPECT_EQ(vexlin_dll_load(&handle, "", message, kLength, &unexpected), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(unexpected, 1);
    EXPECT_STREQ(message, "Invalid argument.");
    EXPECT_EQ(handle, nullptr);

    unexpected = 0;
    EXPECT_EQ(vexlin_dll_load(&handle, nullptr, message, kLength, &unexpected), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(unexpected, 1);
    unexpected = 0;
    EXPECT_EQ(vexlin_dll_load(nullptr, "libc.so.6", message, kLength, &unexpected), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(unexpected, 1);
    EXPECT_STREQ(message, "Invalid argument.");
}

TEST(DllLoad, AMissingFileGivesTheLoadersMessage) {
    char message[kLength];
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 1;
    const vexlin_result_t rc = vexlin_dll_load(&handle, "/nonexistent/libnothing.so", message, kLength, &unexpected);
    EXPECT_NE(rc, VEXLIN_SUCCESS);
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_NE(std::string(message).find("/nonexistent/libnothing.so"), std::string::npos) << message;
    EXPECT_EQ(dlerror(), nullptr) << "the loader's error must be cleared";
}

TEST(DllLoad, SuccessFillsTheBufferWithTheSuccessText) {
    char message[kLength];
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 1;
    ASSERT_EQ(vexlin_dll_load(&handle, TEST_AGENT_PATH, message, kLength, &unexpected), VEXLIN_SUCCESS);
    EXPECT_EQ(unexpected, 0);
    EXPECT_STREQ(message, "The operation completed successfully.");
    EXPECT_EQ(vexlin_dll_free(&handle), 0);
    EXPECT_EQ(handle, nullptr);
}

TEST(DllLoad, LoadingIntoAHeldHandleClosesTheOldLibraryFirst) {
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 1;
    ASSERT_EQ(vexlin_dll_load(&handle, TEST_AGENT_PATH, nullptr, 0, &unexpected), VEXLIN_SUCCESS);
    ASSERT_TRUE(test_agent::IsLoaded(TEST_AGENT_PATH));
    ASSERT_EQ(vexlin_dll_load(&handle, "libc.so.6", nullptr, 0, &unexpected), VEXLIN_SUCCESS);
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    EXPECT_EQ(vexlin_dll_free(&handle), 0);
}

TEST(DllBuffers, AZeroLengthOrNullBufferIsNeverWritten) {
    char message[8];
    memset(message, '#', sizeof message);
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 0;
    EXPECT_EQ(vexlin_dll_load(&handle, "", message, 0, &unexpected), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(vexlin_dll_load(&handle, "/nonexistent/x.so", message, 0, &unexpected), VEXLIN_SUCCESS);
    vexlin_function_ptr_t symbol = nullptr;
    EXPECT_EQ(vexlin_dll_get_symbol(nullptr, "x", &symbol, message, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    for (char c : message) EXPECT_EQ(c, '#');
    EXPECT_EQ(vexlin_dll_load(&handle, "", nullptr, 100, &unexpected), VEXLIN_ERROR_INVALID_ARGUMENT);
}

TEST(DllSymbol, FindsSymbolsAndReportsMissingOnes) {
    char message[kLength];
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 0;
    ASSERT_EQ(vexlin_dll_load(&handle, "libc.so.6", nullptr, 0, &unexpected), VEXLIN_SUCCESS);

    vexlin_function_ptr_t symbol = nullptr;
    EXPECT_EQ(vexlin_dll_get_symbol(handle, "strlen", &symbol, message, kLength), VEXLIN_SUCCESS);
    EXPECT_NE(symbol, nullptr);
    EXPECT_STREQ(message, "The operation completed successfully.");

    const vexlin_result_t rc = vexlin_dll_get_symbol(handle, "vexlin_no_such_symbol", &symbol, message, kLength);
    EXPECT_NE(rc, VEXLIN_SUCCESS);
    EXPECT_LT(rc, 0xFFFF) << "a platform error number, not a code of the library's block";
    EXPECT_EQ(symbol, nullptr);
    EXPECT_NE(std::string(message).find("vexlin_no_such_symbol"), std::string::npos) << message;
    EXPECT_EQ(vexlin_dll_free(&handle), 0);
}

TEST(DllSymbol, RefusesANullHandleOrOutput) {
    char message[kLength];
    vexlin_function_ptr_t symbol = reinterpret_cast<vexlin_function_ptr_t>(&strlen);
    EXPECT_EQ(vexlin_dll_get_symbol(nullptr, "strlen", &symbol, message, kLength), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(symbol, nullptr);
    EXPECT_STREQ(message, "Invalid argument.");
    EXPECT_EQ(vexlin_dll_get_symbol(RTLD_DEFAULT, "strlen", nullptr, message, kLength), VEXLIN_ERROR_INVALID_ARGUMENT);
}

TEST(DllFree, NullHandlesAreHarmless) {
    vexlin_dll_handle_t handle = nullptr;
    EXPECT_EQ(vexlin_dll_free(&handle), 0);
    EXPECT_EQ(vexlin_dll_free(nullptr), VEXLIN_ERROR_INVALID_ARGUMENT);
}

}  // namespace
