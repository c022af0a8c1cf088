#include "HelperPlatform/Capture/UsbCapture.hpp"

#include <libyuv/rotate_argb.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <semaphore>
#include <utility>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Capture/CaptureChoice.hpp"
#include "HelperPlatform/Capture/CaptureFrameworks.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel {

using foreign::Value;

namespace {

constexpr std::uint32_t pixelFormatBGRA = 0x42475241;  // 'BGRA'
constexpr const char* mediaVideo = "vide";
constexpr std::int64_t authorized = 3, notDetermined = 0;
// A deferred settle comes a little after the linger time, so that it finds the demand lapsed.
constexpr double settleMarginS = 0.05;

double uptime() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<std::int64_t> integerKey(const Value& object, const char* key) {
    if (!foreign::respondsTo(object, key)) return std::nullopt;
    return foreign::valueForKey(object, key).asInt64();
}

// The queue the framework delivers sample buffers on; nothing once the capture is gone.
class CaptureExecutor : public foreign::Executor {
  public:
    explicit CaptureExecutor(std::weak_ptr<UsbCapture> capture) : capture_(std::move(capture)) {}
    void async(std::function<void()> work) override {
        if (auto capture = capture_.lock()) capture->async(std::move(work));
    }

  private:
    std::weak_ptr<UsbCapture> capture_;
};

// Keeps the framework's pixel buffer alive while its pixels are read, and holds its seed.
struct BufferOwner {
    foreign::ObjectRef buffer;
    std::atomic<std::uint32_t> seed{0};
};

std::string deviceName(const Value& device) {
    try {
        return ForeignCalls::guarded("reading a capture device's name", [&] {
            auto name = foreign::send(device, "localizedName").asString();
            return name ? *name : std::string("the device");
        });
    } catch (const HelperFailure&) {
        return "the device";
    }
}

}  // namespace

Turner::Turner(int sourceWidth, int sourceHeight) : width_(sourceHeight), height_(sourceWidth) {}

std::shared_ptr<const Surface> Turner::turn(const std::uint8_t* pixels, std::size_t bytesPerRow) {
    std::shared_ptr<Surface> target;
    for (const auto& surface : pool_)
        if (surface.use_count() == 1) target = surface;  // no picture holds it any more
    if (!target) {
        target = Surface::allocate(width_, height_);
        if (pool_.size() < pooled) pool_.push_back(target);
    }
    if (libyuv::ARGBRotate(pixels, int(bytesPerRow), target->mutablePixels(),
                           int(target->bytesPerRow()), height_, width_, libyuv::kRotate90) != 0)
        return nullptr;
    target->bumpSeed();
    return target;
}

std::shared_ptr<UsbCapture> UsbCapture::make(const Value& device, double lingerS, Log log) {
    std::shared_ptr<UsbCapture> capture(
        new UsbCapture(device, deviceName(device), lingerS, std::move(log)));
    capture->configure();
    return capture;
}

UsbCapture::UsbCapture(Value device, std::string name, double lingerS, Log log)
    : device_(std::move(device)),
      name_(std::move(name)),
      log_(std::move(log)),
      demand_(lingerS),
      control_("tavrel.capture.control"),
      signal_("tavrel.capture") {}

UsbCapture::~UsbCapture() {
    close();
}

void UsbCapture::configure() {
    std::weak_ptr<UsbCapture> weak = weak_from_this();
    ForeignCalls::guarded("setting up the capture of " + name_, [&] {
        auto errorSlot = std::make_shared<Value>();
        auto input = foreign::send(foreign::lookUpClass("AVCaptureDeviceInput"),
                                   "deviceInputWithDevice:error:", device_, errorSlot);
        if (input.isNil()) {
            auto description = foreign::valueForKey(*errorSlot, "localizedDescription").asString();
            throw HelperFailure("the screen of " + name_ +
                                    " cannot be read: " + description.value_or("unknown error"),
                                409);
        }
        output_ = foreign::send(foreign::lookUpClass("AVCaptureVideoDataOutput"), "new");
        foreign::send(output_, "setVideoSettings:",
                      foreign::Dictionary{{"PixelFormatType", pixelFormatBGRA}});
        foreign::send(output_, "setAlwaysDiscardsLateVideoFrames:", true);
        foreign::Block delegate = [weak](const foreign::Arguments& arguments) -> Value {
            if (auto self = weak.lock()) self->received(foreign::argument(arguments, 0));
            return {};
        };
        std::shared_ptr<foreign::Executor> queue = std::make_shared<CaptureExecutor>(weak);
        foreign::send(output_, "setSampleBufferDelegate:queue:", delegate, queue);
        session_ = foreign::send(foreign::lookUpClass("AVCaptureSession"), "new");
        foreign::send(session_, "beginConfiguration");
        const bool fits =
            foreign::send(session_, "canAddInput:", input).asBool().value_or(false) &&
            foreign::send(session_, "canAddOutput:", output_).asBool().value_or(false);
        if (fits) {
            foreign::send(session_, "addInput:", input);
            foreign::send(session_, "addOutput:", output_);
        }
        foreign::send(session_, "commitConfiguration");
        if (!fits) throw HelperFailure("the screen of " + name_ + " cannot be read here", 409);
    });
}

