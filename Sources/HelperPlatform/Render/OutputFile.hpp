#pragma once

#include <functional>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

/// An output written beside its final path and renamed over it once complete, so a render
/// that fails leaves the caller's previous file as it was and no partial file behind. A path
/// that is a symbolic link is written through: the file it leads to is replaced, not the link.
class OutputFile {
  public:
    /// Makes the failure of a step from the system's reason.
    using Failure = std::function<HelperFailure(const std::string& reason)>;

    /// Reserves a temporary file in the path's folder. Throws `failure` when it cannot.
    OutputFile(std::string path, Failure failure);
    /// Removes the temporary file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }
    const std::string& temporaryPath() const { return temporaryPath_; }

    /// Renames the file over the path, unless something other than a regular file has appeared
    /// there. Throws `failure`.
    void commit();

  private:
    enum class State { writing, committed };
    std::string path_;
    std::string target_;  // the path, or the file its link leads to
    std::string temporaryPath_;
    Failure failure_;
    State state_ = State::writing;
};

}  // namespace tavrel
