#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel {

/// A recording as timed screen pictures, each a piece of an H.264 Annex B stream or a whole
/// JPEG. Numbers are big-endian.
///
///   offset  size  field
///   0       4     "TVRF"
///   4       1     version 0x01
///   5       ...   frames, back to back, to the end of the file
///
/// One frame:
///
///   0       1     kind: 1 h264, 2 jpeg
///   1       8     time: IEEE 754 double, seconds on the recording's clock
///   9       4     length of the payload, 1 to 64 MiB
///   13      n     payload
namespace FrameFile {

inline constexpr std::array<std::uint8_t, 5> magic = {'T', 'V', 'R', 'F', 0x01};
inline constexpr std::size_t headerSize = 13;
/// The largest payload a reader allocates.
inline constexpr std::uint32_t largestFrame = 64 * 1024 * 1024;

enum class Kind : std::uint8_t { h264 = 1, jpeg = 2 };

struct Frame {
    Kind kind = Kind::h264;
    double time = 0;
    Bytes data;
    bool operator==(const Frame&) const = default;
};

/// The frame's header and payload as the file stores them.
Bytes encode(const Frame& frame);

/// Reads frames one at a time from `read`, which returns up to n bytes from the current
/// position (fewer only at the end) and may throw errors of its own, which pass through
/// unchanged. Holds no more than the current frame. Times are not checked to ascend.
class Reader {
  public:
    using Read = std::function<Bytes(std::size_t)>;

    /// Consumes the file header. Throws `HelperFailure` 502 "not a Tavrel frame file, or one
    /// of a newer version".
    explicit Reader(Read read);

    /// The next frame, or nothing at the clean end of the file. Throws `HelperFailure` 502;
    /// after a failure the reader is not used again.
    std::optional<Frame> next();

  private:
    Read read_;
};

}  // namespace FrameFile
}  // namespace tavrel
