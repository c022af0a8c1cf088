#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Capture/CaptureDemand.hpp"
#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperPlatform/Media/FrameSignal.hpp"
#include "HelperPlatform/Media/PixelSource.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Value.hpp"

namespace tavrel {

/// Turns landscape frames of one size upright (a quarter clockwise, libyuv), into a few
/// surfaces of its own that are reused once no picture holds them any more.
///
/// Threads: used on the capture's queue only.
class Turner {
  public:
    /// For sources of `sourceWidth` x `sourceHeight`; the turned pictures are the other way
    /// round.
    Turner(int sourceWidth, int sourceHeight);

    bool fits(int sourceWidth, int sourceHeight) const {
        return width_ == sourceHeight && height_ == sourceWidth;
    }
    /// The turned picture; nothing when it cannot be made.
    std::shared_ptr<const Surface> turn(const std::uint8_t* pixels, std::size_t bytesPerRow);

  private:
    // Enough for the picture in flight, the latest and one being encoded.
    static constexpr std::size_t pooled = 4;
    int width_;
    int height_;
    std::vector<std::shared_ptr<Surface>> pool_;
};

/// The screen of a cabled device, read through the camera interface, as a pixel source. The
/// capture session runs only while somebody holds the source, and for the linger time after
/// the last let-go; only the newest picture is kept, and only while the capture is wanted, so
/// a stopped capture never hands out a stale screen.
///
/// Threads: every operation may be called from any thread. Sample buffers arrive, observers
/// run and the turner is used on the "tavrel.capture" queue; the session is started and
/// stopped on "tavrel.capture.control" only, where `hold` and `close` wait for their turn. One
/// lock guards the demand, the latest picture, the frame count and the state; it is never held
/// while calling the framework or an observer.
class UsbCapture : public PixelSource, public std::enable_shared_from_this<UsbCapture> {
  public:
    enum class State {
        configured,  // made; the session has not run
        running,     // a settle found the capture wanted and started the session
        stopped,     // a settle found it unwanted and stopped the session
        closed,      // for good
    };

    /// Builds the session for `device` (an AVCaptureDevice); it does not run yet. Throws 409
    /// "the screen of {name} cannot be read: {description}" when no input can be made for the
    /// device, "the screen of {name} cannot be read here" when the session takes neither, or
    /// the guarded 502 of a raising framework.
    static std::shared_ptr<UsbCapture> make(const foreign::Value& device, double lingerS, Log log);
    ~UsbCapture() override;

    std::optional<Picture> picture() override;
    /// Throws 503 "{name} has sent no picture of its screen in {seconds} seconds: is it
    /// unlocked?" when none comes in time.
    Picture pictureWaiting(double seconds) override;
    /// Returns once the session is starting.
    void hold() override;
    /// Stops the session once the linger time has passed without a new hold.
    void letGo() override;
    /// Stops the session for good; later pictures are none. Harmless twice. Owners call it
    /// before letting go, so that the capture never ends on the framework's delivery thread.
    void close() override;

    const std::string& name() const { return name_; }
    State state() const;
    /// Frames received so far, wanted or not.
    std::int64_t frames() const;

  private:
    FrameSignal& signal() override { return signal_; }

    UsbCapture(foreign::Value device, std::string name, double lingerS, Log log);
    void configure();
    void settle();
    // Runs `work` on the control queue and waits for it; in place when already there (a
    // capture whose last owner was one of its own deferred settles).
    void onControl(const std::function<void()>& work);
    void received(const foreign::Value& sample);
    std::shared_ptr<const Surface> upright(const foreign::Value& buffer,
                                           std::shared_ptr<const void>& keeping);
    // Says at debug level why a frame is not shown; returns no surface.
    std::shared_ptr<const Surface> dropped(const std::string& why) const;

    const foreign::Value device_;
    const std::string name_;
    const Log log_;
    foreign::Value session_;
    foreign::Value output_;
    mutable std::mutex lock_;
    CaptureDemand demand_;             // guarded by lock_
    std::optional<Picture> latest_;    // guarded by lock_
    std::int64_t frames_ = 0;          // guarded by lock_
    State state_ = State::configured;  // guarded by lock_
    std::unique_ptr<Turner> turner_;   // on the capture queue only
    SerialQueue control_;              // the session's one owner: started, stopped and let go there
    // Last: its queue finishes the work already due while the rest still exists.
    FrameSignal signal_;
};

/// The camera permission a capture needs.
namespace CameraPermission {

/// Blocks until the permission is known, asking for it when it has not been decided; throws
/// 403 "macOS has not let tavrel-helper use the Camera, which reading a cabled device's
/// screen needs: allow it in System Settings > Privacy & Security > Camera" unless granted.
void require();

}  // namespace CameraPermission

}  // namespace tavrel
