#include "HelperPlatform/Render/PictureSource.hpp"

namespace tavrel {

RecordedPicture recordedPicture(AVFrame* frame) {
    return RecordedPicture(frame, [](const AVFrame* owned) {
        AVFrame* mutableFrame = const_cast<AVFrame*>(owned);
        av_frame_free(&mutableFrame);
    });
}

RecordedPicture Playhead::at(double t, const ReadNext& readNext) {
    for (;;) {
        if (state_ == State::ended) return shown_;
        if (ahead_) {
            if (ahead_->first > t && shown_) return shown_;
            shown_ = std::move(ahead_->second);
            ahead_.reset();
        }
        auto next = readNext();
        if (!next) {
            state_ = State::ended;
            return shown_;
        }
        ahead_ = std::move(next);
    }
}

}  // namespace tavrel
