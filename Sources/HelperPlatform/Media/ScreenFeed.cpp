#include "HelperPlatform/Media/ScreenFeed.hpp"

#include <chrono>
#include <string>
#include <thread>

#include "HelperPlatform/Media/H264Stream.hpp"

namespace tavrel {

ScreenFeed::ScreenFeed(std::shared_ptr<PixelSource> source, std::shared_ptr<Pictures> pictures,
                       bool idleKeyFrames, double firstPictureS, Log log)
    : source_(std::move(source)),
      pictures_(std::move(pictures)),
      idleKeyFrames_(idleKeyFrames),
      firstPictureS_(firstPictureS),
      log_(std::move(log)) {}

JPEG ScreenFeed::screenshot(const ScreenshotRequest& request, const ScreenGeometry& screen) {
    HeldSource held(*source_);
    const auto picture = source_->pictureWaiting(firstPictureS_);
    const auto plan =
        ScreenshotPlan::make(request, picture.surface->width(), picture.surface->height(), screen);
    return pictures_->jpeg(*picture.surface, plan);
}

AsyncStream<Bytes> ScreenFeed::stream(const StreamSettings& settings) {
    AsyncStream<Bytes> units;
    units
        .adopt(H264Stream::make(source_, pictures_, settings,
                                settings.idleKeyFrames.value_or(idleKeyFrames_), firstPictureS_,
                                log_))
        .units(units);
    return units;
}

void ScreenFeed::warm(const ScreenGeometry& screen, double waitingS) {
    const auto start = std::chrono::steady_clock::now();
    HeldSource held(*source_);
    const auto picture = source_->pictureWaiting(waitingS);
    {
        std::jthread encoder([&] { H264Stream::warm(picture, *pictures_); });
        try {
            const auto plan =
                ScreenshotPlan::make(ScreenshotRequest{160, 40, std::nullopt},
                                     picture.surface->width(), picture.surface->height(), screen);
            pictures_->jpeg(*picture.surface, plan);
        } catch (...) {
        }
    }
    log_.debug([&] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        return "warmed the screen, the JPEG pipeline and the H.264 encoder in " +
               std::to_string(ms) + "ms";
    });
}

}  // namespace tavrel
