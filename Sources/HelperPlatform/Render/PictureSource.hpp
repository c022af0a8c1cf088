#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

namespace tavrel {

/// One decoded picture of a recording, upright: any pixel format libavcodec gives (BGRA for
/// JPEG frames). Shared, so a source can keep showing a picture while a writer reads it.
using RecordedPicture = std::shared_ptr<const AVFrame>;

/// Takes ownership of a frame.
RecordedPicture recordedPicture(AVFrame* frame);

/// A recording read forward: the picture on screen at recording time t, for t that never goes
/// backwards. Holds at most two pictures.
class PictureSource {
  public:
    virtual ~PictureSource() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual double duration() const = 0;
    /// The last picture whose time is at most t (the first before it is due, the last after
    /// the end); null when the source has none at all. Throws `HelperFailure`.
    virtual RecordedPicture picture(double t) = 0;
};

/// The two pictures a source holds: the one shown and the one read but not yet due.
class Playhead {
  public:
    /// The next picture of the input and its time, or nothing at its end.
    using ReadNext = std::function<std::optional<std::pair<double, RecordedPicture>>()>;

    /// Reads at most one picture past t.
    RecordedPicture at(double t, const ReadNext& readNext);

  private:
    enum class State { reading, ended };
    State state_ = State::reading;
    RecordedPicture shown_;
    std::optional<std::pair<double, RecordedPicture>> ahead_;
};

}  // namespace tavrel
