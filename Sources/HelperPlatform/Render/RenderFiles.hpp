#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/RenderJob.hpp"

namespace tavrel {

/// The files a render reads and replaces, held to what a caller can mean by a file: it reads
/// only regular files (a device would be read for ever, a FIFO would wait for a writer), and
/// never replaces anything else nor its own input.
namespace RenderFiles {

/// A regular file open for reading, closed when dropped.
class ReadableFile {
  public:
    /// Makes the failure of opening from the system's reason.
    using Failure = std::function<HelperFailure(const std::string& reason)>;

    /// Opens `path` without waiting for a FIFO's writer. Throws `HelperFailure` 400
    /// "{what} is not a regular file: {path}" for anything else, and `cannotOpen`'s failure
    /// when it cannot be opened.
    ReadableFile(const std::string& path, const std::string& what, const Failure& cannotOpen);
    ~ReadableFile();
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;

    int descriptor() const { return descriptor_; }
    off_t size() const { return size_; }
    /// The same open file by name, for a library that opens files itself.
    std::string pathOfDescriptor() const;
    /// Hands the descriptor to the caller, who closes it.
    int release();

  private:
    int descriptor_ = -1;
    off_t size_ = 0;
};

/// Refuses, before anything is written, a job whose output exists and is not a regular file
/// (a symbolic link to one is written through) or is the same file as the job's input or as
/// its other output: the same device and inode where the files exist, else the same path once
/// made absolute, normal and free of links. Throws `HelperFailure` 400.
void checkOutputs(const RenderJob& job);

/// The file an output named `path` replaces: `path` itself, or for a symbolic link the regular
/// file it leads to, so that the link stays.
std::string replacedPath(const std::string& path);

/// Whether `path` names nothing yet or a regular file, as the final entry (not followed).
bool replaceable(const std::string& path);

}  // namespace RenderFiles
}  // namespace tavrel
