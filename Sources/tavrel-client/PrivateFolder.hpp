#pragma once

#include <filesystem>
#include <string>

namespace tavrel::client {

/// A folder only this user can enter, made under the temporary directory and removed with all
/// it holds when the object goes.
class PrivateFolder {
  public:
    /// `prefix` starts the folder's name. Throws HelperFailure 502 when it cannot be made.
    explicit PrivateFolder(const std::string& prefix);
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace tavrel::client
