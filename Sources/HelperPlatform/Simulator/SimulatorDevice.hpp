#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Commands/Arguments.hpp"
#include "HelperCore/Input/HIDTransport.hpp"
#include "HelperCore/Input/TransportPolicy.hpp"
#include "HelperCore/Server/Device.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Media/ScreenFeed.hpp"
#include "HelperPlatform/Media/Warming.hpp"
#include "HelperPlatform/Simulator/Framebuffer.hpp"
#include "HelperPlatform/Simulator/SimDeviceHandle.hpp"

namespace tavrel {

/// How a simulator device makes the parts that drive input and read the element tree; the
/// defaults are the simulator's own HID transports and accessibility reader.
struct SimulatorParts {
    /// Makes the transport of a name ("dtuhid", else the Indigo transport); throws
    /// `HelperFailure` when it cannot be made.
    std::function<std::shared_ptr<HIDTransport>(const std::string& name,
                                                const std::shared_ptr<SimDeviceHandle>& device)>
        transport;
    /// Makes a reader of the element tree; each call of the result reads the whole tree
    /// afresh.
    std::function<std::function<AXNode()>(const std::shared_ptr<SimDeviceHandle>& device)> reader;

    static SimulatorParts standard();
};

/// A booted iOS Simulator as the device a helper serves. Opening loads the frameworks and
/// checks the device; everything a request needs (the screen, the framebuffer and its feed,
/// the input driver, the element-tree reader) is made on first need, once, and kept.
///
/// Threads: every operation may be called from many tasks at once. One lock serialises the
/// making of the lazy parts (framebuffer registration and transport construction happen under
/// it); screenshots, streams and tree reads run outside it.
class SimulatorDevice : public Device {
  public:
    /// Opens the device of `options.udid` in the developer directory the environment selects.
    /// Throws the `HelperFailure` of loading the frameworks, finding the device, or its not
    /// being booted.
    SimulatorDevice(const DeviceOptions& options, bool idleKeyFrames, Log log,
                    SimulatorParts parts = SimulatorParts::standard(),
                    const Frameworks::Environment& environment = Frameworks::processEnvironment());
    ~SimulatorDevice() override;

    std::optional<std::string> coreSimulator() const override { return coreSimulator_; }
    ScreenGeometry screen() override;
    /// Once read, the size is kept; nothing while another task holds the lock.
    std::optional<ScreenGeometry> screenAtOnce() override;
    JPEG screenshot(const ScreenshotRequest& request) override;
    AXNode tree() override;
    std::shared_ptr<InputDriver> input() override;
    AsyncStream<Bytes> stream(const StreamSettings& settings) override;
    void waitUntilWarm() override { warming_.waitUntilWarm(); }
    std::optional<std::string> source() const override { return std::nullopt; }

    /// Starts the background warm-up once: the framebuffer, a small JPEG and one H.264 frame.
    /// Its failures are dropped; the first request meets them itself.
    void startWarming();
    /// Whether the simulator is booted, read afresh (takes no lock).
    bool booted() const;
    /// Lets go of the screen (the framebuffer unregisters) and of the input driver; a later
    /// request makes them anew.
    void close();

    const std::shared_ptr<SimDeviceHandle>& handle() const { return handle_; }

  private:
    std::shared_ptr<ScreenFeed> display();

    std::optional<std::string> coreSimulator_;
    std::shared_ptr<SimDeviceHandle> handle_;
    TransportPolicy::Preference preference_;
    bool idleKeyFrames_;
    Log log_;
    SimulatorParts parts_;
    std::mutex lock_;
    std::optional<ScreenGeometry> geometry_;    // guarded by lock_
    std::shared_ptr<Framebuffer> framebuffer_;  // guarded by lock_
    std::shared_ptr<ScreenFeed> feed_;          // guarded by lock_
    std::shared_ptr<InputDriver> driver_;       // guarded by lock_
    std::function<AXNode()> reader_;            // guarded by lock_
    // Last: its destructor waits for a warm-up still running while the rest exists.
    Warming warming_;
};

}  // namespace tavrel
