#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Concurrency/AsyncStream.hpp"
#include "HelperCore/Concurrency/RepeatingTimer.hpp"
#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperCore/Video/Video.hpp"
#include "HelperPlatform/Media/EncoderSession.hpp"
#include "HelperPlatform/Media/Pictures.hpp"
#include "HelperPlatform/Media/PixelSource.hpp"

namespace tavrel {

/// The live H.264 stream of one client: the pictures of one source, encoded when the frame
/// scheduler says so, each encoded frame delivered as one self-contained Annex B access unit.
/// Built for latency: real-time encoding, no reordering, at most two frames in the encoder,
/// frames dropped rather than queued.
///
///   source queue      stream queue "tavrel.h264"             encoder thread "tavrel.encoder"
///   ────────────      ──────────────────────────             ───────────────────────────────
///   new picture ─► presented ──┐
///                  timer tick ─┼─► decide ─► encode: draw ─► send/receive ─► package ─► emit
///                  wake-up ────┤            (scale into a pool frame)            │        │
///                  finished ───┘◄────────────────────────────────────────────────┘        ▼
///                                                                      consumer (AsyncStream)
///
/// Ownership: the output stream owns the H264Stream (`AsyncStream::adopt`), and the H264Stream
/// owns everything that calls back into it: its queue (with the timer and wake-ups), its
/// encoder session (with the encoder thread) and its observer of the source. `stop` forgets
/// the observer, cancels the timer and completes the encoder (joining its thread); the
/// destructor then joins the queue. So every callback may use `this`: none outlives the stream.
/// It is destroyed where its consumer lets go of the output, never on a thread of its own.
///
/// Every mutable field is guarded by one mutex, never held while calling the source, the
/// encoder, the scaler or the consumer stream.
class H264Stream {
  public:
    using Clock = std::chrono::steady_clock;
    using Output = AsyncStream<Bytes>;

    /// When one frame passed through the stages, for latency reports.
    struct FrameTiming {
        std::int64_t version = 0;
        bool key = false;
        Clock::time_point decided;
        Clock::time_point submitted;
        Clock::time_point encoderStarted;
        Clock::time_point emitted;
        Clock::duration encoderTime{};
    };
    using Trace = std::function<void(const FrameTiming&)>;

    /// Holds the source, waits up to `firstPictureS` for a picture to size the plan, and opens
    /// the encoder. Throws the source's failure or `HelperFailure` of the plan or the encoder;
    /// the source is let go again on failure.
    static std::unique_ptr<H264Stream> make(std::shared_ptr<PixelSource> source,
                                            std::shared_ptr<Pictures> pictures,
                                            const StreamSettings& settings, bool idleKeyFrames,
                                            double firstPictureS, Log log);
    /// Stops, then joins the stream's queue. Not on the stream's queue or encoder thread.
    ~H264Stream();
    H264Stream(const H264Stream&) = delete;
    H264Stream& operator=(const H264Stream&) = delete;

    /// Starts production (once) into `output`, which must own this stream (`adopt`; throws
    /// std::logic_error otherwise): observes the source, starts the tick and encodes the first
    /// frame at once. The output ending in any way stops the stream.
    void units(const Output& output);

    /// Ends everything and then the output; idempotent, callable from any thread but the
    /// encoder's. Returns once the stream is stopped: observer forgotten, timer cancelled,
    /// encoder completed, source let go.
    void stop();
    /// The next frame is a key frame, as soon as the frame rate allows (a client fell behind).
    void requestKeyFrame();

    const EncoderPlan& plan() const { return plan_; }
    const std::string& encoderName() const { return encoderName_; }
    /// Seconds between ticks of the repeating timer.
    double tickInterval() const;
    /// Called on the encoder thread after each emitted access unit; set before `units`.
    void setTrace(Trace trace) { trace_ = std::move(trace); }

    /// Opens an encoder for the plan; throws `HelperFailure` 502.
    static std::unique_ptr<EncoderSession> session(const EncoderPlan& plan);
    /// One encoded frame as an Annex B access unit: the parameter sets in front of a key
    /// frame, then the frame's picture and SEI units, then the access-unit delimiter. Packaged
    /// straight from the encoder's Annex B, copying each byte once.
    static Bytes accessUnit(const EncodedSample& sample);
    static bool isKeyFrame(const EncodedSample& sample);
    /// Encodes one throw-away quarter-size frame so that the first stream starts warm. Never
    /// throws.
    static void warm(const Picture& picture, Pictures& pictures);

  private:
    H264Stream(std::shared_ptr<PixelSource> source, HeldSource held,
               std::shared_ptr<Pictures> pictures, EncoderPlan plan,
               std::unique_ptr<EncoderSession> session, bool idleKeyFrames, Log log,
               Clock::time_point started);

    /// Ends everything and then the output, with `failure` when given.
    void stop(std::optional<HelperFailure> failure);
    double streamTime() const;
    long long millisecondsSinceStart() const;
    void presented();
    void decide(bool changed);
    void encode(bool key, double t);
    void output(const EncodedSample& sample, FrameTiming timing);
    void finished(std::optional<HelperFailure> failure);
    void emit(Bytes bytes);

    const std::shared_ptr<PixelSource> source_;
    // Taken in `make`, let go by `stop` (or with the stream, were it never made whole).
    HeldSource held_;
    const std::shared_ptr<Pictures> pictures_;
    const EncoderPlan plan_;
    const Log log_;
    const Clock::time_point started_;
    // Open from `make`, completed by `stop`, freed with the stream.
    const std::unique_ptr<EncoderSession> session_;
    const std::string encoderName_;
    Trace trace_;

    // starting: made, not producing yet; running: observing, ticking and encoding; stopping:
    // `stop` is releasing the observer, timer, encoder and source; stopped: all released.
    enum class State { starting, running, stopping, stopped };

    std::mutex lock_;
    std::condition_variable stateChanged_;
    State state_ = State::starting;
    FrameScheduler scheduler_;
    std::optional<ObserverID> observer_;
    std::optional<std::int64_t> lastVersion_;
    int inFlight_ = 0;
    std::unique_ptr<RepeatingTimer> timer_;
    std::optional<double> waitingUntil_;
    Output::Producer output_;

    // Runs `decide` and all the stream's own work. Last, so that it is destroyed first: its
    // thread is joined while everything that work uses still exists.
    SerialQueue queue_{"tavrel.h264"};
};

}  // namespace tavrel
