#include "tavrel-client/StreamFiles.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"

namespace tavrel::client {
namespace {

AnnexB::ByteView withoutTrailingDelimiter(const Bytes& unit) {
    const auto& tail = AnnexB::accessUnitDelimiter;
    if (unit.size() >= tail.size() && std::equal(tail.begin(), tail.end(), unit.end() - 6))
        return AnnexB::ByteView(unit.data(), unit.size() - tail.size());
    return AnnexB::ByteView(unit.data(), unit.size());
}

std::string libavError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Raw Annex B, each access unit opened by its delimiter as H.264 players expect.
class AnnexBFile final : public StreamFile {
  public:
    explicit AnnexBFile(const std::string& path) : path_(path) {
        if (path == "-") return;
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (!file_) throw HelperFailure("cannot write " + path, 400);
    }

    void write(const Bytes& accessUnit, double) override {
        const auto body = withoutTrailingDelimiter(accessUnit);
        const auto& opening = AnnexB::accessUnitDelimiter;
        out().write(reinterpret_cast<const char*>(opening.data()), opening.size());
        out().write(reinterpret_cast<const char*>(body.data()),
                    static_cast<std::streamsize>(body.size()));
    }

    void finish() override {
        out().flush();
        if (!out()) throw HelperFailure("cannot write " + path_, 502);
    }