UsbCapture::State UsbCapture::state() const {
    std::lock_guard guard(lock_);
    return state_;
}

std::int64_t UsbCapture::frames() const {
    std::lock_guard guard(lock_);
    return frames_;
}

void UsbCapture::hold() {
    {
        std::lock_guard guard(lock_);
        demand_.hold(uptime());
    }
    onControl([this] { settle(); });
}

void UsbCapture::onControl(const std::function<void()>& work) {
    if (control_.isCurrent()) return work();
    std::promise<void> done;
    auto finished = done.get_future();
    const bool queued = control_.async([&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    // The queue stops only as the capture goes, after its own close.
    if (queued) finished.get();
}

void UsbCapture::letGo() {
    double delay = 0;
    {
        std::lock_guard guard(lock_);
        const double now = uptime();
        demand_.release(now);
        if (demand_.holders() > 0) return;
        delay = std::max(0.0, now + demand_.lingerS() - uptime()) + settleMarginS;
    }
    std::weak_ptr<UsbCapture> weak = weak_from_this();
    control_.asyncAfter(std::chrono::duration_cast<SerialQueue::Clock::duration>(
                            std::chrono::duration<double>(delay)),
                        [weak] {
                            if (auto self = weak.lock()) self->settle();
                        });
}

void UsbCapture::settle() {
    bool wanted = false;
    {
        std::lock_guard guard(lock_);
        if (state_ == State::closed) return;
        wanted = demand_.running(uptime());
        if (!wanted) latest_.reset();
    }
    try {
        ForeignCalls::guarded("starting or stopping the capture of " + name_, [&] {
            const bool runs = foreign::send(session_, "isRunning").asBool().value_or(false);
            if (!wanted && runs) {
                log_.debug([&] { return "no longer capturing the screen of " + name_; });
                foreign::send(session_, "stopRunning");
            } else if (wanted && !runs) {
                log_.debug([&] { return "capturing the screen of " + name_; });
                foreign::send(session_, "startRunning");
            }
        });
    } catch (const HelperFailure& failure) {
        // The next settle tries again; pictures that do not come say why to the waiter.
        log_.warning(failure.message());
    }
    std::lock_guard guard(lock_);
    if (state_ != State::closed) state_ = wanted ? State::running : State::stopped;
}

std::shared_ptr<const Surface> UsbCapture::dropped(const std::string& why) const {
    log_.debug([&] { return "dropping a frame of " + name_ + ": " + why; });
    return nullptr;
}

std::shared_ptr<const Surface> UsbCapture::upright(const Value& buffer,
                                                   std::shared_ptr<const void>& keeping) {
    auto width = integerKey(buffer, "width");
    auto height = integerKey(buffer, "height");
    auto bytesPerRow = integerKey(buffer, "bytesPerRow");
    if (!width || !height || !bytesPerRow) return dropped("its size is not given");
    if (*width < 1 || *height < 1 || *width > 1 << 15 || *height > 1 << 15) {
        return dropped("its size " + std::to_string(*width) + "x" + std::to_string(*height) +
                       " is out of range");
    }
    if (*bytesPerRow < *width * 4) {
        return dropped(std::to_string(*bytesPerRow) + " bytes per row are too few for " +
                       std::to_string(*width) + " pixels");
    }
    if (auto format = integerKey(buffer, "pixelFormat"); format && *format != pixelFormatBGRA)
        return dropped("its pixel format " + std::to_string(*format) + " is not BGRA");
    auto surface = ForeignCalls::object(buffer, "ioSurface");
    if (!surface) return dropped("it has no surface");
    auto* pixels = static_cast<std::uint8_t*>(foreign::send(surface, "baseAddress").asPointer());
    if (!pixels) return dropped("its surface has no pixels");
    const int w = int(*width), h = int(*height);

    if (captureTurnOf(w, h) == CaptureTurn::quarter) {
        if (!turner_ || !turner_->fits(w, h)) {
            try {
                turner_ = std::make_unique<Turner>(w, h);
            } catch (const std::exception&) {
                turner_.reset();
            }
        }
        std::shared_ptr<const Surface> turned;
        try {
            if (turner_) turned = turner_->turn(pixels, std::size_t(*bytesPerRow));
        } catch (const std::exception&) {
            turned = nullptr;
        }
        if (!turned) {
            log_.warning([&] {
                return "a " + std::to_string(w) + "x" + std::to_string(h) +
                       " frame cannot be turned upright";
            });
            turner_.reset();
        }
        return turned;
    }
    auto owner = std::make_shared<BufferOwner>();
    owner->buffer = surface;
    keeping = owner;
    return std::make_shared<Surface>(pixels, w, h, std::size_t(*bytesPerRow), &owner->seed, owner);
}

void UsbCapture::received(const Value& sample) {
    std::shared_ptr<const void> keeping;
    std::shared_ptr<const Surface> surface;
    try {
        surface = ForeignCalls::guarded("reading a frame of " + name_, [&] {
            auto buffer = ForeignCalls::object(sample, "imageBuffer");
            return buffer ? upright(Value(buffer), keeping) : dropped("it has no image buffer");
        });
    } catch (const HelperFailure& failure) {
        // The next frame may do.
        dropped(failure.message());
        return;
    }
    if (!surface) return;  // said why where it was dropped
    {
        std::lock_guard guard(lock_);
        ++frames_;
        if (state_ != State::closed && demand_.running(uptime()))
            latest_ = Picture{surface, frames_, std::move(keeping)};
        else
            latest_.reset();
    }
    signal_.notify();
}

std::optional<Picture> UsbCapture::picture() {
    std::lock_guard guard(lock_);
    return latest_;
}

Picture UsbCapture::pictureWaiting(double seconds) {
    const auto whole = std::isfinite(seconds) ? std::llround(seconds) : 0;
    return FrameSignal::waiting<Picture>(
        seconds, [this] { return picture(); },
        HelperFailure(name_ + " has sent no picture of its screen in " + std::to_string(whole) +
                          " seconds: is it unlocked?",
                      503));
}

void UsbCapture::close() {
    signal_.forgetAll();
    {
        std::lock_guard guard(lock_);
        if (state_ == State::closed) return;
        state_ = State::closed;
        latest_.reset();
    }
    onControl([this] {
        try {
            ForeignCalls::guarded("stopping the capture of " + name_, [&] {
                if (output_)
                    foreign::send(output_, "setSampleBufferDelegate:queue:", Value(), Value());
                if (session_ && foreign::send(session_, "isRunning").asBool().value_or(false))
                    foreign::send(session_, "stopRunning");
            });
        } catch (const HelperFailure& failure) {
            // Closing goes on; the framework lets go of the session with its last reference.
            log_.warning(failure.message());
        }
    });
    std::lock_guard guard(lock_);
    latest_.reset();
}

void CameraPermission::require() {
    CaptureFrameworks::load();
    auto status = ForeignCalls::guarded("asking for the camera permission", [] {
        auto device = foreign::lookUpClass("AVCaptureDevice");
        auto now = foreign::send(device, "authorizationStatusForMediaType:", mediaVideo).asInt64();
        if (now != notDetermined) return now.value_or(notDetermined);
        auto answered = std::make_shared<std::binary_semaphore>(0);
        foreign::Block completion = [answered](const foreign::Arguments&) -> Value {
            answered->release();
            return {};
        };
        foreign::send(device, "requestAccessForMediaType:completionHandler:", mediaVideo,
                      completion);
        answered->acquire();
        return foreign::send(device, "authorizationStatusForMediaType:", mediaVideo)
            .asInt64()
            .value_or(notDetermined);
    });
    if (status != authorized)
        throw HelperFailure(
            "macOS has not let tavrel-helper use the Camera, which reading a cabled device's "
            "screen needs: allow it in System Settings > Privacy & Security > Camera",
            403);
}

}  // namespace tavrel
