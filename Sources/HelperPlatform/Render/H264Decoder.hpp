#pragma once

#include <span>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

namespace tavrel {

/// Decodes a recording's H.264 frames one at a time with libavcodec (one thread, low delay,
/// so a frame's picture comes out of its own frame). The decoder is made anew only when a
/// frame brings parameter sets other than the ones it was made from; frames that repeat them
/// keep it.
class H264Decoder {
  public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    /// The picture of one Annex B frame, or null for a frame without picture units or before
    /// any parameter sets. Throws `HelperFailure` 502.
    RecordedPicture decode(std::span<const std::uint8_t> data);

    /// How many decoders this one has made so far.
    int restarts() const { return restarts_; }

  private:
    void restart(std::vector<Bytes> parameterSets);

    enum class State { waitingForParameterSets, decoding };
    State state_ = State::waitingForParameterSets;
    AVCodecContextPtr context_;
    std::vector<Bytes> parameterSets_;
    bool setsSent_ = false;  // to the current decoder
    AVPacketPtr packet_;
    int restarts_ = 0;
};

}  // namespace tavrel
