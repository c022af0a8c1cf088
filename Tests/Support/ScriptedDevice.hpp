#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Input/HIDTransport.hpp"
#include "HelperCore/Server/Device.hpp"

namespace tavrel::testing {

/// A HID transport that records the steps sent through it; it can be made slow or to fail at
/// one step.
class RecordingTransport : public HIDTransport {
  public:
    explicit RecordingTransport(std::string name = "indigo") : name_(std::move(name)) {}

    void setDelay(std::chrono::milliseconds delay);
    /// The `index`-th step sent (counting from 0) fails with `failure`.
    void failAt(std::size_t index, HelperFailure failure);
    std::vector<HIDStep> steps() const;

    std::string name() const override { return name_; }
    void send(const HIDStep& step) override;

  private:
    const std::string name_;
    mutable std::mutex mutex_;
    std::vector<HIDStep> steps_;
    std::chrono::milliseconds delay_{0};
    std::optional<std::pair<std::size_t, HelperFailure>> failure_;
    std::size_t sent_ = 0;
};

/// A `Device` whose every answer the test sets: results, a delay and a failure per operation,
/// call counters, and streams that yield given buffers (or keep yielding until cancelled).
class ScriptedDevice : public Device {
  public:
    enum class Operation { screen, screenshot, tree, input, stream, warmed, count };

    ScriptedDevice();
    ~ScriptedDevice() override;

    // Settings; the results start as a 1179x2556 phone at 3x with a working "indigo" input.
    void setScreen(ScreenGeometry screen);
    void setJPEG(JPEG jpeg);
    void setTree(AXNode root);
    void setTransport(std::shared_ptr<RecordingTransport> transport);
    void setCoreSimulator(std::optional<std::string> text);
    void setSource(std::optional<std::string> text);
    void setDelay(Operation operation, std::chrono::milliseconds delay);
    /// The operation throws `error` (a HelperFailure or anything else) from now on.
    void setFailure(Operation operation, std::exception_ptr error);
    void clearFailure(Operation operation);
    /// The buffers every stream yields, `gap` apart, then its end (`error` or normal). With
    /// `endless`, the buffers repeat until the consumer cancels.
    void setStream(std::vector<Bytes> buffers, std::chrono::milliseconds gap = {},
                   std::exception_ptr error = nullptr, bool endless = false);
    /// `waitUntilWarm()` waits until `finishWarming()`.
    void holdWarming();
    void finishWarming();

    int calls(Operation operation) const;
    /// Streams whose consumer cancelled them, and streams still producing.
    int cancelledStreams() const;
    /// Times a stream's consumer asked for a key frame.
    int refreshRequests() const;
    int liveStreams() const;
    std::shared_ptr<RecordingTransport> transport() const;

    // Device
    std::optional<std::string> coreSimulator() const override;
    ScreenGeometry screen() override;
    /// The screen, counted as a `screen` call, unless that operation is delayed or failing.
    std::optional<ScreenGeometry> screenAtOnce() override;
    JPEG screenshot(const ScreenshotRequest& request) override;
    AXNode tree() override;
    std::shared_ptr<InputDriver> input() override;
    AsyncStream<Bytes> stream(const StreamSettings& settings) override;
    void waitUntilWarm() override;
    std::optional<std::string> source() const override;

    /// The last screenshot request and stream settings received.
    std::optional<ScreenshotRequest> lastScreenshot() const;
    std::optional<StreamSettings> lastStream() const;

  private:
    void begin(Operation operation);  // counts, waits the delay, throws the failure

    mutable std::mutex mutex_;
    std::condition_variable warmedChanged_;
    ScreenGeometry screen_;
    JPEG jpeg_;
    AXNode tree_;
    std::shared_ptr<RecordingTransport> transport_;
    std::shared_ptr<InputDriver> driver_;
    std::optional<std::string> coreSimulator_ = "1165.1";
    std::optional<std::string> source_ = "simulator";
    std::chrono::milliseconds delays_[static_cast<int>(Operation::count)] = {};
    std::exception_ptr failures_[static_cast<int>(Operation::count)] = {};
    std::atomic<int> calls_[static_cast<int>(Operation::count)] = {};
    std::vector<Bytes> buffers_;
    std::chrono::milliseconds gap_{0};
    std::exception_ptr streamError_;
    bool endless_ = false;
    bool warming_ = false;
    std::optional<ScreenshotRequest> lastScreenshot_;
    std::optional<StreamSettings> lastStream_;
    std::atomic<int> cancelled_{0};
    std::atomic<int> refreshes_{0};
    std::atomic<int> live_{0};
    std::vector<std::jthread> producers_;
};

}  // namespace tavrel::testing
