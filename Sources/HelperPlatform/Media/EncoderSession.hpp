#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Video/EncoderPlan.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"

namespace tavrel {

/// What the encoder hands back for one submitted frame.
struct EncodedSample {
    enum class Outcome {
        encoded,  // `packet` holds the frame
        dropped,  // the encoder gave nothing for it (not a failure)
        refused,  // the encoder would not take the frame (`status`)
        failed,   // the encoder failed while encoding (`status`)
    };

    Outcome outcome = Outcome::dropped;
    /// A negative libav error code for `refused` and `failed`.
    int status = 0;
    /// Annex B bytes of one encoded frame, for `encoded`.
    const AVPacket* packet = nullptr;
    /// The encoder's newest sequence and picture parameter sets (without start codes).
    std::span<const Bytes> parameterSets;
    /// Whether the frame was submitted with a key frame asked for.
    bool submittedAsKey = false;
    /// Time spent inside libavcodec for this frame (sending it and receiving its packet).
    std::chrono::steady_clock::duration encoderTime{};
    /// When the session's thread took the frame up.
    std::chrono::steady_clock::time_point started;
};

/// A live H.264 encoder: the low-latency hardware encoder when one opens (h264_nvenc), else
/// libx264 (ultrafast, zerolatency, no B-frames, VBV capped at the plan's data-rate limit).
/// Frames are submitted from any thread and encoded on the session's own thread, which calls
/// each frame's output handler exactly once, in submission order.
///
/// Threads: `pixelBuffer`, `submit` and `complete` may be called from any thread except the
/// session's own (from an output handler). Output handlers run on the session's thread and must
/// not block on work that waits for the session. The session owns that thread: `complete` (and
/// the destructor) join it, so whoever owns the session must not end it from an output handler.
class EncoderSession {
  public:
    using Output = std::function<void(const EncodedSample&)>;

    /// Opens the encoder for the plan; throws `HelperFailure` 502 "this Mac has no H.264 encoder
    /// for {width}x{height}: {encoder}: {call} failed ({reason})" (each encoder tried, joined by
    /// "; ") when none opens. The hardware encoder is not tried again in this process once it is
    /// found missing: not built in, or unable to open even a small common size.
    static std::unique_ptr<EncoderSession> open(const EncoderPlan& plan);
    ~EncoderSession();
    EncoderSession(const EncoderSession&) = delete;
    EncoderSession& operator=(const EncoderSession&) = delete;

    /// "h264_nvenc" or "libx264".
    const std::string& encoderName() const;

    /// A writable YUV 4:2:0 frame of the plan's size from the session's small pool; empty when
    /// the pool is exhausted or the session is complete.
    AVFramePtr pixelBuffer();

    /// Queues a frame for encoding at presentation time `t` seconds (microsecond timescale).
    /// Returns 0, or a negative libav error when the session no longer takes frames (the
    /// output handler is then not called).
    int submit(AVFramePtr frame, double t, bool key, Output output);

    /// Encodes everything submitted, delivers every output, flushes the encoder, joins the
    /// session's thread and frees the encoder. Idempotent (a second caller waits for the first);
    /// later submissions are refused. Throws std::logic_error when called from an output
    /// handler, which would wait for itself.
    void complete();

    struct State;

  private:
    explicit EncoderSession(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tavrel
