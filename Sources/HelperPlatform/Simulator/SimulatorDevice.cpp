#include "HelperPlatform/Simulator/SimulatorDevice.hpp"

#include <utility>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Media/Pictures.hpp"

namespace tavrel {

namespace {

// Seconds a screenshot or stream waits for the simulator's first picture, and the warm-up.
constexpr double firstPictureS = 2;
constexpr double warmingS = 5;

}  // namespace

SimulatorDevice::SimulatorDevice(const DeviceOptions& options, bool idleKeyFrames, Log log,
                                 SimulatorParts parts, const Frameworks::Environment& environment)
    : preference_(options.hid),
      idleKeyFrames_(idleKeyFrames),
      log_(std::move(log)),
      parts_(std::move(parts)) {
    auto developerDir = Frameworks::developerDir(environment);
    coreSimulator_ = Frameworks::load(developerDir);
    handle_ = std::make_shared<SimDeviceHandle>(options.udid, developerDir);
    handle_->requireBooted();
}

SimulatorDevice::~SimulatorDevice() {
    // A warm-up still running uses the feed; wait for it before letting go of the screen.
    warming_.waitUntilWarm();
    close();
}

ScreenGeometry SimulatorDevice::screen() {
    std::lock_guard guard(lock_);
    if (!geometry_) geometry_ = handle_->screen();
    return *geometry_;
}

std::optional<ScreenGeometry> SimulatorDevice::screenAtOnce() {
    std::unique_lock guard(lock_, std::try_to_lock);
    if (!guard) return std::nullopt;
    return geometry_;
}

std::shared_ptr<ScreenFeed> SimulatorDevice::display() {
    auto geometry = screen();
    std::lock_guard guard(lock_);
    if (feed_) return feed_;
    auto framebuffer = Framebuffer::make(handle_, geometry);
    auto feed = std::make_shared<ScreenFeed>(framebuffer, std::make_shared<Pictures>(),
                                             idleKeyFrames_, firstPictureS, log_);
    framebuffer_ = std::move(framebuffer);
    feed_ = feed;
    return feed;
}

JPEG SimulatorDevice::screenshot(const ScreenshotRequest& request) {
    auto feed = display();
    return feed->screenshot(request, screen());
}

AsyncStream<Bytes> SimulatorDevice::stream(const StreamSettings& settings) {
    return display()->stream(settings);
}

std::shared_ptr<InputDriver> SimulatorDevice::input() {
    auto geometry = screen();
    std::lock_guard guard(lock_);
    if (driver_) return driver_;
    auto names = TransportPolicy::order(preference_, coreSimulator_);
    auto transport = TransportPolicy::firstTransport(
        names, [&](const std::string& name) { return parts_.transport(name, handle_); });
    driver_ = std::make_shared<InputDriver>(transport, geometry);
    log_.info([&] { return "input goes through " + transport->name(); });
    return driver_;
}

AXNode SimulatorDevice::tree() {
    std::function<AXNode()> reader;
    {
        std::lock_guard guard(lock_);
        if (!reader_) reader_ = parts_.reader(handle_);
        reader = reader_;
    }
    return reader();
}

void SimulatorDevice::startWarming() {
    warming_.start([this] {
        auto feed = display();
        feed->warm(screen(), warmingS);
    });
}

bool SimulatorDevice::booted() const {
    return handle_->state() == "Booted";
}

void SimulatorDevice::close() {
    std::shared_ptr<Framebuffer> framebuffer;
    {
        std::lock_guard guard(lock_);
        framebuffer = std::exchange(framebuffer_, nullptr);
        feed_ = nullptr;
        driver_ = nullptr;
    }
    if (framebuffer) framebuffer->close();
}

}  // namespace tavrel
