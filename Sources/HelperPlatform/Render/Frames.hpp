#pragma once

#include <cstdint>
#include <vector>

#include "HelperCore/Render/RenderJob.hpp"
#include "HelperCore/Render/TouchMarks.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"
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

/// Lays a recorded picture, scaled to the output size, under the touch marks of a moment, in
/// one of two layouts: BGRA for the GIF, which quantises it anyway, and 4:2:0 for the MP4,
/// which then stays in the recording's own samples wherever no mark is drawn.
/// libyuv box-filter scaling for BGRA and 4:2:0 pictures; libswscale for other layouts.
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

    /// The same picture as a 4:2:0 frame of width x height in BT.601 limited range (the MP4's
    /// colours), for an encoder to take. A 4:2:0 picture in those colours is scaled as 4:2:0 and
    /// only the rectangle its marks cover goes through BGRA to be drawn on; one already of the
    /// size and without marks is shared, not copied. Other pictures are composed as BGRA and
    /// converted. Throws `HelperFailure` 502: "a recorded picture cannot be converted: {call}
    /// failed ({reason})", "the MP4 has no pixel buffer free".
    AVFramePtr movieFrame(const AVFrame& picture, const std::vector<RecordedTouch>& touches,
                          double time, int width, int height);

  private:
    void scale(const AVFrame& picture, Canvas& into);
    // A writable 4:2:0 frame of the size: the last one handed out once its taker let it go.
    AVFramePtr blankMovieFrame(int width, int height);
    // Draws marks over the rectangle of a 4:2:0 frame they cover.
    void drawMarksOnTile(AVFrame& frame, const std::vector<TouchMark>& marks);

    std::vector<std::uint8_t> planes_;
    std::vector<std::uint8_t> tile_;
    Canvas canvas_;     // pictures the MP4 takes through BGRA
    AVFramePtr frame_;  // the MP4's frame, reused
    SwsContext* converter_ = nullptr;
};

/// The frame's pixels laid out for 4:2:0 in the MP4's colours without converting: YUV 4:2:0,
/// limited range, BT.601 or untagged.
bool inMovieColours(const AVFrame& picture);

}  // namespace tavrel
