#include "HelperPlatform/Server/UnixSocket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"

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
    ::unlink(path_.c_str());  // a stale socket from an earlier run must not block the bind
    descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor_ < 0) throw HelperFailure("no socket: " + systemErrorText(errno), 502);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    // No connection can arrive before listen(), so the mode is right before anyone can connect.
    if (::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path_.c_str(), 0600) != 0 || ::listen(descriptor_, backlog) != 0) {
        const int error = errno;
        ::close(descriptor_);
        descriptor_ = -1;
        throw HelperFailure("cannot listen on " + path_ + ": " + systemErrorText(error), 502);
    }
}

UnixSocketListener::~UnixSocketListener() {
    close();
}

void UnixSocketListener::accept(Handler handler) {
    std::lock_guard lock(mutex_);
    if (closed_ || acceptThread_.joinable()) return;
    acceptThread_ = std::thread([this, handler = std::move(handler)] {
        setCurrentThreadName("tavrel.accept");
        acceptLoop(handler);
    });
}

void UnixSocketListener::acceptLoop(Handler handler) {
    for (;;) {
        const int connection = ::accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            // Linux has no per-socket option against SIGPIPE; the channel sends with
            // MSG_NOSIGNAL instead, so a write to a vanished peer reports EPIPE.
            std::shared_ptr<ByteChannel> channel;
            try {
                channel = std::make_shared<SocketChannel>(connection);
            } catch (...) {
                ::close(connection);  // no threads left to serve this one; go on with the next
                continue;
            }
            handler(std::move(channel));
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        // A client that gave up before we took it is no reason to stop serving the others.
        if (error == ECONNABORTED || error == EPROTO) continue;
        // Out of descriptors or memory: wait for connections to end rather than stop for good.
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard lock(mutex_);
            if (closed_) return;
            continue;
        }
        return;  // the socket was shut down or closed
    }
}

void UnixSocketListener::close() {
    std::thread acceptThread;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || descriptor_ < 0) return;
        closed_ = true;
        ::shutdown(descriptor_, SHUT_RDWR);  // wakes the accept thread
        acceptThread = std::move(acceptThread_);
    }
    if (acceptThread.joinable()) acceptThread.join();
    ::close(descriptor_);
    ::unlink(path_.c_str());
}

SocketChannel::SocketChannel(int descriptor)
    : descriptor_(descriptor), readBuffer_(new std::uint8_t[readSize]) {}

SocketChannel::~SocketChannel() {
    close();
}

bool SocketChannel::isClosed() {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::optional<Bytes> SocketChannel::read() {
    return readQueue_.sync([this]() -> std::optional<Bytes> {
        if (isClosed()) return std::nullopt;
        for (;;) {
            const ssize_t count = ::read(descriptor_, readBuffer_.get(), readSize);
            if (count > 0) return Bytes(readBuffer_.get(), readBuffer_.get() + count);
            if (count == 0) return std::nullopt;
            if (errno == EINTR) continue;
            throw HelperFailure("reading the socket: " + systemErrorText(errno), 502);
        }
    });
}

void SocketChannel::write(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    writeQueue_.sync([this, bytes] {
        if (isClosed()) throw HelperFailure("writing the socket: " + systemErrorText(EPIPE), 502);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count =
                ::send(descriptor_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (count > 0) {
                done += static_cast<std::size_t>(count);
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            const int error = count < 0 ? errno : EIO;
            throw HelperFailure("writing the socket: " + systemErrorText(error), 502);
        }
    });
}

void SocketChannel::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
    }
    // Wake a read or write waiting on the socket, let it finish, and only then give the
    // descriptor number back to the system.
    ::shutdown(descriptor_, SHUT_RDWR);
    readQueue_.sync([] {});
    writeQueue_.sync([] {});
    ::close(descriptor_);
}

}  // namespace tavrel
