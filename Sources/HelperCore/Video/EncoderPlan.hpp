#pragma once

#include <cstdint>
#include <limits>

#include "HelperCore/Video/StreamSettings.hpp"

namespace tavrel {

/// The checked settings of one stream, sized for one surface: what the encoder is given.
struct EncoderPlan {
    /// Encoded size: even and at least 2 on both sides.
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fps = 0;
    /// Seconds between key frames.
    double keyFrameInterval = 0;
    std::int64_t bitrate = 0;
    /// Hard cap on encoded bytes in any one second: one and a half times the average rate.
    std::int64_t bytesPerSecondLimit = 0;

    bool operator==(const EncoderPlan&) const = default;

    static constexpr std::int64_t minimumFps = 1;
    static constexpr std::int64_t maximumFps = 120;
    static constexpr std::int64_t minimumBitrate = 100000;
    /// The largest bit rate whose byte-rate cap (bitrate x 3 / 16) can be worked out.
    static constexpr std::int64_t maximumBitrate = std::numeric_limits<std::int64_t>::max() / 3;

    /// Checks, in this order, and throws the first failure: a surface of at least 1 x 1 (503
    /// "the screen has no picture yet"), then with status 400 fps, scale, key_frame_s and
    /// bitrate. The encoded size is the scaled surface rounded to the nearest even number.
    static EncoderPlan make(const StreamSettings& settings, std::int64_t surfaceWidth,
                            std::int64_t surfaceHeight);
};

}  // namespace tavrel
