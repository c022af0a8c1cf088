#pragma once

#include <memory>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Concurrency/AsyncStream.hpp"
#include "HelperCore/Screenshot/Screen.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"
#include "HelperCore/Video/StreamSettings.hpp"
#include "HelperPlatform/Media/Pictures.hpp"
#include "HelperPlatform/Media/PixelSource.hpp"

namespace tavrel {

/// Where a device's pictures meet what a client asks of them: JPEG screenshots and live H.264
/// streams. Every use of the source is bracketed by `hold` and exactly one `letGo`, on success
/// and on failure, so screenshots, streams and the warm-up may overlap.
///
/// Threads: every operation may be called from any thread, also at the same time.
class ScreenFeed {
  public:
    ScreenFeed(std::shared_ptr<PixelSource> source, std::shared_ptr<Pictures> pictures,
               bool idleKeyFrames, double firstPictureS, Log log);

    /// Waits up to `firstPictureS` for a picture, plans the request for its size and encodes
    /// it. Throws the failures of the source, the plan and the encoder.
    JPEG screenshot(const ScreenshotRequest& request, const ScreenGeometry& screen);

    /// A live stream, producing at once; each value is one Annex B access unit. The stream ends
    /// with a failure when encoding fails; cancelling it stops the encoder and lets the source
    /// go. Throws when the stream cannot be started. Idle key frames follow the settings, else
    /// the feed's own choice.
    AsyncStream<Bytes> stream(const StreamSettings& settings);

    /// Runs a small screenshot and one throw-away H.264 frame in parallel so that the first
    /// real request finds every library loaded. Throws only when no picture comes within
    /// `waitingS` (or the source cannot be held); failures of the two jobs are ignored.
    void warm(const ScreenGeometry& screen, double waitingS);

    PixelSource& source() const { return *source_; }

  private:
    const std::shared_ptr<PixelSource> source_;
    const std::shared_ptr<Pictures> pictures_;
    const bool idleKeyFrames_;
    const double firstPictureS_;
    const Log log_;
};

}  // namespace tavrel
