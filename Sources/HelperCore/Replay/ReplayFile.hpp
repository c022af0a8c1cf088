#pragma once

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Replay/ReplayRing.hpp"

namespace tavrel {

/// A replay window as a frame file, the recording `render` reads: every access unit one h264
/// frame on the window's clock (seconds from its origin; units from before it at 0), and the
/// parameter sets of each key frame in a frame of their own just ahead of it, so a reader
/// finds them without looking into a picture's frame.
namespace ReplayFile {

Bytes encode(const ReplayRing::Window& window);

}  // namespace ReplayFile
}  // namespace tavrel
