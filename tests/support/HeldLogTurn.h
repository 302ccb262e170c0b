#pragma once

#include "support/ChildProcess.h"

#include <string>

namespace Tessaro::Testing {

// Another process (lockholder.exe) that holds the turn lock of a log, on its ".lock" companion,
// from construction until this object ends.
class HeldLogTurn {
public:
    explicit HeldLogTurn(const std::wstring& lockFile);

    // The other process has the lock now.
    bool Held() const { return held_; }

private:
    ChildProcess holder_;
    bool held_ = false;
};

}  // namespace Tessaro::Testing
