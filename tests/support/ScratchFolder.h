#pragma once

#include <filesystem>
#include <string>

namespace Tessaro::Testing {

// A fresh, empty folder under the temporary folder, removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A folder below `folder` whose path, in the long-path form it is returned in, is at least `length`
// characters long: deeper than a path without that form may go.
std::wstring DeepFolder(const ScratchFolder& folder, std::size_t length);

// A file's bytes, and a file written to hold exactly the given bytes.
std::string FileText(const std::filesystem::path& path);
void WriteText(const std::filesystem::path& path, const std::string& content);

}  // namespace Tessaro::Testing
