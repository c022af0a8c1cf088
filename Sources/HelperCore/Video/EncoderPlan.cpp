#include "HelperCore/Video/EncoderPlan.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

namespace {

/// The scaled side rounded to the nearest even number, at least 2.
std::int64_t evenSide(std::int64_t side, double scale) {
    // With 0 < scale <= 1 the half side is at most 2^62, so it converts exactly.
    const auto half =
        static_cast<std::int64_t>(std::round(static_cast<double>(side) * scale * 0.5));
    // Only a side beyond 2^63 - 2^10 reaches 2^62 halves; keep it representable.
    if (half > std::numeric_limits<std::int64_t>::max() / 2)
        return std::numeric_limits<std::int64_t>::max() - 1;
    return std::max<std::int64_t>(2, 2 * half);
}

}  // namespace

EncoderPlan EncoderPlan::make(const StreamSettings& settings, std::int64_t surfaceWidth,
                              std::int64_t surfaceHeight) {
    if (surfaceWidth <= 0 || surfaceHeight <= 0)
        throw HelperFailure("the screen has no picture yet", 503);
    if (settings.fps < minimumFps || settings.fps > maximumFps)
        throw HelperFailure(
            "fps must be " + std::to_string(minimumFps) + " to " + std::to_string(maximumFps), 400);
    // Written so that NaN fails too.
    if (!(std::isfinite(settings.scale) && settings.scale > 0 && settings.scale <= 1))
        throw HelperFailure("scale must be more than 0 and at most 1", 400);
    if (!(std::isfinite(settings.keyFrameS) && settings.keyFrameS > 0))
        throw HelperFailure("key_frame_s must be more than 0", 400);
    if (settings.bitrate < minimumBitrate)
        throw HelperFailure("bitrate must be at least " + std::to_string(minimumBitrate), 400);
    // bitrate x 3 must not overflow when the byte-rate cap is worked out.
    if (settings.bitrate > maximumBitrate)
        throw HelperFailure("bitrate must be at most " + std::to_string(maximumBitrate), 400);

    EncoderPlan plan;
    plan.width = evenSide(surfaceWidth, settings.scale);
    plan.height = evenSide(surfaceHeight, settings.scale);
    plan.fps = settings.fps;
    plan.keyFrameInterval = settings.keyFrameS;
    plan.bitrate = settings.bitrate;
    plan.bytesPerSecondLimit = settings.bitrate * 3 / 16;
    return plan;
}

}  // namespace tavrel
