#include "HelperPlatform/Render/MoviePictures.hpp"

#include <libyuv.h>

#include <cmath>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Render/RenderFiles.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace tavrel {
namespace {

std::string reason(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(status, text, sizeof text) < 0) return "no reason";
    return text;
}

[[noreturn]] void cannotRead(const std::string& why) {
    throw HelperFailure("the recording cannot be read: " + why, 502);
}

// Clockwise quarter turns that make the stored picture upright, as ffmpeg's own player reads
// the matrix.
int quarterTurns(const AVStream* stream) {
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix == nullptr) return 0;
    const double degrees = -av_display_rotation_get(matrix);
    if (!std::isfinite(degrees)) return 0;
    const long turns = std::lround(degrees / 90);
    return static_cast<int>(((turns % 4) + 4) % 4);
}

AVFramePtr blankFrame(int format, int width, int height) {
    AVFramePtr frame(av_frame_alloc());
    if (!frame) throw HelperFailure("the recording cannot be read: out of memory", 502);
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) cannotRead("out of memory");
    return frame;
}

}  // namespace

void MoviePictures::FormatClose::operator()(AVFormatContext* context) const {
    avformat_close_input(&context);
}

MoviePictures::MoviePictures(const std::string& path) : packet_(av_packet_alloc()) {
    quietMediaLibraries();
    // Opened here first, so that only a regular file reaches the demuxer (which would wait on a
    // FIFO and read a device for ever); the demuxer opens the same file by its descriptor.
    const RenderFiles::ReadableFile file(path, "the recording", [&path](const std::string& why) {
        return HelperFailure("the recording cannot be read: " + path + ": " + why, 502);
    });
    AVFormatContext* opened = nullptr;
    if (const int status =
            avformat_open_input(&opened, file.pathOfDescriptor().c_str(), nullptr, nullptr);
        status < 0) {
        cannotRead(path + ": " + reason(status));
    }
    format_.reset(opened);
    if (const int status = avformat_find_stream_info(format_.get(), nullptr); status < 0) {
        cannotRead(reason(status));
    }
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream_ < 0 || codec == nullptr) {
        if (stream_ == AVERROR_DECODER_NOT_FOUND) cannotRead("no decoder for its video");
        throw HelperFailure("the recording has no picture", 502);
    }
    const AVStream* stream = format_->streams[stream_];
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_ || !packet_) cannotRead("out of memory");
    if (const int status = avcodec_parameters_to_context(decoder_.get(), stream->codecpar);
        status < 0) {
        cannotRead(reason(status));
    }
    if (const int status = avcodec_open2(decoder_.get(), codec, nullptr); status < 0) {
        cannotRead(reason(status));
    }
    for (unsigned index = 0; index < format_->nb_streams; ++index) {
        if (static_cast<int>(index) != stream_) format_->streams[index]->discard = AVDISCARD_ALL;
    }
    quarterTurns_ = quarterTurns(stream);
    const bool sideways = quarterTurns_ % 2 == 1;
    width_ = sideways ? stream->codecpar->height : stream->codecpar->width;
    height_ = sideways ? stream->codecpar->width : stream->codecpar->height;
    timeBase_ = av_q2d(stream->time_base);
    startPts_ = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        duration_ = static_cast<double>(stream->duration) * timeBase_;
    } else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
        duration_ = static_cast<double>(format_->duration) / AV_TIME_BASE;
    }
}

MoviePictures::~MoviePictures() {
    sws_freeContext(converter_);
}

RecordedPicture MoviePictures::picture(double t) {
    return playhead_.at(t, [this] { return next(); });
}

std::optional<std::pair<double, RecordedPicture>> MoviePictures::next() {
    AVFramePtr frame(av_frame_alloc());
    if (!frame) cannotRead("out of memory");
    while (state_ != State::ended) {
        const int received = avcodec_receive_frame(decoder_.get(), frame.get());
        if (received == 0) {
            const std::int64_t pts = frame->best_effort_timestamp == AV_NOPTS_VALUE
                                         ? startPts_
                                         : frame->best_effort_timestamp;
            // In doubles: a hostile file's timestamps may be any 64-bit values.
            const double time = std::max(
                0.0, (static_cast<double>(pts) - static_cast<double>(startPts_)) * timeBase_);
            return std::pair{time, upright(std::move(frame))};
        }
        // A movie whose reading stops early simply ends.
        if (received != AVERROR(EAGAIN)) {
            state_ = State::ended;
            break;
        }
        if (state_ == State::draining) {
            state_ = State::ended;
            break;
        }
        const int read = av_read_frame(format_.get(), packet_.get());
        if (read < 0) {
            state_ = State::draining;
            avcodec_send_packet(decoder_.get(), nullptr);
            continue;
        }
        if (packet_->stream_index == stream_) avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
    }
    return std::nullopt;
}

RecordedPicture MoviePictures::upright(AVFramePtr frame) {
    if (quarterTurns_ == 0) return recordedPicture(frame.release());
    const auto mode = quarterTurns_ == 1   ? libyuv::kRotate90
                      : quarterTurns_ == 2 ? libyuv::kRotate180
                                           : libyuv::kRotate270;
    const bool sideways = quarterTurns_ % 2 == 1;
    const int width = sideways ? frame->height : frame->width;
    const int height = sideways ? frame->width : frame->height;
    if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) {
        AVFramePtr turned = blankFrame(frame->format, width, height);
        libyuv::I420Rotate(frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1],
                           frame->data[2], frame->linesize[2], turned->data[0], turned->linesize[0],
                           turned->data[1], turned->linesize[1], turned->data[2],
                           turned->linesize[2], frame->width, frame->height, mode);
        av_frame_copy_props(turned.get(), frame.get());
        return recordedPicture(turned.release());
    }
    // Other layouts are turned as BGRA.
    AVFramePtr bgra = blankFrame(AV_PIX_FMT_BGRA, frame->width, frame->height);
    converter_ = sws_getCachedContext(
        converter_, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
        frame->width, frame->height, AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
    if (converter_ == nullptr) cannotRead("no conversion of its pictures");
    sws_scale(converter_, frame->data, frame->linesize, 0, frame->height, bgra->data,
              bgra->linesize);
    AVFramePtr turned = blankFrame(AV_PIX_FMT_BGRA, width, height);
    libyuv::ARGBRotate(bgra->data[0], bgra->linesize[0], turned->data[0], turned->linesize[0],
                       frame->width, frame->height, mode);
    return recordedPicture(turned.release());
}

}  // namespace tavrel
