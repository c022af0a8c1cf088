#include "HelperPlatform/Render/MovieWriter.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/Ticks.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"
#include "HelperPlatform/Media/MediaLog.hpp"
#include "HelperPlatform/Render/Frames.hpp"
#include "HelperPlatform/Render/OutputFile.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace tavrel::MovieWriter {
namespace {

std::string reason(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(status, text, sizeof text) < 0 || text[0] == '\0') return "no reason";
    return text;
}

[[noreturn]] void cannotWrite(const std::string& why) {
    throw HelperFailure("the MP4 cannot be written: " + why, 502);
}

[[noreturn]] void stoppedTaking(int status) {
    throw HelperFailure("the MP4 stopped taking frames: " + reason(status), 502);
}

struct DictionaryFree {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

// The muxer and the file it writes; the file is closed before the muxer is freed.
struct Output {
    AVFormatContext* format = nullptr;
    ~Output() {
        if (format == nullptr) return;
        if (format->pb != nullptr && !(format->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&format->pb);
        }
        avformat_free_context(format);
    }
};

AVCodecContextPtr openEncoder(const RenderJob& job, int width, int height, bool globalHeader) {
    const bool hevc = job.codec == "hevc";
    const char* name = hevc ? "libx265" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) cannotWrite(std::string("no ") + name + " encoder");
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) cannotWrite("out of memory");
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, fps};
    context->framerate = AVRational{fps, 1};
    // A key frame every two seconds keeps the movie seekable.
    context->gop_size = 2 * fps;
    context->bit_rate = bitRate(width, height);
    // The frames are in BT.601 limited range (`Frames::movieFrame`); say so, so players match.
    context->colorspace = AVCOL_SPC_SMPTE170M;
    context->color_primaries = AVCOL_PRI_SMPTE170M;
    context->color_trc = AVCOL_TRC_SMPTE170M;
    context->color_range = AVCOL_RANGE_MPEG;
    if (globalHeader) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "preset", "veryfast", 0);
    if (hevc) {
        av_dict_set(&raw, "x265-params", "log-level=none", 0);
    } else {
        av_dict_set(&raw, "x264-params", x264Params().c_str(), 0);
    }
    std::unique_ptr<AVDictionary, DictionaryFree> options(raw);
    AVDictionary* pass = options.release();
    const int status = avcodec_open2(context.get(), codec, &pass);
    options.reset(pass);
    if (status < 0) cannotWrite(reason(status));
    return context;
}

// Moves every packet the encoder has ready into the muxer.
void drain(AVCodecContext* encoder, AVFormatContext* format, AVStream* stream, AVPacket* packet) {
    for (;;) {
        const int status = avcodec_receive_packet(encoder, packet);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
        if (status < 0) stoppedTaking(status);
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        const int written = av_interleaved_write_frame(format, packet);
        if (written < 0) stoppedTaking(written);
    }
}

}  // namespace

// On a phone-sized picture at this preset the one lookahead thread is what the frame threads
// wait on; split, the same pictures come out within rounding in about two thirds of the time.
std::string x264Params() {
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    return "lookahead-threads=" + std::to_string(std::clamp(cores * 3 / 2, 1U, 8U));
}

std::int64_t bitRate(int width, int height) {
    return std::max<std::int64_t>(4LL * width * height, 1'000'000);
}

RenderedFile write(PictureSource& pictures, const RenderJob& job, const std::string& path,
                   const RenderProgress& progress) {
    quietMediaLibraries();
    const auto [width, height] = renderedSize(pictures.width(), pictures.height());
    // Refuses an overlong recording before anything is written.
    const Ticks ticks = Ticks::make(pictures.duration(), job.speed, fps);
    OutputFile file(path, [](const std::string& why) {
        return HelperFailure("the MP4 cannot be written: " + why, 502);
    });

    Output output;
    if (const int status = avformat_alloc_output_context2(&output.format, nullptr, "mp4",
                                                          file.temporaryPath().c_str());
        status < 0) {
        cannotWrite(reason(status));
    }
    const bool globalHeader = output.format->oformat->flags & AVFMT_GLOBALHEADER;
    AVCodecContextPtr encoder = openEncoder(job, width, height, globalHeader);
    AVStream* stream = avformat_new_stream(output.format, nullptr);
    if (stream == nullptr) cannotWrite("out of memory");
    if (const int status = avcodec_parameters_from_context(stream->codecpar, encoder.get());
        status < 0) {
        cannotWrite(reason(status));
    }
    if (job.codec == "hevc") stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    stream->time_base = encoder->time_base;
    stream->avg_frame_rate = AVRational{fps, 1};
    if (const int status =
            avio_open(&output.format->pb, file.temporaryPath().c_str(), AVIO_FLAG_WRITE);
        status < 0) {
        cannotWrite(reason(status));
    }
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "movflags", "+faststart", 0);
    const int started = avformat_write_header(output.format, &raw);
    av_dict_free(&raw);
    if (started < 0) cannotWrite(reason(started));

    AVPacketPtr packet(av_packet_alloc());
    if (!packet) throw HelperFailure("the MP4 has no pixel buffers", 502);

    Frames frames;
    const auto total = static_cast<std::size_t>(ticks.count);
    std::size_t stored = 0;
    for (std::size_t index = 0; index < total; ++index) {
        const double source = ticks.at(static_cast<std::int64_t>(index)).source;
        const RecordedPicture picture = pictures.picture(source);
        if (picture) {
            AVFramePtr frame = frames.movieFrame(*picture, job.touches, source, width, height);
            frame->pts = static_cast<std::int64_t>(index);
            const int sent = avcodec_send_frame(encoder.get(), frame.get());
            if (sent < 0) stoppedTaking(sent);
            ++stored;
            drain(encoder.get(), output.format, stream, packet.get());
        }
        if (progress) progress(index + 1, total);
    }
    // A movie of no frames would play as nothing at all; the temporary file goes with `file`.
    if (stored == 0) throw HelperFailure("the recording took no pictures", 502);
    if (const int flushed = avcodec_send_frame(encoder.get(), nullptr); flushed < 0) {
        throw HelperFailure("the MP4 was not finished: " + reason(flushed), 502);
    }
    drain(encoder.get(), output.format, stream, packet.get());
    if (const int status = av_write_trailer(output.format); status < 0) {
        throw HelperFailure("the MP4 was not finished: " + reason(status), 502);
    }
    if (const int status = avio_closep(&output.format->pb); status < 0) {
        throw HelperFailure("the MP4 was not finished: " + reason(status), 502);
    }
    file.commit();
    return RenderedFile{path, "mp4", width, height, ticks.length()};
}

}  // namespace tavrel::MovieWriter
