#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "HelperCore/Server/Wire.hpp"

namespace tavrel::client {

/// One connection to a serving helper: request frames out, frames back with a time limit.
/// Used from one thread.
class ClientSocket {
  public:
    using Clock = std::chrono::steady_clock;

    /// Throws HelperFailure (status 503) when nothing listens on `path`.
    explicit ClientSocket(const std::string& path);
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    /// Sends one request frame and returns its id.
    std::uint32_t request(const std::string& json);

    /// The next frame for `id`, frames of other ids being dropped; none once the helper closed
    /// the connection. Throws HelperFailure (504) when `deadline` passes first.
    std::optional<Frame> next(std::uint32_t id, Clock::time_point deadline);

    /// Chunks are skipped; a reply gives its frame; a failure frame is thrown as the
    /// HelperFailure it carries.
    Frame answer(std::uint32_t id, Clock::time_point deadline);

    /// Shuts down the connection: the helper sees the client go and cancels what it runs for it.
    void close();

  private:
    int descriptor_ = -1;
    std::uint32_t nextId_ = 1;
    FrameDecoder decoder_;
    std::deque<Frame> pending_;
    bool ended_ = false;
};

/// The HelperFailure a failure frame carries (a malformed one gives status 502).
[[noreturn]] void throwFailure(const Frame& frame);

}  // namespace tavrel::client
