#pragma once

#include <optional>
#include <string>

#include "HelperCore/Capture/Likeness.hpp"
#include "HelperPlatform/Media/PixelSource.hpp"

namespace tavrel::Thumbnails {

/// The thumbnail of a picture file's first image (JPEG through TurboJPEG; PNG and whatever
/// else libavformat reads through libavcodec). Only a regular file of at most 64 MiB is read,
/// and read once; anything else (a FIFO, a device, a picture that cannot be decoded) throws a
/// `HelperFailure` that says why.
Thumbnail of(const std::string& file);

/// The thumbnail of a screen picture; nothing when its surface cannot be read.
std::optional<Thumbnail> of(const Picture& picture);

/// The thumbnail of BGRA pixels: squeezed into 12 x 26 with a box filter, then grey.
std::optional<Thumbnail> ofPixels(const std::uint8_t* pixels, int width, int height,
                                  std::size_t bytesPerRow);

}  // namespace tavrel::Thumbnails
