#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperCore/Screenshot/Screen.hpp"
#include "HelperPlatform/Media/Surface.hpp"
#include "HelperPlatform/Media/TurboJPEG.hpp"

struct AVFrame;

namespace tavrel {

/// The one scaler and JPEG compressor of a device, shared by its screenshots and streams:
/// libyuv box-filter scaling and BGRA to I420 conversion, TurboJPEG (4:2:0). Their working
/// buffers are made on first use and reused, so a frame or a screenshot costs no large
/// allocation.
///
/// Threads: `draw` and `jpeg` may be called from any thread, also at the same time; each path
/// serialises on its own mutex (the TurboJPEG handle and the scratch buffers are not shared
/// between calls). A large `draw` does half its rows on a thread of its own, "tavrel.draw",
/// made on first need: reading a 12 MB surface is bound by memory, which two cores read
/// faster than one.
class Pictures {
  public:
    Pictures();
    ~Pictures();
    Pictures(const Pictures&) = delete;
    Pictures& operator=(const Pictures&) = delete;

    /// Copies the whole surface, scaled to the frame's size (aspect not kept), into a writable
    /// YUV 4:2:0 frame. A size that differs by at most one pixel per side is copied, not
    /// resampled: the edge row or column is repeated. Throws `HelperFailure` 502.
    void draw(const Surface& surface, AVFrame* into);

    /// Encodes the plan's source rectangle of the surface, scaled to the plan's size. Throws
    /// `HelperFailure` 502, each message followed by what failed: "the screen could not be
    /// drawn" (also for a rectangle that is not inside the surface), "ImageIO cannot write JPEG
    /// here", "the screen could not be written as JPEG".
    JPEG jpeg(const Surface& surface, const ScreenshotPlan& plan);

  private:
    // Calls `strip(top, rows)` for every strip of `height` rows, the first half of them on the
    // draw thread when the frame is large. Rethrows a failure of either half. Holds
    // `transferLock_`.
    void forEachStrip(int height, bool large, const std::function<void(int, int)>& strip);

    std::mutex transferLock_;
    std::vector<std::uint8_t> transferScratch_;
    std::unique_ptr<SerialQueue> drawThread_;  // guarded by transferLock_

    std::mutex jpegLock_;
    TurboJPEGHandle compressor_;  // made on first use
    std::vector<std::uint8_t> jpegScratch_;
    TurboJPEGBuffer jpegBuffer_;
    unsigned long jpegCapacity_ = 0;
};

}  // namespace tavrel
