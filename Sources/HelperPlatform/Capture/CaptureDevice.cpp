#include "HelperPlatform/Capture/CaptureDevice.hpp"

#include <chrono>
#include <thread>
#include <utility>

#include "HelperCore/Capture/CaptureChoice.hpp"
#include "HelperCore/Capture/Likeness.hpp"
#include "HelperPlatform/Capture/Thumbnail.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"
#include "HelperPlatform/Media/Pictures.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel {

namespace {

// Several devices of one name are each captured just long enough for one picture.
constexpr double comparingLingerS = 0;

std::optional<Thumbnail> thumbnailOf(const ScreenCaptureDevice& device, double waitS,
                                     const Log& log) {
    const auto start = std::chrono::steady_clock::now();
    try {
        auto capture = UsbCapture::make(device.device, comparingLingerS, log);
        capture->hold();
        std::optional<Picture> picture;
        while (!(picture = capture->picture()) &&
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
                   waitS)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::optional<Thumbnail> thumbnail;
        if (picture) thumbnail = Thumbnails::of(*picture);
        capture->letGo();
        capture->close();
        return thumbnail;
    } catch (const HelperFailure&) {
        return std::nullopt;  // a device that cannot be read takes no part in the comparison
    }
}

ScreenCaptureDevice nearest(const std::vector<ScreenCaptureDevice>& devices,
                            const CaptureOptions& options, const Log& log) {
    const auto count = std::to_string(devices.size());
    std::optional<Thumbnail> reference;
    if (options.reference) {
        try {
            reference = Thumbnails::of(*options.reference);
        } catch (const HelperFailure& failure) {
            log.warning("the reference picture cannot be used: " + failure.message());
        }
    }
    if (!reference)
        throw HelperFailure(count + " cabled devices are called " + options.name +
                                ", and no picture of its screen tells them apart",
                            409);
    std::vector<std::optional<Thumbnail>> thumbnails;
    for (const auto& device : devices)
        thumbnails.push_back(thumbnailOf(device, options.waitS, log));
    auto index = Likeness::nearest(*reference, thumbnails);
    if (!index)
        throw HelperFailure("none of the " + count + " cabled devices called " + options.name +
                                " sent a picture of its screen",
                            409);
    return devices[*index];
}

}  // namespace

CaptureDevice::CaptureDevice(CaptureOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)) {}

CaptureDevice::~CaptureDevice() {
    warming_.waitUntilWarm();
    close();
}

ScreenGeometry CaptureDevice::screen() {
    std::lock_guard guard(lock_);
    if (failure_) throw *failure_;
    return options_.screen;
}

std::optional<ScreenGeometry> CaptureDevice::screenAtOnce() {
    std::unique_lock guard(lock_, std::try_to_lock);
    if (!guard || failure_) return std::nullopt;
    return options_.screen;
}

std::shared_ptr<ScreenFeed> CaptureDevice::feed() const {
    std::lock_guard guard(lock_);
    if (failure_) throw *failure_;
    if (opened_) return opened_->feed;
    throw HelperFailure("the device's screen is not open yet", 503);
}

JPEG CaptureDevice::screenshot(const ScreenshotRequest& request) {
    return feed()->screenshot(request, options_.screen);
}

AsyncStream<Bytes> CaptureDevice::stream(const StreamSettings& settings) {
    return feed()->stream(settings);
}

AXNode CaptureDevice::tree() {
    throw HelperFailure(
        "a real device's element tree is read through WebDriverAgent, not its cable", 409);
}

std::shared_ptr<InputDriver> CaptureDevice::input() {
    throw HelperFailure("a real device's touches go through WebDriverAgent, not its cable", 409);
}

std::optional<std::string> CaptureDevice::source() const {
    std::lock_guard guard(lock_);
    if (!opened_) return std::nullopt;
    return opened_->device.candidate.id;
}

CaptureDevice::State CaptureDevice::state() const {
    std::lock_guard guard(lock_);
    return state_;
}

void CaptureDevice::startWarming() {
    warming_.start([this] { open(); });
}

void CaptureDevice::open() {
    {
        std::lock_guard guard(lock_);
        if (state_ != State::created) return;
        state_ = State::opening;
    }
    try {
        CameraPermission::require();
        auto device = find(options_, log_);
        auto capture = UsbCapture::make(device.device, options_.lingerS, log_);
        auto feed = std::make_shared<ScreenFeed>(capture, std::make_shared<Pictures>(),
                                                 options_.idleKeyFrames, options_.waitS, log_);
        try {
            feed->warm(options_.screen, options_.waitS);
        } catch (...) {
            capture->close();
            throw;
        }
        log_.info([&] {
            return "reading the screen of " + options_.name + " from capture device " +
                   device.candidate.id;
        });
        std::unique_lock guard(lock_);
        if (state_ == State::closed) {
            guard.unlock();
            capture->close();  // closed while opening: nobody will serve it
            return;
        }
        opened_ = Opened{std::move(device), std::move(capture), std::move(feed)};
        state_ = State::opened;
    } catch (...) {
        auto failure = HelperFailure::fromCurrentException();
        log_.error(failure.message());
        std::lock_guard guard(lock_);
        failure_ = failure;
        if (state_ != State::closed) state_ = State::failed;
    }
}

bool CaptureDevice::connected() const {
    foreign::Value device;
    {
        std::lock_guard guard(lock_);
        if (!opened_) return true;
        device = opened_->device.device;
    }
    try {
        return ForeignCalls::guarded("asking whether the capture device is connected", [&] {
            return foreign::valueForKey(device, "connected").asBool().value_or(false);
        });
    } catch (const HelperFailure&) {
        return false;  // a device that cannot answer is taken for gone
    }
}

void CaptureDevice::close() {
    std::optional<Opened> taken;
    {
        std::lock_guard guard(lock_);
        taken = std::exchange(opened_, std::nullopt);
        state_ = State::closed;
    }
    if (taken) taken->capture->close();
}

ScreenCaptureDevice CaptureDevice::find(const CaptureOptions& options, const Log& log) {
    auto devices = ScreenCaptureDevices::list(options.waitS, [&](const auto& candidates) {
        return CaptureChoice::pick(candidates, options.name, options.captureId).kind !=
               CaptureChoice::Kind::none;
    });
    std::vector<CaptureCandidate> candidates;
    for (const auto& device : devices) candidates.push_back(device.candidate);
    auto choice = CaptureChoice::pick(candidates, options.name, options.captureId);
    switch (choice.kind) {
        case CaptureChoice::Kind::use:
            for (const auto& device : devices)
                if (device.candidate.id == choice.ids.front()) return device;
            break;
        case CaptureChoice::Kind::compare: {
            std::vector<ScreenCaptureDevice> named;
            for (const auto& device : devices)
                for (const auto& id : choice.ids)
                    if (device.candidate.id == id) named.push_back(device);
            return nearest(named, options, log);
        }
        case CaptureChoice::Kind::none:
            break;
    }
    throw HelperFailure("no screen of a cabled device called " + options.name +
                            " is among this Mac's capture devices: is it plugged in by cable, "
                            "trusted and unlocked?",
                        409);
}

}  // namespace tavrel
