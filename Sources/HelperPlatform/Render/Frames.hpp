#pragma once

#include <cstdint>
#include <vector>

#include "HelperCore/Render/RenderJob.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

struct SwsContext;

namespace tavrel {

/// A composed output picture: BGRA, rows of exactly 4 x width bytes.
struct Canvas {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    int stride() const { return 4 * width; }
};

/// Lays a recorded picture, scaled to the output size, under the touch marks of a moment.
/// libyuv box-filter scaling for BGRA and 4:2:0 pictures (4:2:0 is scaled before it is
/// turned into BGRA, so a small output converts few pixels); libswscale for other layouts.
/// Keeps its scratch buffers between calls; one writer owns one.
class Frames {
  public:
    Frames() = default;
    ~Frames();
    Frames(const Frames&) = delete;
    Frames& operator=(const Frames&) = delete;

    /// Fills `into` (resized to width x height) with the picture, scaled on each side to fit
    /// exactly, and the marks of `TouchMarks.at(touches, time)` over it. Throws
    /// `HelperFailure` 502 for a picture it cannot convert.
    void compose(const AVFrame& picture, const std::vector<RecordedTouch>& touches, double time,
                 int width, int height, Canvas& into);

  private:
    void scale(const AVFrame& picture, Canvas& into);

    std::vector<std::uint8_t> planes_;
    SwsContext* converter_ = nullptr;
};

}  // namespace tavrel
