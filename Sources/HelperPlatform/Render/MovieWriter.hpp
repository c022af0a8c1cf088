#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "HelperCore/Render/RenderJob.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

namespace tavrel {

/// Called after each output frame with how many of the ticks are done.
using RenderProgress = std::function<void(std::size_t done, std::size_t total)>;

/// Writes an MP4 at 30 fps: libx264 for "h264", libx265 tagged `hvc1` for "hevc" (the tag
/// the players that take HEVC in MP4 look for), 4 bits per pixel per second and at least
/// 1 Mbit/s, the `moov` atom in front so the file plays while it downloads.
namespace MovieWriter {

inline constexpr int fps = 30;

/// The average bit rate of a W x H movie.
std::int64_t bitRate(int width, int height);

/// libx264's parameters beyond the preset: the frame-type lookahead split over 1.5 threads a
/// core (x264 on its own gives it a fraction of that, one thread on two cores, and its frame
/// threads then wait on it).
std::string x264Params();

/// Throws `HelperFailure` 502 ("the MP4 cannot be written: {reason}", "the MP4 has no pixel
/// buffers", "the MP4 has no pixel buffer free", "the MP4 stopped taking frames: {reason}",
/// "the MP4 was not finished: {reason}") and the source's failures. The file at `path` is
/// replaced only by a complete movie.
RenderedFile write(PictureSource& pictures, const RenderJob& job, const std::string& path,
                   const RenderProgress& progress = {});

}  // namespace MovieWriter
}  // namespace tavrel
