#include "diagnostics/Result.h"

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

TEST(ResultTest, ErrorWithoutMessageCarriesCodeAndSystemTextWithoutParentheses)
{
    const Result<> result(87);
    EXPECT_EQ(result.ErrorCode(), 87u);
    EXPECT_FALSE(result.Succeeded());
    ExpectSystemTextAfter(result.Message(), "Error: 87 - Message: ");
    EXPECT_EQ(result.Message().find('('), std::string::npos);
}

TEST(ResultTest, ErrorWithMessageWrapsTheDescriptionInParentheses)
{
    const Result<> withMessage(2, "Open key");
    const Result<> withoutMessage(2);
    EXPECT_EQ(withMessage.Message(), "Open key (" + withoutMessage.Message() + ")");
}

TEST(ResultTest, SuccessAlsoCarriesTheTextForZero)
{
    const Result<std::string> result(std::string("value"));
    EXPECT_TRUE(result.Succeeded());
    EXPECT_EQ(result.Value(), "value");
    ExpectSystemTextAfter(result.Message(), "Error: 0 - Message: ");
}

TEST(ResultTest, CodeWithoutSystemTextSaysUnknownError)
{
    const Result<> result(0xE0060001u);
    EXPECT_EQ(result.Message(), "Error: 3758489601 - Message: unknown error");
}

TEST(ResultTest, NumericValuesKeepValueCodeAndMessageApart)
{
    const Result<std::uint64_t> failure(0, 1168, "Missing setting");
    EXPECT_EQ(failure.Value(), 0u);
    EXPECT_EQ(failure.ErrorCode(), 1168u);
    EXPECT_EQ(failure.Message().rfind("Missing setting (Error: 1168 - Message: ", 0), 0u);

    const Result<std::uint64_t> success(std::uint64_t{87});
    EXPECT_TRUE(success.Succeeded());
    EXPECT_EQ(success.Value(), 87u);
}

}  // namespace
