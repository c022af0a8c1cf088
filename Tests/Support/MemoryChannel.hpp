#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Server/Connection.hpp"
#include "HelperCore/Server/Wire.hpp"

namespace tavrel::testing {

/// An in-memory byte stream: the test plays the client, feeding bytes to the connection and
/// reading back the frames it wrote. Thread-safe like a socket; `runConnection` plays the
/// event loop between it and a `Connection`.
class MemoryChannel {
  public:
    // The client's side.
    void feed(Bytes bytes);
    void feed(const Frame& frame) { feed(Wire::encode(frame)); }
    /// The client closes its end: reads return none once the fed bytes are consumed.
    void endInput();
    /// The next read (after the fed bytes) fails with this `HelperFailure`.
    void failReads();
    /// Writes after the first `okWrites` fail; each write takes `delay`.
    void failWritesAfter(std::size_t okWrites);
    void setWriteDelay(std::chrono::milliseconds delay);

    /// Every frame written so far, decoded; the test fails on bytes that are not whole frames.
    std::vector<Frame> frames() const;
    /// Waits until at least `count` frames are written; false on timeout.
    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForClose(std::chrono::milliseconds timeout) const;
    std::size_t closeCount() const;
    std::size_t writeCount() const;

    // The connection's side. `read` waits for bytes; none once the input ended.
    std::optional<Bytes> read();
    void write(std::span<const std::uint8_t> bytes);
    void close();

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Bytes> incoming_;
    bool inputEnded_ = false;
    bool readsFail_ = false;
    bool closed_ = false;
    std::size_t closes_ = 0;
    Bytes written_;
    std::size_t writes_ = 0;
    std::optional<std::size_t> okWrites_;
    std::chrono::milliseconds writeDelay_{0};
};

/// Serves `channel` with a `Connection` as the event loop would, on the calling thread: reads
/// while the connection wants input, ends the reading when the input ends or fails, waits for
/// the answers, then closes the channel once.
void runConnection(std::shared_ptr<MemoryChannel> channel, Router& router, Log log,
                   ConnectionLimits limits = {}, TaskPool& pool = TaskPool::shared());

}  // namespace tavrel::testing
