#pragma once

#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Render/FrameFile.hpp"

namespace tavrel::testing {

/// Every frame of a frame file held in memory, read by the reader `render` uses; throws its
/// failures.
std::vector<FrameFile::Frame> readFrames(const Bytes& file);

}  // namespace tavrel::testing
