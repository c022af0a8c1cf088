#include "HelperPlatform/Server/UnixSocket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

std::string systemErrorText(int error) {
    return std::generic_category().message(error);
}

UnixSocketListener::UnixSocketListener(std::string path) : path_(std::move(path)) {
    if (path_.size() > maxPathBytes) {
        throw HelperFailure("the socket path " + path_ + " is longer than a socket's " +
                                std::to_string(maxPathBytes) + " bytes",
                            400);
    }
    ::unlink(path_.c_str());  // a stale socket or the host's placeholder must not block the bind
    descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor_ < 0) throw HelperFailure("no socket: " + systemErrorText(errno), 502);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    struct stat bound {};
    // No connection can arrive before listen(), so the mode is right before anyone can connect.
    if (::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path_.c_str(), 0600) != 0 || ::stat(path_.c_str(), &bound) != 0 ||
        ::listen(descriptor_, backlog) != 0) {
        const int error = errno;
        ::close(descriptor_);
        descriptor_ = -1;
        throw HelperFailure("cannot listen on " + path_ + ": " + systemErrorText(error), 502);
    }
    device_ = bound.st_dev;
    inode_ = bound.st_ino;
    changed_ = bound.st_ctim;
}

UnixSocketListener::~UnixSocketListener() {
    close();
}

std::optional<int> UnixSocketListener::acceptOne() {
    for (;;) {
        const int connection =
            ::accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection >= 0) return connection;
        const int error = errno;
        if (error == EINTR) continue;
        // A client that gave up before we took it is no reason to stop serving the others.
        if (error == ECONNABORTED || error == EPROTO) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return std::nullopt;
        throw HelperFailure("cannot accept: " + systemErrorText(error), 502);
    }
}

void UnixSocketListener::close() {
    if (descriptor_ < 0) return;
    ::close(descriptor_);
    descriptor_ = -1;
    // Only our own socket: another helper may have taken the path since. A file system may give
    // the new socket our freed inode number at once; its change time tells them apart.
    struct stat now {};
    if (::lstat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_ &&
        now.st_ctim.tv_sec == changed_.tv_sec && now.st_ctim.tv_nsec == changed_.tv_nsec) {
        ::unlink(path_.c_str());
    }
}

}  // namespace tavrel
