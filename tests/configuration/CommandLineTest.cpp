#include "configuration/CommandLine.h"
#include "common/ConversionException.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Tessaro::Ravelin::FindSwitch;
using Tessaro::Ravelin::GetOptionValue;
using Tessaro::Ravelin::ToUpper;

std::string Upper(std::string text)
{
    ToUpper(text);
    return text;
}

TEST(CommandLineTest, ToUpperMapsAsciiAndTextBeyondIt)
{
    EXPECT_EQ(Upper("/remove /id=ab-1"), "/REMOVE /ID=AB-1");
    EXPECT_EQ(Upper("/id=gr\xC3\xBC\xC3\x9F"), "/ID=GR\xC3\x9C\xC3\x9F");
    const std::string longAscii(300, 'a');
    EXPECT_EQ(Upper(longAscii), std::string(300, 'A'));
    EXPECT_THROW(Upper("/id=\xFF"), Tessaro::ConversionException);
}

TEST(CommandLineTest, SwitchCountsOnlyAtItsFirstOccurrence)
{
    EXPECT_TRUE(FindSwitch("/REGISTER", "/REGISTER"));
    EXPECT_TRUE(FindSwitch("X/REGISTER /ID=1", "/REGISTER"));
    EXPECT_FALSE(FindSwitch("/REGISTERED", "/REGISTER"));
    EXPECT_FALSE(FindSwitch("/REGISTERED /REGISTER", "/REGISTER"));
    EXPECT_FALSE(FindSwitch("", "/AV"));
}

TEST(CommandLineTest, OptionValuesAreUpperCasedAndMayBeQuoted)
{
    EXPECT_EQ(GetOptionValue("/REGISTER /id=abc", "/ID="), "ABC");
    EXPECT_EQ(GetOptionValue("/id=\"my id\" /REGISTER", "/ID="), "MY ID");
    EXPECT_EQ(GetOptionValue("/id=\"open quote runs on", "/ID="), "OPEN QUOTE RUNS ON");
    EXPECT_EQ(GetOptionValue("/id=a\"b c", "/ID="), "A\"B");
    EXPECT_EQ(GetOptionValue("/id= x", "/ID="), "");
    EXPECT_EQ(GetOptionValue("/id=first /id=second", "/ID="), "FIRST");
    EXPECT_EQ(GetOptionValue("", "/ID="), "");
}

}  // namespace
