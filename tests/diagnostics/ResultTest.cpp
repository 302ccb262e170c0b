#include "diagnostics/Result.h"
#include "common/foundation/SystemErrorText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using Tessaro::Vantrel::Common::Result;

// The system text is whatever the platform says; check the composed shape around it.
void ExpectSystemTextAfter(const std::string& message, const std::string& prefix)
{
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
    const std::string systemText = message.substr(prefix.size());
    ASSERT_FALSE(systemText.empty());
    EXPECT_NE(systemText, "unknown error");
    EXPECT_EQ(std::string(" \r\n\t").find(systemText.back()), std::string::npos) << "untrimmed: " << message;
}

// "Error: <code> - Message: <system text>", wrapped in parentheses after a description when there
// is one; a code the system has no text for says so; success carries the text for 0.
TEST(ResultTest, MessageShapes)
{
    const Result<> bare(87);
    EXPECT_FALSE(bare.Succeeded());
    ExpectSystemTextAfter(bare.Message(), "Error: 87 - Message: ");
    EXPECT_EQ(bare.Message().find('('), std::string::npos);

    EXPECT_EQ(Result<>(2, "Open key").Message(), "Open key (" + Result<>(2).Message() + ")");
    EXPECT_EQ(Result<>(0xE0060001u).Message(), "Error: 3758489601 - Message: unknown error");
    EXPECT_EQ(Result<std::string>(std::string("value")).Message(),
              "Error: 0 - Message: " + Tessaro::Vantrel::Common::SystemErrorText(0));
    const Result<std::uint64_t> failure(0, 1168, "Missing setting");
    EXPECT_EQ(failure.Message().rfind("Missing setting (Error: 1168 - Message: ", 0), 0u);
}

}  // namespace
