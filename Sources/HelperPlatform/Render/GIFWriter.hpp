#pragma once

#include <string>

#include "HelperCore/Render/RenderJob.hpp"
#include "HelperPlatform/Render/MovieWriter.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

namespace tavrel {

/// Writes an animated GIF that loops for ever, at the job's frame rate and width. A run of
/// identical frames is stored once with the summed delay; every frame gets its own dithered
/// palette (libimagequant), only as large as the frame needs, and a frame after the first
/// stores only the rectangle that changed since the frame before, its unchanged pixels
/// transparent. Delays are whole hundredths whose rounding error is carried to the
/// next frame, so the file plays within 0.01 s of the reported duration.
namespace GIFWriter {

/// Throws `HelperFailure` 502 ("ImageIO cannot write a GIF here: {reason}", "the GIF could not
/// be written: {call} failed ({giflib's or libimagequant's reason})"), the composing's and the
/// source's failures. The file at `path` is replaced only by a complete GIF.
RenderedFile write(PictureSource& pictures, const RenderJob& job, const std::string& path,
                   const RenderProgress& progress = {});

}  // namespace GIFWriter
}  // namespace tavrel
