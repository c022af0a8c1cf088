#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

#include "HelperCore/Replay/ReplayRing.hpp"
#include "HelperCore/Replay/TouchLog.hpp"
#include "HelperCore/Server/Device.hpp"
#include "HelperCore/Server/Requests.hpp"
#include "HelperCore/Server/Wire.hpp"

namespace tavrel {

/// Turns one decoded request into the frames that answer it, asking the process's one device.
/// Every answer ends with exactly one final frame for the request's id, a `reply` or a
/// `failure` (a stream sends its `chunk` frames before it); only a `reply` whose sending fails
/// is followed by an attempted `failure`.
///
/// Threads: one router serves every connection; `answer` runs concurrently in any number of
/// tasks; it makes replay files one at a time, and the device serialises what it must.
class Router {
  public:
    /// Writes one frame to the client; may throw (the client is gone). False when a stream
    /// chunk was left out because the client is behind.
    using Send = std::function<bool(const Frame&)>;

    /// `touches` keeps what input requests inject (a log of its own when null); `replay` is the
    /// screen's last seconds, null when the helper keeps none.
    explicit Router(Device& device, std::shared_ptr<TouchLog> touches = nullptr,
                    std::shared_ptr<ReplayRing> replay = nullptr);

    /// Answers through `send`; never throws. `stop` is the answering task's cancellation: it
    /// ends a running stream (the device stops producing it). A stream whose chunk is left out
    /// sends nothing more until a key frame, which it asks the device for.
    void answer(std::uint32_t id, const Request& request, const Send& send,
                std::stop_token stop = {}) const;

    /// Answers at once, and returns true, a request that needs no waiting: a `describe` whose
    /// screen the device has at hand (`Device::screenAtOnce`). Never blocks nor throws, so the
    /// event loop may call it; false leaves the request to `answer` on a task. The frames are
    /// those `answer` would send.
    bool answerAtOnce(std::uint32_t id, const Request& request, const Send& send) const;

    /// The hello from the device: its screen (a failure there fails the hello), the input
    /// transport's name or why input is unavailable, and the device's texts.
    Hello hello() const;

  private:
    // The request's failure frame for the error being handled; a failed send is dropped.
    static void sendFailure(std::uint32_t id, const Send& send) noexcept;

    // Each sends the request's final frame (and a stream its chunks); failures propagate.
    void answerHello(std::uint32_t id, const Send& send) const;
    void answerDescribe(std::uint32_t id, const Send& send) const;
    void answerAccessibility(std::uint32_t id, const Send& send) const;
    void answerScreenshot(std::uint32_t id, const ScreenshotRequest& request,
                          const Send& send) const;
    void answerHID(std::uint32_t id, const std::vector<HIDEvent>& events, const Send& send) const;
    void answerStream(std::uint32_t id, const StreamSettings& settings, const Send& send,
                      std::stop_token stop) const;
    void answerReplay(std::uint32_t id, const Send& send) const;
    void answerTouches(std::uint32_t id, std::optional<double> since, const Send& send) const;

    Device& device_;
    const std::shared_ptr<TouchLog> touches_;
    const std::shared_ptr<ReplayRing> replay_;
    mutable std::mutex replayMaking_;
};

}  // namespace tavrel
