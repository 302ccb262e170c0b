#pragma once

namespace Tessaro::Ravelin {

// The command a run performs, chosen from the command line.
enum class RunMode {
    Register = 0,
    Remove = 1,
    UpdateState = 2,
    LaunchRemediation = 3,
};

}  // namespace Tessaro::Ravelin
