#pragma once

#include <memory>
#include <string>

#include "HelperPlatform/Media/AVOwners.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

struct AVFormatContext;
struct SwsContext;

namespace tavrel {

/// Any movie libavformat reads, as upright pictures: the video stream's display matrix is
/// applied to every picture (quarter turns) and to the reported size.
class MoviePictures final : public PictureSource {
  public:
    /// Throws `HelperFailure` 502: "the recording has no picture", "the recording cannot be
    /// read: {reason}".
    explicit MoviePictures(const std::string& path);
    ~MoviePictures() override;

    int width() const override { return width_; }
    int height() const override { return height_; }
    double duration() const override { return duration_; }
    RecordedPicture picture(double t) override;

  private:
    std::optional<std::pair<double, RecordedPicture>> next();
    RecordedPicture upright(AVFramePtr frame);

    struct FormatClose {
        void operator()(AVFormatContext* context) const;
    };
    enum class State { reading, draining, ended };

    std::unique_ptr<AVFormatContext, FormatClose> format_;
    AVCodecContextPtr decoder_;
    AVPacketPtr packet_;
    int stream_ = -1;
    double timeBase_ = 0;
    std::int64_t startPts_ = 0;
    int quarterTurns_ = 0;  // clockwise
    int width_ = 0;
    int height_ = 0;
    double duration_ = 0;
    State state_ = State::reading;
    SwsContext* converter_ = nullptr;
    Playhead playhead_;
};

}  // namespace tavrel
