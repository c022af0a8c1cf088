#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Commands/CaptureOptions.hpp"
#include "HelperCore/Server/Device.hpp"
#include "HelperPlatform/Capture/CaptureFrameworks.hpp"
#include "HelperPlatform/Capture/UsbCapture.hpp"
#include "HelperPlatform/Media/ScreenFeed.hpp"
#include "HelperPlatform/Media/Warming.hpp"

namespace tavrel {

/// The screen of a cabled iPhone or iPad as the device a helper serves. Cheap to make and
/// never failing: the permission, the choice of the capture device, the capture and its first
/// picture all come in the background warm-up, and a failure there is kept and given to
/// every later request. Touches and the element tree go through WebDriverAgent on a real
/// device, never through its cable, so they are refused.
///
/// Threads: every operation may be called from many tasks at once; the opening runs on the
/// warming's own thread. One lock guards the state, the opened parts and the failure; it is
/// never held while calling the framework or the capture.
class CaptureDevice : public Device {
  public:
    enum class State {
        created,  // nothing opened; the screen answers from the command line
        opening,  // the warm-up is choosing and starting the capture
        opened,   // the feed serves screenshots and streams
        failed,   // the opening failed; final
        closed,   // the capture is let go of; the process ends soon
    };

    CaptureDevice(CaptureOptions options, Log log);
    ~CaptureDevice() override;

    std::optional<std::string> coreSimulator() const override { return std::nullopt; }
    ScreenGeometry screen() override;
    /// The command line's size while nothing has failed; nothing while another task holds the
    /// lock.
    std::optional<ScreenGeometry> screenAtOnce() override;
    JPEG screenshot(const ScreenshotRequest& request) override;
    /// Throws 409 "a real device's element tree is read through WebDriverAgent, not its cable".
    AXNode tree() override;
    /// Throws 409 "a real device's touches go through WebDriverAgent, not its cable".
    std::shared_ptr<InputDriver> input() override;
    AsyncStream<Bytes> stream(const StreamSettings& settings) override;
    void waitUntilWarm() override { warming_.waitUntilWarm(); }
    /// The chosen capture device's unique identifier, once opened.
    std::optional<std::string> source() const override;

    /// Starts the opening in the background, once.
    void startWarming();
    /// Whether the opened capture device still reports itself connected; true before opening,
    /// so that a device not yet opened is never taken for unplugged.
    bool connected() const;
    /// Lets go of the capture.
    void close();
    State state() const;

    /// Chooses the capture device showing the device of `options`: by identifier, by name
    /// and, among several of one name, by the likeness of their screens to the reference
    /// picture. Throws 409 when none can be chosen.
    static ScreenCaptureDevice find(const CaptureOptions& options, const Log& log);

  private:
    struct Opened {
        ScreenCaptureDevice device;
        std::shared_ptr<UsbCapture> capture;
        std::shared_ptr<ScreenFeed> feed;
    };

    void open();
    std::shared_ptr<ScreenFeed> feed() const;

    const CaptureOptions options_;
    const Log log_;
    mutable std::mutex lock_;
    State state_ = State::created;          // guarded by lock_
    std::optional<Opened> opened_;          // guarded by lock_
    std::optional<HelperFailure> failure_;  // guarded by lock_
    // Last: its destructor waits for an opening still running while the rest exists.
    Warming warming_;
};

/// The `capture` command: relaunches itself disclaimed when it should, then serves the cabled
/// device until a signal, the parent's end or the cable being pulled ("the device's cable was
/// unplugged"). Never returns.
[[noreturn]] void serveCapture(const CaptureOptions& options);

}  // namespace tavrel
