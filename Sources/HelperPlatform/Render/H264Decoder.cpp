#include "HelperPlatform/Render/H264Decoder.hpp"

#include <algorithm>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel {
namespace {

constexpr std::int64_t sequenceParameterSet = 7;
constexpr std::int64_t pictureParameterSet = 8;

[[noreturn]] void cannotDecode(int status) {
    throw HelperFailure("a recorded frame cannot be decoded (" + std::to_string(status) + ")", 502);
}

// Opens a throw-away decoder on the sets alone, told to fail on any error in them: the
// decoder that plays the recording conceals such errors and would only fail, or show nothing,
// at the first picture.
void checkParameterSets(const AVCodec* codec, const std::vector<Bytes>& parameterSets) {
    std::size_t size = 0;
    for (const Bytes& set : parameterSets) size += AnnexB::startCode.size() + set.size();
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    auto* extradata = static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context || extradata == nullptr) {
        av_free(extradata);
        throw HelperFailure("this Mac cannot decode the recording", 502);
    }
    context->extradata = extradata;  // freed with the context
    context->extradata_size = static_cast<int>(size);
    for (const Bytes& set : parameterSets) {
        extradata = std::copy(AnnexB::startCode.begin(), AnnexB::startCode.end(), extradata);
        extradata = std::copy(set.begin(), set.end(), extradata);
    }
    context->err_recognition = AV_EF_EXPLODE;
    context->thread_count = 1;
    if (const int status = avcodec_open2(context.get(), codec, nullptr); status < 0) {
        throw HelperFailure(
            "a recording's parameter sets cannot be read (" + std::to_string(status) + ")", 502);
    }
}

}  // namespace

H264Decoder::H264Decoder() : packet_(av_packet_alloc()) {
    quietMediaLibraries();
    if (!packet_) throw HelperFailure("a recorded frame cannot be read", 502);
}

H264Decoder::~H264Decoder() = default;

void H264Decoder::restart(std::vector<Bytes> parameterSets) {
    context_.reset();
    state_ = State::waitingForParameterSets;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) throw HelperFailure("this Mac cannot decode the recording", 502);
    checkParameterSets(codec, parameterSets);
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) throw HelperFailure("this Mac cannot decode the recording", 502);
    context->thread_count = 1;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        throw HelperFailure("this Mac cannot decode the recording", 502);
    }
    context_ = std::move(context);
    parameterSets_ = std::move(parameterSets);
    state_ = State::decoding;
    setsSent_ = false;
    ++restarts_;
}

RecordedPicture H264Decoder::decode(std::span<const std::uint8_t> data) {
    std::vector<Bytes> parameterSets;
    bool hasPicture = false;
    for (const auto unit : AnnexB::nalUnitViews(data)) {
        const auto type = AnnexB::type(unit);
        if (type == sequenceParameterSet || type == pictureParameterSet) {
            parameterSets.emplace_back(unit.begin(), unit.end());
        } else if (type >= 1 && type <= 5) {
            hasPicture = true;
        }
    }
    const bool hasParameterSets = !parameterSets.empty();
    if (parameterSets.size() >= 2 && parameterSets != parameterSets_) {
        restart(std::move(parameterSets));
    }
    if (state_ != State::decoding || !hasPicture) return nullptr;

    // The whole frame goes in (libavcodec reads Annex B), behind the parameter sets when a
    // new decoder has not seen them yet: they may have come in a frame of their own.
    std::size_t size = data.size();
    const bool withSets = !setsSent_ && !hasParameterSets;
    if (withSets) {
        for (const Bytes& set : parameterSets_) size += AnnexB::startCode.size() + set.size();
    }
    av_packet_unref(packet_.get());
    if (av_new_packet(packet_.get(), static_cast<int>(size)) < 0) {
        throw HelperFailure("a recorded frame cannot be read", 502);
    }
    std::uint8_t* at = packet_->data;
    if (withSets) {
        for (const Bytes& set : parameterSets_) {
            at = std::copy(AnnexB::startCode.begin(), AnnexB::startCode.end(), at);
            at = std::copy(set.begin(), set.end(), at);
        }
    }
    std::copy(data.begin(), data.end(), at);
    setsSent_ = true;
    const int sent = avcodec_send_packet(context_.get(), packet_.get());
    if (sent < 0 && sent != AVERROR(EAGAIN)) cannotDecode(sent);
    AVFramePtr newest;
    for (;;) {
        AVFramePtr frame(av_frame_alloc());
        if (!frame) throw HelperFailure("a recorded frame cannot be read", 502);
        const int status = avcodec_receive_frame(context_.get(), frame.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) break;
        if (status < 0) cannotDecode(status);
        newest = std::move(frame);
    }
    return newest ? recordedPicture(newest.release()) : nullptr;
}

}  // namespace tavrel
