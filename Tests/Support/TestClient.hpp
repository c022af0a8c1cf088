#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HelperCore/Server/Wire.hpp"

namespace tavrel::testing {

/// A client of the helper's wire protocol over a real Unix socket, for end-to-end tests: sends
/// request frames (or any bytes) and reads frames back with time limits. One thread at a time.
class TestClient {
  public:
    using Milliseconds = std::chrono::milliseconds;

    /// Connects, retrying until the socket accepts or `timeout` passes (the server may still be
    /// starting). Throws std::runtime_error when it never does.
    explicit TestClient(const std::string& path, Milliseconds timeout = Milliseconds(5000));
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void sendRaw(std::span<const std::uint8_t> bytes);
    void send(const Frame& frame);
    /// A request frame with this id and JSON text.
    void request(std::uint32_t id, const std::string& json);

    /// The next frame; none when the server closed the connection. Throws std::runtime_error
    /// on timeout or on bytes that are not frames.
    std::optional<Frame> readFrame(Milliseconds timeout = Milliseconds(5000));

    /// One request's answer: the chunks, then the final reply or failure. Frames of other ids
    /// that arrive meanwhile are kept for later reads.
    struct Answer {
        std::vector<Frame> chunks;
        Frame final;
        std::string json() const { return std::string(final.json.begin(), final.json.end()); }
    };
    Answer ask(std::uint32_t id, const std::string& json,
               Milliseconds timeout = Milliseconds(5000));
    Answer awaitAnswer(std::uint32_t id, Milliseconds timeout = Milliseconds(5000));

    /// True once the server has closed its end (read gives end of stream) within `timeout`.
    bool waitForClose(Milliseconds timeout = Milliseconds(5000));

    /// Closes the client's end (the server sees end of stream).
    void close();
    int descriptor() const { return descriptor_; }

  private:
    int descriptor_ = -1;
    FrameDecoder decoder_;
    std::deque<Frame> pending_;
    bool ended_ = false;
};

}  // namespace tavrel::testing
