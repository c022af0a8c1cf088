#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperCore/Server/Device.hpp"

namespace tavrel {

/// The Unix-domain stream socket the host connects to: made at `path` with mode 0600 (a stale
/// file from an earlier run is removed first), accepting on a thread of its own
/// ("tavrel.accept") and handing each connection on as a `SocketChannel`.
///
/// Threads: `accept` once, from any thread; `close` from any thread but the accept thread
/// (the handler must not close its own listener); the destructor closes.
class UnixSocketListener {
  public:
    using Handler = std::function<void(std::shared_ptr<ByteChannel>)>;

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

    /// Starts the accept thread; `handler` runs on it for each new channel and must return
    /// quickly. Returns at once.
    void accept(Handler handler);

    /// Stops accepting, closes the socket and removes its file. Channels already accepted stay
    /// open. Later calls do nothing.
    void close();

  private:
    void acceptLoop(Handler handler);

    const std::string path_;
    int descriptor_ = -1;
    std::mutex mutex_;  // guards `closed_` and the start of the thread
    bool closed_ = false;
    std::thread acceptThread_;
};

/// One accepted connection. Reads run one at a time on its "tavrel.socket.read" queue, writes
/// one at a time on its "tavrel.socket.write" queue, so a read and a write may overlap but two
/// writes never interleave.
///
/// Threads: `read` from one task at a time, `write` and `close` from any thread. A read or write
/// waiting on the socket when `close` is called ends (a read with none, a write with a failure);
/// later calls fail without touching the descriptor number, which the system may have reused.
class SocketChannel : public ByteChannel {
  public:
    static constexpr std::size_t readSize = 65536;

    /// Takes ownership of a connected socket.
    explicit SocketChannel(int descriptor);
    ~SocketChannel() override;

    std::optional<Bytes> read() override;
    void write(std::span<const std::uint8_t> bytes) override;
    void close() override;

  private:
    bool isClosed();

    const int descriptor_;
    std::mutex mutex_;  // guards `closed_`
    bool closed_ = false;
    std::unique_ptr<std::uint8_t[]> readBuffer_;  // used on the read queue only
    SerialQueue readQueue_{"tavrel.socket.read"};
    SerialQueue writeQueue_{"tavrel.socket.write"};
};

/// The operating system's text for an error number ("Broken pipe").
std::string systemErrorText(int error);

}  // namespace tavrel
