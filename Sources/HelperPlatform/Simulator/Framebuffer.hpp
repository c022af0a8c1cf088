#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "HelperCore/Screenshot/ScreenGeometry.hpp"
#include "HelperPlatform/Media/FrameSignal.hpp"
#include "HelperPlatform/Media/PixelSource.hpp"
#include "HelperPlatform/Simulator/SimDeviceHandle.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Value.hpp"

namespace tavrel {

/// The simulator's screen as a pixel source: it registers for the frames of every display
/// port of the device and hands out the display's current surface, unread and uncopied, with
/// the surface's seed as the picture's version. The simulator draws whether anyone watches, so
/// `hold` and `letGo` do nothing.
///
/// Threads: frame callbacks arrive on the "tavrel.framebuffer" queue (newer CoreSimulator) or
/// on CoreSimulator's own threads (older); `picture` may be called from anywhere. The
/// registration list has a lock of its own that is never held while calling into the
/// framework. Callbacks delivered after the framebuffer is gone do nothing.
class Framebuffer : public PixelSource, public std::enable_shared_from_this<Framebuffer> {
  public:
    /// Finds the displays of `device` and registers for their frames. Throws `HelperFailure`
    /// 409 "the simulator {udid} shows no display" or "this CoreSimulator's displays offer no
    /// frame callbacks Tavrel knows", or the guarded 502 of a raising framework.
    static std::shared_ptr<Framebuffer> make(std::shared_ptr<SimDeviceHandle> device,
                                             ScreenGeometry screen);
    ~Framebuffer() override;

    std::optional<Picture> picture() override;
    /// Throws 503 "the simulator has not drawn its screen yet" when no picture comes in time.
    Picture pictureWaiting(double seconds) override;
    void hold() override {}
    void letGo() override {}
    /// Unregisters from every display; later pictures are none. Never fails; harmless twice.
    void close() override;

    /// How many displays accepted callbacks, and with which method set (for diagnostics).
    std::size_t registrationCount() const;

  private:
    FrameSignal& signal() override { return signal_; }

    struct Registration {
        foreign::Value descriptor;
        foreign::UUID uuid;
        bool modern = false;
    };

    Framebuffer(std::shared_ptr<SimDeviceHandle> device, ScreenGeometry screen);
    void registerDisplays();
    void presented();

    const std::shared_ptr<SimDeviceHandle> device_;
    const ScreenGeometry screen_;
    mutable std::mutex lock_;
    std::vector<Registration> registrations_;  // guarded by lock_
    // Last: its queue finishes the work already due while the rest still exists.
    FrameSignal signal_;
};

/// The display descriptors of a device's framebuffer ports, in port order (guarded as
/// "reading the device's ports").
std::vector<foreign::Value> displayDescriptors(const foreign::Value& device);

/// A display's current surface ("framebufferSurface", else "ioSurface"), wrapped as a
/// `Surface` of BGRA pixels; nothing when the display has none or it cannot be read.
std::shared_ptr<const Surface> displaySurface(const foreign::Value& descriptor);

}  // namespace tavrel
