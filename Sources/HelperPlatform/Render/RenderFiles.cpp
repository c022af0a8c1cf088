#include "HelperPlatform/Render/RenderFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

namespace tavrel::RenderFiles {
namespace {

[[noreturn]] void refuse(const std::string& message) {
    throw HelperFailure(message, 400);
}

// Who a path is: its device and inode when it leads to a file, and its path made absolute,
// normal and free of the links that exist along it.
struct Identity {
    std::optional<std::pair<dev_t, ino_t>> inode;
    std::filesystem::path normal;
};

Identity identify(const std::string& path) {
    Identity identity;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) identity.inode = {status.st_dev, status.st_ino};
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    identity.normal = std::filesystem::weakly_canonical(absolute, error);
    if (error) identity.normal = absolute.lexically_normal();
    return identity;
}

bool same(const Identity& a, const Identity& b) {
    if (a.inode && b.inode) return *a.inode == *b.inode;
    if (a.inode || b.inode) return false;
    return a.normal == b.normal;
}

void checkReplaceable(const std::string& path, const std::string& what) {
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) return;  // nothing there yet, or the writer says why
    struct stat target {};
    const bool regular =
        S_ISREG(entry.st_mode) ||
        (S_ISLNK(entry.st_mode) && ::stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode));
    if (!regular)
        refuse("the job's " + what + " would replace what is not a regular file: " + path);
}

}  // namespace

ReadableFile::ReadableFile(const std::string& path, const std::string& what,
                           const Failure& cannotOpen) {
    // O_NONBLOCK: opening a FIFO returns at once instead of waiting for a writer.
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor_ < 0) throw cannotOpen(std::strerror(errno));
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) {
        const int error = errno;
        ::close(descriptor_);
        throw cannotOpen(std::strerror(error));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(descriptor_);
        refuse(what + " is not a regular file: " + path);
    }
    size_ = status.st_size;
}

ReadableFile::~ReadableFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

std::string ReadableFile::pathOfDescriptor() const {
    return "/proc/self/fd/" + std::to_string(descriptor_);
}

int ReadableFile::release() {
    return std::exchange(descriptor_, -1);
}

void checkOutputs(const RenderJob& job) {
    if (job.mp4) checkReplaceable(*job.mp4, "mp4");
    if (job.gif) checkReplaceable(*job.gif, "gif");
    const Identity input = identify(job.input);
    if (job.mp4 && same(identify(*job.mp4), input)) {
        refuse("the job's mp4 would replace its input: " + *job.mp4);
    }
    if (job.gif && same(identify(*job.gif), input)) {
        refuse("the job's gif would replace its input: " + *job.gif);
    }
    if (job.mp4 && job.gif && same(identify(*job.mp4), identify(*job.gif))) {
        refuse("the job's mp4 and gif are the same file: " + *job.gif);
    }
}

std::string replacedPath(const std::string& path) {
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

bool replaceable(const std::string& path) {
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) return errno == ENOENT;
    return S_ISREG(entry.st_mode);
}

}  // namespace tavrel::RenderFiles
