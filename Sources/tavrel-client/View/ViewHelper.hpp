#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

#include "HelperCore/Base/Bytes.hpp"

// The viewer's connections to the helper. Each runs on a thread of its own with a blocking
// ClientSocket, so that a slow element tree never holds up a touch, and neither ever holds up
// the web server's thread. Callbacks run on that thread and must not block; the owner forwards
// them to its own thread. Destruction stops the thread and joins it within one wait slice.

namespace tavrel::client {

/// One live stream for one viewer, reopened when it fails or is restarted: a reopened stream
/// begins with a key frame, which is how a viewer that fell behind picks up again.
class StreamPump {
  public:
    /// A chunk and when it came from the helper.
    using OnChunk = std::function<void(Bytes, std::chrono::steady_clock::time_point)>;
    /// What went wrong with the stream, in the helper's words; the pump retries after a second.
    using OnTrouble = std::function<void(const std::string&)>;

    StreamPump(std::string socket, std::string request, OnChunk onChunk, OnTrouble onTrouble);
    ~StreamPump();
    StreamPump(const StreamPump&) = delete;
    StreamPump& operator=(const StreamPump&) = delete;

    /// Leaves the current stream and opens a new one. Any thread.
    void restart() { restart_ = true; }

  private:
    void run(std::stop_token stop);

    std::string socket_;
    std::string request_;
    OnChunk onChunk_;
    OnTrouble onTrouble_;
    std::atomic<bool> restart_{false};
    std::jthread thread_;
};

/// Requests answered one after another over one connection, in the order submitted.
class RequestLane {
  public:
    struct Answer {
        std::uint64_t tag = 0;
        bool ok = false;
        std::string json;     // the reply's JSON part when ok
        std::string message;  // the failure's, when not
        int status = 0;
        // When the request went to the helper and when its answer came back.
        std::chrono::steady_clock::time_point written, replied;
    };
    using OnAnswer = std::function<void(Answer)>;

    RequestLane(std::string socket, double timeoutS, std::size_t capacity, OnAnswer onAnswer);
    ~RequestLane();
    RequestLane(const RequestLane&) = delete;
    RequestLane& operator=(const RequestLane&) = delete;

    /// Queues a request document; false, and nothing queued, when `capacity` already wait.
    bool submit(std::uint64_t tag, std::string json);

  private:
    void run(std::stop_token stop);

    std::string socket_;
    double timeoutS_;
    std::size_t capacity_;
    OnAnswer onAnswer_;
    std::mutex lock_;
    std::condition_variable_any ready_;
    std::deque<std::pair<std::uint64_t, std::string>> waiting_;
    std::jthread thread_;
};

}  // namespace tavrel::client