  private:
    std::ostream& out() { return path_ == "-" ? std::cout : file_; }
    std::string path_;
    std::ofstream file_;
};

// An MP4 remuxed from the stream: samples are the access units without their delimiters,
// timed by their arrival; the size comes from the first sequence parameter set. The muxer is
// only opened once the first key frame has shown the parameter sets it needs for the header.
class MP4File final : public StreamFile {
  public:
    MP4File(const std::string& path, int fps) : path_(path), fps_(std::max(fps, 1)) {
        AVFormatContext* context = nullptr;
        const int status = avformat_alloc_output_context2(&context, nullptr, "mp4", path.c_str());
        if (status < 0 || context == nullptr)
            throw HelperFailure("cannot write " + path + ": " + libavError(status), 502);
        context_.reset(context);
        // Opened now, so a path that cannot be written fails before the stream is asked for.
        const int opened = avio_open(&context_->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (opened < 0) throw HelperFailure("cannot write " + path, 400);
        packet_.reset(av_packet_alloc());
        if (!packet_) throw HelperFailure("out of memory writing " + path, 502);
    }

    ~MP4File() override {
        if (context_ && context_->pb != nullptr) avio_closep(&context_->pb);
        if (state_ != State::finished) std::remove(path_.c_str());
    }

    void write(const Bytes& accessUnit, double arrivalS) override {
        const auto body = withoutTrailingDelimiter(accessUnit);
        bool key = false;
        for (const auto unit : AnnexB::nalUnitViews(body))
            key |= AnnexB::type(unit) == NALUnit::idrSlice;
        if (state_ == State::waitingForKeyFrame) {
            if (!key) return;  // nothing can be decoded before it
            startWith(body);
        }
        // The muxer wants strictly increasing times; two units may arrive within one tick.
        auto time = static_cast<std::int64_t>(std::llround(arrivalS * timeScale));
        time = std::max(time, lastTime_ + 1);
        lastTime_ = time;

        av_packet_unref(packet_.get());
        if (av_new_packet(packet_.get(), static_cast<int>(body.size())) < 0)
            throw HelperFailure("out of memory writing " + path_, 502);
        std::copy(body.begin(), body.end(), packet_->data);
        packet_->pts = packet_->dts = time;
        packet_->duration = timeScale / fps_;
        packet_->flags = key ? AV_PKT_FLAG_KEY : 0;
        packet_->stream_index = 0;
        av_packet_rescale_ts(packet_.get(), AVRational{1, timeScale}, stream_->time_base);
        const int status = av_write_frame(context_.get(), packet_.get());
        if (status < 0)
            throw HelperFailure("cannot write " + path_ + ": " + libavError(status), 502);
    }

    void finish() override {
        if (state_ == State::waitingForKeyFrame)
            throw HelperFailure("the stream held no key frame to start " + path_ + " with", 502);
        const int status = av_write_trailer(context_.get());
        if (status < 0)
            throw HelperFailure("cannot write " + path_ + ": " + libavError(status), 502);
        state_ = State::finished;
    }

  private:
    static constexpr int timeScale = 90000;  // the usual clock of H.264 in MP4

    enum class State { waitingForKeyFrame, writing, finished };

    struct ContextFree {
        void operator()(AVFormatContext* context) const { avformat_free_context(context); }
    };
    struct ParserFree {
        void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
    };

    void startWith(AnnexB::ByteView keyFrame) {
        Bytes parameterSets;
        for (const auto unit : AnnexB::nalUnitViews(keyFrame)) {
            if (!NALUnit::isParameterSet(AnnexB::type(unit))) continue;
            parameterSets.insert(parameterSets.end(), AnnexB::startCode.begin(),
                                 AnnexB::startCode.end());
            parameterSets.insert(parameterSets.end(), unit.begin(), unit.end());
        }
        const auto [width, height] = pictureSize(keyFrame);
        if (parameterSets.empty() || width <= 0 || height <= 0)
            throw HelperFailure("the stream's first key frame has no readable parameter sets", 502);

        stream_ = avformat_new_stream(context_.get(), nullptr);
        if (stream_ == nullptr) throw HelperFailure("out of memory writing " + path_, 502);
        auto* parameters = stream_->codecpar;
        parameters->codec_type = AVMEDIA_TYPE_VIDEO;
        parameters->codec_id = AV_CODEC_ID_H264;
        parameters->width = width;
        parameters->height = height;
        parameters->extradata = static_cast<std::uint8_t*>(
            av_mallocz(parameterSets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (parameters->extradata == nullptr)
            throw HelperFailure("out of memory writing " + path_, 502);
        std::copy(parameterSets.begin(), parameterSets.end(), parameters->extradata);
        parameters->extradata_size = static_cast<int>(parameterSets.size());
        stream_->time_base = AVRational{1, timeScale};
        stream_->avg_frame_rate = AVRational{fps_, 1};

        AVDictionary* options = nullptr;
        // The index goes in front, so the file plays while it is still being copied.
        av_dict_set(&options, "movflags", "+faststart", 0);
        const int status = avformat_write_header(context_.get(), &options);
        av_dict_free(&options);
        if (status < 0)
            throw HelperFailure("cannot write " + path_ + ": " + libavError(status), 502);
        state_ = State::writing;
    }

    // The display size, as libavcodec's own H.264 parser reads it from the parameter sets.
    static std::pair<int, int> pictureSize(AnnexB::ByteView keyFrame) {
        std::unique_ptr<AVCodecParserContext, ParserFree> parser(av_parser_init(AV_CODEC_ID_H264));
        AVCodecContextPtr codec(avcodec_alloc_context3(nullptr));
        if (!parser || !codec) return {0, 0};
        parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;  // one whole access unit, as received
        Bytes input(keyFrame.begin(), keyFrame.end());
        input.resize(input.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::uint8_t* out = nullptr;
        int outSize = 0;
        av_parser_parse2(parser.get(), codec.get(), &out, &outSize, input.data(),
                         static_cast<int>(keyFrame.size()), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        return {parser->width, parser->height};
    }

    std::string path_;
    int fps_;
    State state_ = State::waitingForKeyFrame;
    std::unique_ptr<AVFormatContext, ContextFree> context_;
    AVPacketPtr packet_;
    AVStream* stream_ = nullptr;  // owned by context_
    std::int64_t lastTime_ = -1;
};

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::unique_ptr<StreamFile> StreamFile::open(const std::string& path, int fps) {
    if (endsWith(path, ".mp4")) {
        av_log_set_level(AV_LOG_ERROR);  // the muxer's notes are not the client's output
        return std::make_unique<MP4File>(path, fps);
    }
    return std::make_unique<AnnexBFile>(path);
}

}  // namespace tavrel::client
