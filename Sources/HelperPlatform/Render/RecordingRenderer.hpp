#pragma once

#include <functional>
#include <memory>
#include <string>

#include "HelperCore/Render/RenderJob.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

namespace tavrel {

/// Carries out a checked render job: the MP4 first, then the GIF, each from a fresh source
/// read from the start.
namespace RecordingRenderer {

/// The largest render job read, in bytes (4 MiB: tens of thousands of touches).
inline constexpr std::size_t largestJob = 4 * 1024 * 1024;

/// Told after each output frame: "mp4" or "gif", frames done, frames in all.
using Progress = std::function<void(const std::string& format, std::size_t, std::size_t)>;

/// A new source over the job's input: `FramePictures` for "frames", `MoviePictures` for
/// "movie".
std::unique_ptr<PictureSource> pictures(const RenderJob& job);

/// Throws the first failure of any step; a failed MP4 stops the run before the GIF. Outputs
/// that are not regular files, or are the input or each other, are refused first.
RenderReport run(const RenderJob& job, const Progress& progress = {});

}  // namespace RecordingRenderer

/// The `render` command from job file to printed line: the report, or {"error": message}.
struct RenderOutcome {
    std::string document;
    int status = 0;
};

/// For a catch block: the message of the failure in flight, a `HelperFailure`'s own, any other
/// error's as "{step} failed: {description}" ("{step} ran out of memory" for an allocation), so
/// that no message is a bare exception name.
std::string renderFailureText(const std::string& step);

/// Reads the job at `jobPath` (a regular file of at most `largestJob` bytes), renders it and
/// returns the line to print with the exit status
/// (0, or 1 for any failure). Shows progress on standard error when it is a terminal.
RenderOutcome runRenderCommand(const std::string& jobPath);

}  // namespace tavrel
