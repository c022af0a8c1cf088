#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace tavrel::client {

/// Where the client's time goes for one tap that the page traces: the page's hid request
/// arriving, going out to the helper, the helper's answer, the first stream chunk the helper
/// sent after that request, and that chunk's WebSocket message leaving for the page. The page
/// adds its own stages and maps these onto its clock. One tap at a time: a new one replaces the
/// one under way. Used from one thread.
class ViewTrace {
  public:
    using Clock = std::chrono::steady_clock;
    enum class State { idle, tracing };

    /// The page's traced request `tag` arrived at `received`.
    void begin(std::uint64_t tag, Clock::time_point received);
    /// The lane wrote request `tag` to the helper at `written` and had its answer at `answered`.
    void answered(std::uint64_t tag, Clock::time_point written, Clock::time_point answered);
    /// Video unit `serial` (the outbox's number) came from the helper at `pumped`.
    void queued(std::uint64_t serial, Clock::time_point pumped);
    /// Video unit `serial` went out as the page's `message`-th video message at `at`.
    void sent(std::uint64_t serial, std::uint64_t message, Clock::time_point at);

    /// The whole trace once it is complete, then idle again: {"id", "received", "written",
    /// "answered", "chunk", "sent" (milliseconds on the client's monotonic clock), "video" (the
    /// ordinal of the chunk's message among the video messages of the page's socket)}.
    std::optional<nlohmann::json> finished();

    State state() const { return state_; }
    /// Milliseconds on the clock the trace's times use.
    static double ms(Clock::time_point at);

  private:
    struct Video {
        std::uint64_t serial;
        Clock::time_point pumped;
        std::optional<std::pair<std::uint64_t, Clock::time_point>> sent;
    };
    // Enough for the units a still screen sends in a trace's lifetime; a trace that sees more
    // than this before its answer is let go.
    static constexpr std::size_t maxVideos = 32;

    State state_ = State::idle;
    std::uint64_t tag_ = 0;
    Clock::time_point received_;
    std::optional<std::pair<Clock::time_point, Clock::time_point>> answered_;
    std::vector<Video> videos_;
};

}  // namespace tavrel::client
