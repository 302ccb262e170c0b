#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace Tessaro::Vantrel::Common::Utilities {

// What one call that fills a caller's buffer answered: its error, or how many units the answer
// needs. Within the offered size that is the answer's own length; beyond it, the buffer was too
// small.
struct BufferNeed {
    std::uint32_t error = 0;
    std::size_t needed = 0;
};

// The grow-buffer idiom of the platform calls that fill a buffer the caller offers. `attempt` is
// called with the buffer and its size in units and returns its BufferNeed; a buffer that was too
// small is grown to what was needed, and at least doubled, and the call made again, since the
// answer may have grown in between. Returns 0 with `answer` holding exactly the answer's units,
// or the call's error, or 122 (ERROR_INSUFFICIENT_BUFFER) when even `maximum` units do not do.
// `Buffer` is a std::wstring or a std::vector of bytes or records.
template <typename Buffer, typename Attempt>
std::uint32_t FillGrowingBuffer(Buffer& answer, std::size_t initial, std::size_t maximum, Attempt attempt)
{
    constexpr std::uint32_t InsufficientBuffer = 122;
    std::size_t size = std::clamp<std::size_t>(initial, 1, maximum);
    for (;;) {
        answer.assign(size, typename Buffer::value_type{});
        const BufferNeed need = attempt(answer.data(), size);
        if (need.error != 0) {
            answer.clear();
            return need.error;
        }
        if (need.needed <= size) {
            answer.resize(need.needed);
            return 0;
        }
        if (size >= maximum) {
            answer.clear();
            return InsufficientBuffer;
        }
        size = std::min(maximum, std::max(need.needed, size * 2));
    }
}

}  // namespace Tessaro::Vantrel::Common::Utilities
