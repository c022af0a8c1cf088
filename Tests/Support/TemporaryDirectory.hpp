#pragma once

#include <filesystem>
#include <string>

namespace tavrel::testing {

/// A fresh directory under /tmp, removed with everything in it when the object goes. Short
/// paths on purpose: socket paths must stay under 104 bytes.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace tavrel::testing
