#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "HelperCore/Server/Wire.hpp"

namespace tavrel {

/// The client's end as a connection sees it: the platform's socket, written without waiting,
/// read by whoever calls the connection back when bytes arrive.
///
/// Threads: `writeSome` is called under the writer's lock, one call at a time; `setInterest`
/// and `finished` from any thread.
class FrameSink {
  public:
    virtual ~FrameSink() = default;

    /// Writes what fits of `bytes` now and returns how many (0 when the socket is full). Throws
    /// `HelperFailure` 502 "writing the socket: {reason}" when the client is unreachable.
    virtual std::size_t writeSome(std::span<const std::uint8_t> bytes) = 0;

    /// Whether the connection wants to hear of arriving bytes and of room to write.
    virtual void setInterest(bool read, bool write) = 0;

    /// The connection has nothing left to do; its socket may be closed.
    virtual void finished() = 0;
};

/// The one way frames of a connection reach its client. Each frame is encoded once and written
/// straight away when nothing waits before it; what the socket cannot take now waits, whole, in
/// a queue that `flush` empties as the socket drains, so frames of concurrent answers never cut
/// into each other. The queue is bounded for stream chunks only: while more than `chunkLimit`
/// bytes wait, a chunk is left out (a client that falls behind sees a gap, never stale video);
/// every other frame is kept, and the connection stops reading while the queue is long, so those
/// cannot pile up either.
///
/// Threads: `send` from any task of the connection at once; `flush` from the event loop.
class FrameWriter {
  public:
    enum class State { open, failed, closed };

    FrameWriter(std::shared_ptr<FrameSink> sink, std::size_t chunkLimit)
        : sink_(std::move(sink)), chunkLimit_(chunkLimit) {}

    /// Writes or queues the frame; false when a chunk was left out. Throws the sink's failure,
    /// and the same again on every send after it or after `close`.
    bool send(const Frame& frame);

    /// Writes what the socket takes of the queue. Never throws: a failing sink drops the queue
    /// and fails the later sends.
    void flush();

    /// Later sends fail; queued bytes are dropped.
    void close();

    /// Bytes queued and not yet written.
    std::size_t unsent() const { return unsent_.load(std::memory_order_relaxed); }
    State state() const;

  private:
    // Called with the lock held.
    void writeQueued();
    void fail(std::string message);

    const std::shared_ptr<FrameSink> sink_;
    const std::size_t chunkLimit_;
    mutable std::mutex mutex_;  // guards the fields below and every write to the sink
    State state_ = State::open;
    std::string failure_;
    std::deque<Bytes> queue_;
    std::size_t offset_ = 0;  // bytes of the queue's first frame already written
    std::atomic<std::size_t> unsent_{0};
};

}  // namespace tavrel
