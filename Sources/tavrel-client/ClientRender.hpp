#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tavrel::client {

/// Turning a frame file and the touches made during it into an MP4 (and a GIF) with
/// `tavrel-helper render`, found beside this program.
namespace ClientRender {

/// A render job for the frame file `frames` with `touches` (render-job touch entries on the
/// file's clock), written to `mp4` and, when given, `gif`. Throws HelperFailure 502 naming what
/// is wrong when `touches` are not such entries.
nlohmann::json job(const std::string& frames, const nlohmann::json& touches, const std::string& mp4,
                   const std::optional<std::string>& gif);

/// Writes `job` to `jobPath`, renders it (at most five minutes) and gives render's report.
/// Throws HelperFailure with render's message and status when it refuses or fails.
nlohmann::json run(const nlohmann::json& job, const std::filesystem::path& jobPath);

}  // namespace ClientRender
}  // namespace tavrel::client
