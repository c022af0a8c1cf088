#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"

namespace tavrel::testing {

/// libavcodec's H.264 decoder, fed one access unit at a time, returning the pictures it
/// finishes at once (single-threaded, low delay, so a frame comes out of its own unit).
class H264Decoder {
  public:
    H264Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (codec == nullptr) throw std::runtime_error("no H.264 decoder");
        context_.reset(avcodec_alloc_context3(codec));
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
            throw std::runtime_error("the H.264 decoder does not open");
        }
    }

    /// Decodes one unit; throws when the decoder refuses it.
    std::vector<AVFramePtr> decode(const Bytes& unit) {
        AVPacketPtr packet(av_packet_alloc());
        if (av_new_packet(packet.get(), static_cast<int>(unit.size())) < 0) {
            throw std::runtime_error("no packet");
        }
        std::copy(unit.begin(), unit.end(), packet->data);
        const int sent = avcodec_send_packet(context_.get(), packet.get());
        if (sent < 0)
            throw std::runtime_error("the decoder refused a unit: " + std::to_string(sent));
        std::vector<AVFramePtr> frames;
        for (;;) {
            AVFramePtr frame(av_frame_alloc());
            const int status = avcodec_receive_frame(context_.get(), frame.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) break;
            if (status < 0) throw std::runtime_error("decoding failed: " + std::to_string(status));
            frames.push_back(std::move(frame));
        }
        return frames;
    }

  private:
    AVCodecContextPtr context_;
};

}  // namespace tavrel::testing
