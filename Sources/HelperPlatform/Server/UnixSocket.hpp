#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>

namespace tavrel {

/// The Unix-domain stream socket the host connects to: made at `path` with mode 0600 (whatever
/// is at the path is replaced: a stale socket, or a placeholder the host made to reserve the
/// name), non-blocking, for the server's event loop to accept from.
///
/// The socket file belongs to this listener only while it is the one it bound: closing removes
/// it only if the path still names the same file (device, inode and change time), so a helper that
/// stops never takes away the socket of a later helper on the same path.
///
/// Threads: `acceptOne` from the event loop; `close` from any thread once the loop no longer
/// accepts; the destructor closes.
class UnixSocketListener {
  public:
    /// The longest path a socket address holds, without its terminating zero.
    static constexpr std::size_t maxPathBytes = 103;
    static constexpr int backlog = 8;

    /// Binds and listens. Throws `HelperFailure` 400 for a path over 103 bytes, 502 "no socket:
    /// {reason}" or "cannot listen on {path}: {reason}".
    explicit UnixSocketListener(std::string path);
    ~UnixSocketListener();
    UnixSocketListener(const UnixSocketListener&) = delete;
    UnixSocketListener& operator=(const UnixSocketListener&) = delete;

    const std::string& path() const { return path_; }
    int descriptor() const { return descriptor_; }

    /// A connected, non-blocking socket, or none when no client waits. A client that gave up
    /// before it was taken counts as none. Throws `HelperFailure` 502 "cannot accept: {reason}"
    /// for a lack of descriptors or memory, which passes when connections end.
    std::optional<int> acceptOne();

    /// Closes the socket and removes its file if it is still this listener's. Later calls do
    /// nothing.
    void close();

  private:
    const std::string path_;
    int descriptor_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    timespec changed_{};
};

/// The operating system's text for an error number ("Broken pipe").
std::string systemErrorText(int error);

}  // namespace tavrel
