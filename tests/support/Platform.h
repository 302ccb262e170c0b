#pragma once

namespace Tessaro::Testing {

// Which platform the tests run on, for the tests whose answer differs between Windows and Wine:
// Wine's ntdll exports wine_get_version (the way Wine documents to find it); Windows' does not.
bool RunningUnderWine();
// Whether this process's token is elevated (an administrator's full token), and whether it is
// LocalSystem's.
bool RunningElevated();
bool RunningAsSystem();

}  // namespace Tessaro::Testing
