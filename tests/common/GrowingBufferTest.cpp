#include "common/foundation/GrowingBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Tessaro::Vantrel::Common::Utilities::BufferNeed;
using Tessaro::Vantrel::Common::Utilities::FillGrowingBuffer;

// A call that answers with a text of the given length, and records the sizes it was offered.
struct TextCall {
    std::wstring text;
    std::vector<std::size_t> offered;
    BufferNeed operator()(wchar_t* buffer, std::size_t size)
    {
        offered.push_back(size);
        if (text.size() > size) {
            return {0, text.size()};
        }
        text.copy(buffer, text.size());
        return {0, text.size()};
    }
};

TEST(GrowingBufferTest, GrowsToWhatTheAnswerNeedsAndKeepsExactlyTheAnswer)
{
    TextCall call{std::wstring(300, L'x'), {}};
    std::wstring answer;
    EXPECT_EQ(FillGrowingBuffer(answer, 10, 1000, std::ref(call)), 0u);
    EXPECT_EQ(answer, call.text);
    EXPECT_EQ(call.offered, (std::vector<std::size_t>{10, 300})) << "what was needed, once it is more than double";

    TextCall fits{L"abc", {}};
    EXPECT_EQ(FillGrowingBuffer(answer, 3, 1000, std::ref(fits)), 0u);
    EXPECT_EQ(answer, L"abc") << "an answer that fills the buffer exactly is complete";
    EXPECT_EQ(fits.offered.size(), 1u);

    // An answer that grows a little each time is asked again with at least twice the room.
    std::vector<std::size_t> offered;
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(FillGrowingBuffer(bytes, 10, 1000,
                                [&](std::uint8_t*, std::size_t size) {
                                    offered.push_back(size);
                                    return BufferNeed{0, size >= 40 ? 40 : size + 1};
                                }),
              0u);
    EXPECT_EQ(bytes.size(), 40u);
    EXPECT_EQ(offered, (std::vector<std::size_t>{10, 20, 40}));
}

TEST(GrowingBufferTest, ErrorsAndTheMaximumEndTheCall)
{
    std::wstring answer(5, L's');  // stale
    EXPECT_EQ(FillGrowingBuffer(answer, 8, 100, [](wchar_t*, std::size_t) { return BufferNeed{5, 0}; }), 5u);
    EXPECT_TRUE(answer.empty());

    TextCall tooLong{std::wstring(101, L'x'), {}};
    EXPECT_EQ(FillGrowingBuffer(answer, 8, 100, std::ref(tooLong)), 122u);
    EXPECT_TRUE(answer.empty());
    EXPECT_EQ(tooLong.offered.back(), 100u) << "the maximum itself is offered before giving up";
}

}  // namespace
