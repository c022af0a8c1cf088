#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>

namespace tavrel {

/// What a client asks of a live stream. Carried unchecked from the request to the stream;
/// `EncoderPlan::make` judges the ranges when the stream starts.
struct StreamSettings {
    std::int64_t fps = 0;
    /// Fraction of the surface's pixel size to encode.
    double scale = 0;
    /// Longest time between key frames, in seconds.
    double keyFrameS = 0;
    /// Average bits per second.
    std::int64_t bitrate = 0;
    /// Whether a still screen is sent again as key frames; nothing leaves it to the device's
    /// own setting. Never on the wire: the helper's own streams set it.
    std::optional<bool> idleKeyFrames = std::nullopt;

    bool operator==(const StreamSettings&) const = default;
};

/// Writes "fps", "scale", "key_frame_s" and "bitrate".
void to_json(nlohmann::json& json, const StreamSettings& settings);
/// Needs all four keys ("fps" and "bitrate" integers, the others numbers) and ignores any
/// other; throws `nlohmann::json::exception` otherwise.
void from_json(const nlohmann::json& json, StreamSettings& settings);

}  // namespace tavrel
