#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

/// One touch made during a recording, as the recorder logged it.
struct RecordedTouch {
    /// When it began, on the recording's clock (the picture times).
    double t = 0;
    /// "long_press" grows its ring while held; every other kind is drawn alike.
    std::string kind;
    /// [x, y] fractions of the picture from its top-left corner; entries that are not two
    /// numbers are skipped when drawing.
    std::vector<std::vector<double>> points;
    double duration = 0;
    /// "agent" for the automated agent; anything else is a person.
    std::string by;
    /// The second finger's path when two fingers touched (a pinch, a rotation), as `points`;
    /// empty for one finger, and then not written.
    std::vector<std::vector<double>> pointsTwo = {};

    bool operator==(const RecordedTouch&) const = default;
};

void to_json(nlohmann::json& json, const RecordedTouch& touch);

/// What `render` is asked to do: read `input`, write `mp4` and/or `gif`.
struct RenderJob {
    enum class InputKind { movie, frames };

    std::string input;
    InputKind inputKind = InputKind::frames;
    std::vector<RecordedTouch> touches;
    std::optional<std::string> mp4;
    std::optional<std::string> gif;
    std::string codec;
    /// Output time x speed = recording time.
    double speed = 1;
    std::int64_t gifFps = 0;
    std::int64_t gifWidth = 0;

    static constexpr double slowest = 0.25;
    static constexpr double fastest = 8;
    static constexpr std::int64_t fewestGifFps = 1;
    static constexpr std::int64_t mostGifFps = 30;
    static constexpr std::int64_t narrowestGif = 64;
    static constexpr std::int64_t widestGif = 2000;

    bool operator==(const RenderJob&) const = default;

    /// Decodes and checks a job, in this order: the JSON ("not a render job: {description}"),
    /// a file to write, the codec ("h264" or "hevc"), speed, gif_fps and gif_width (checked
    /// even when no GIF is asked for). Throws `HelperFailure` 400. Paths are not examined.
    static RenderJob read(std::string_view data);
};

void to_json(nlohmann::json& json, const RenderJob& job);

/// One written output as the report lists it.
struct RenderedFile {
    std::string path;
    /// "mp4" or "gif".
    std::string format;
    std::int64_t width = 0;
    std::int64_t height = 0;
    /// Playing time of the file.
    double durationS = 0;

    bool operator==(const RenderedFile&) const = default;
};

void to_json(nlohmann::json& json, const RenderedFile& file);

/// What `render` prints: the MP4's entry first when both are written.
struct RenderReport {
    std::vector<RenderedFile> files;
    bool operator==(const RenderReport&) const = default;
};

void to_json(nlohmann::json& json, const RenderReport& report);

}  // namespace tavrel
