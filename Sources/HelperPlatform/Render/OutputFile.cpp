#include "HelperPlatform/Render/OutputFile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Render/RenderFiles.hpp"

namespace tavrel {
namespace {

[[noreturn]] void fail(const OutputFile::Failure& failure) {
    throw failure(std::strerror(errno));
}

// mkstemp makes files only its owner may read; an output gets what creat would give it.
mode_t usualMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(std::string path, Failure failure)
    : path_(std::move(path)),
      target_(RenderFiles::replacedPath(path_)),
      failure_(std::move(failure)) {
    std::vector<char> pattern(target_.begin(), target_.end());
    for (char c : std::string(".XXXXXX")) pattern.push_back(c);
    pattern.push_back('\0');
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) fail(failure_);
    temporaryPath_ = pattern.data();
    const bool moded = ::fchmod(descriptor, usualMode()) == 0;
    ::close(descriptor);
    if (!moded) {
        const int error = errno;
        ::unlink(temporaryPath_.c_str());
        errno = error;
        fail(failure_);
    }
}

OutputFile::~OutputFile() {
    if (state_ == State::writing) ::unlink(temporaryPath_.c_str());
}

void OutputFile::commit() {
    // Checked before writing began too; a device put there since is still not replaced.
    if (!RenderFiles::replaceable(target_)) throw failure_("not a regular file: " + target_);
    if (std::rename(temporaryPath_.c_str(), target_.c_str()) != 0) fail(failure_);
    state_ = State::committed;
}

}  // namespace tavrel
