#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "HelperCore/Accessibility/Accessibility.hpp"
#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Concurrency/AsyncStream.hpp"
#include "HelperCore/Input/InputDriver.hpp"
#include "HelperCore/Screenshot/Screen.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"
#include "HelperCore/Video/StreamSettings.hpp"

namespace tavrel {

/// The one device a helper process serves (a booted simulator or a cabled device): all the
/// router and connections see of it.
///
/// Threads: one object per process, called from many tasks at once (concurrent requests of one
/// connection and of different connections); every operation must be safe for that, and the
/// implementations serialise internally where they need to. Operations that wait (screenshot,
/// tree, waitUntilWarm) block the calling task's thread. Failures are thrown as `HelperFailure`;
/// anything else reaches the client with status 502.
class Device {
  public:
    virtual ~Device() = default;

    /// Reported as "core_simulator" in the hello.
    virtual std::optional<std::string> coreSimulator() const = 0;

    /// The screen's size; quick, called for every hello, describe and accessibility request.
    virtual ScreenGeometry screen() = 0;

    /// The screen's size when the device has it at hand, else nothing; never waits for a lock
    /// nor calls out, so the event loop may ask it (it answers `describe` with it). Nothing
    /// leaves the question to `screen()` on a task.
    virtual std::optional<ScreenGeometry> screenAtOnce() { return std::nullopt; }

    /// A JPEG whose width and height are its real pixel size.
    virtual JPEG screenshot(const ScreenshotRequest& request) = 0;

    /// The root of the frontmost application's element tree.
    virtual AXNode tree() = 0;

    /// The input driver shared by every connection; its failure message becomes the hello's
    /// "reasons".
    virtual std::shared_ptr<InputDriver> input() = 0;

    /// A live stream: each buffer is one Annex B access unit, sent as it comes. The sequence
    /// ends normally or with an error; the consumer cancelling it ends production.
    virtual AsyncStream<Bytes> stream(const StreamSettings& settings) = 0;

    /// Returns once the device's warm-up has run its course (well or not); every hello waits
    /// for it.
    virtual void waitUntilWarm() = 0;

    /// Reported as "source" in the hello.
    virtual std::optional<std::string> source() const = 0;
};

}  // namespace tavrel
