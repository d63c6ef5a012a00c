// Texts of result codes through the shared library: the fixed English texts,
// platform texts for everything else, and the handling of small, empty and
// missing buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vexlin/vexlin_init.h"

namespace {

std::string Text(vexlin_result_t code, vexlin_size_t length = 256) {
    std::string buffer(length, '#');
    const vexlin_xchar_t* result = vexlin_stub_xstrerror(code, &buffer[0], length);
    EXPECT_EQ(result, buffer.data()) << "the buffer itself is returned";
    return std::string(buffer.c_str());
}

// What the library must fall back on for codes without a fixed text.
std::string PlatformText(int code) {
    const char* text = std::strerror(code);
    return text != nullptr && text[0] != '\0' ? text : "Unknown error.";
}

TEST(ErrorText, FixedTexts) {
    EXPECT_EQ(Text(VEXLIN_SUCCESS), "The operation completed successfully.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0001u)), "Generic error.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0002u)), "Invalid argument.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0003u)), "Function not implemented.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0004u)), "Not initialized.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0005u)), "Out of memory.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0006u)), "Agent not active.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0007u)), "Could not load agent.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0008u)), "Invalid agent binary.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE0009u)), "Unexpected error.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE000Au)), "The entry already exists.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE000Bu)), "Feature level not supported.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE000Cu)), "Interface not supported.");
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE000Du)), "This process is a fork child.");
}

TEST(ErrorText, OtherCodesGetThePlatformText) {
    EXPECT_EQ(Text(2), PlatformText(2));
    EXPECT_EQ(Text(VEXLIN_ERROR_BASE), PlatformText(VEXLIN_ERROR_BASE));
    EXPECT_EQ(Text(static_cast<vexlin_result_t>(0xAFFE000Eu)), PlatformText(static_cast<int>(0xAFFE000Eu)));
    EXPECT_EQ(Text(-1), PlatformText(-1));
    EXPECT_FALSE(Text(static_cast<vexlin_result_t>(0xAFFE000Eu)).empty());
}

TEST(ErrorText, TruncatesAndZeroFillsWithinTheBuffer) {
    EXPECT_EQ(Text(VEXLIN_ERROR_AGENT_NOT_ACTIVE, 100), "Agent not active.");
    EXPECT_EQ(Text(VEXLIN_ERROR_AGENT_NOT_ACTIVE, 6), "Agent");
    // "Agent not active." has 17 characters: 18 fit exactly, 17 cut one.
    EXPECT_EQ(Text(VEXLIN_ERROR_AGENT_NOT_ACTIVE, 18), "Agent not active.");
    EXPECT_EQ(Text(VEXLIN_ERROR_AGENT_NOT_ACTIVE, 17), "Agent not active");
    EXPECT_EQ(Text(VEXLIN_ERROR_AGENT_NOT_ACTIVE, 2), "A");

    // Within the given length everything after the text is zero, and nothing
    // beyond it is touched.
    char buffer[32];
    std::memset(buffer, '#', sizeof(buffer));
    vexlin_stub_xstrerror(VEXLIN_ERROR_GENERIC, buffer, 20);
    EXPECT_STREQ(buffer, "Generic error.");
    for (int i = 14; i < 20; ++i) EXPECT_EQ(buffer[i], '\0') << "index " << i;
    for (int i = 20; i < 32; ++i) EXPECT_EQ(buffer[i], '#') << "index " << i;

    std::memset(buffer, '#', sizeof(buffer));
    vexlin_stub_xstrerror(VEXLIN_ERROR_GENERIC, buffer, 6);
    EXPECT_EQ(std::string(buffer, 7), std::string("Gener\0#", 7));
}

TEST(ErrorText, TinyAndMissingBuffers) {
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(vexlin_stub_xstrerror(VEXLIN_ERROR_GENERIC, buffer, 1), buffer);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '#');

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_stub_xstrerror(VEXLIN_ERROR_GENERIC, buffer, 0), buffer);
    EXPECT_EQ(buffer[0], '#') << "a zero length must not be written";

    EXPECT_EQ(vexlin_stub_xstrerror(VEXLIN_ERROR_GENERIC, nullptr, 100), nullptr);
    EXPECT_EQ(vexlin_stub_xstrerror(2, nullptr, 0), nullptr);
}

}  // namespace
