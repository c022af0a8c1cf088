#include "HelperPlatform/Media/H264Stream.hpp"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "HelperCore/Concurrency/JobFailures.hpp"
#include "HelperPlatform/Server/FreedMemory.hpp"

namespace tavrel {

namespace {

constexpr int maximumInFlight = 2;

std::string text(long long value) {
    return std::to_string(value);
}

}  // namespace

std::unique_ptr<H264Stream> H264Stream::make(std::shared_ptr<PixelSource> source,
                                             std::shared_ptr<Pictures> pictures,
                                             const StreamSettings& settings, bool idleKeyFrames,
                                             double firstPictureS, Log log) {
    const auto started = Clock::now();
    HeldSource held(*source);
    // This picture only gives the size; it is not encoded.
    const auto picture = source->pictureWaiting(firstPictureS);
    const auto plan =
        EncoderPlan::make(settings, picture.surface->width(), picture.surface->height());
    auto encoder = session(plan);
    // From here the stream owns the hold, also when making it fails (no thread for its queue).
    std::unique_ptr<H264Stream> stream(new H264Stream(source, std::move(held), std::move(pictures),
                                                      plan, std::move(encoder), idleKeyFrames,
                                                      std::move(log), started));
    stream->log_.debug([&] {
        return "a " + text(plan.width) + "x" + text(plan.height) +
               " H.264 stream's encoder is ready after " + text(stream->millisecondsSinceStart()) +
               "ms";
    });
    return stream;
}

H264Stream::H264Stream(std::shared_ptr<PixelSource> source, HeldSource held,
                       std::shared_ptr<Pictures> pictures, EncoderPlan plan,
                       std::unique_ptr<EncoderSession> session, bool idleKeyFrames, Log log,
                       Clock::time_point started)
    : source_(std::move(source)),
      held_(std::move(held)),
      pictures_(std::move(pictures)),
      plan_(plan),
      log_(std::move(log)),
      started_(started),
      session_(std::move(session)),
      encoderName_(session_->encoderName()),
      scheduler_(plan.fps, plan.keyFrameInterval, idleKeyFrames) {}

H264Stream::~H264Stream() {
    stop();
    // `queue_` goes next: work still due runs and finds the stream stopped; wake-ups not yet
    // due are dropped.
}

double H264Stream::streamTime() const {
    return std::chrono::duration<double>(Clock::now() - started_).count();
}

long long H264Stream::millisecondsSinceStart() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
}

double H264Stream::tickInterval() const {
    // A floor of 1 ms keeps absurdly short key-frame intervals from spinning the timer.
    return std::max(0.001, std::min(0.25, plan_.keyFrameInterval * 0.5));
}

void H264Stream::units(const Output& output) {
    const auto end = output.producerEnd(this);
    {
        std::lock_guard lock(lock_);
        if (state_ != State::starting) return;
        output_ = end;
    }
    // The output owns this stream, so its handlers may hold it plainly.
    output.onTermination([this](StreamTermination) { stop(); });
    output.onRefresh([this] { requestKeyFrame(); });
    const auto observer = source_->observe([this] { queue_.async([this] { presented(); }); });
    auto timer =
        std::make_unique<RepeatingTimer>(queue_, SerialQueue::Clock::duration::zero(),
                                         std::chrono::duration_cast<SerialQueue::Clock::duration>(
                                             std::chrono::duration<double>(tickInterval())),
                                         [this] { decide(false); });
    bool stopped;
    {
        std::lock_guard lock(lock_);
        stopped = state_ != State::starting;
        if (!stopped) {
            state_ = State::running;
            observer_ = observer;
            timer_ = std::move(timer);
        }
    }
    if (stopped) {
        // The consumer ended the output while the stream was being started.
        source_->forget(observer);
        return;
    }
    // The first picture goes through the version check: when the timer's first tick has already
    // encoded it, a still screen must not be encoded a second time.
    queue_.async([this] { presented(); });
}

void H264Stream::requestKeyFrame() {
    {
        std::lock_guard lock(lock_);
        scheduler_.wantKeyFrame();
    }
    queue_.async([this] { decide(false); });
}

void H264Stream::presented() {
    const auto picture = source_->picture();
    if (!picture) return;
    bool changed;
    {
        std::lock_guard lock(lock_);
        changed = !lastVersion_ || *lastVersion_ != picture->version;
        lastVersion_ = picture->version;
    }
    if (changed) decide(true);
}

void H264Stream::decide(bool changed) {
    std::unique_lock lock(lock_);
    if (state_ != State::running) return;
    const double t = streamTime();
    const Decision decision = changed ? scheduler_.frameChanged(t) : scheduler_.tick(t);
    switch (decision.kind) {
        case Decision::Kind::encode: {
            // A full encoder drops the frame; the scheduler stays dirty and a later decision
            // picks it up.
            if (inFlight_ >= maximumInFlight) return;
            ++inFlight_;
            scheduler_.encoded(t, decision.key);
            lock.unlock();
            encode(decision.key, t);
            return;
        }
        case Decision::Kind::wait: {
            const bool scheduled = waitingUntil_.has_value();
            waitingUntil_ = decision.until;
            lock.unlock();
            if (scheduled) return;
            queue_.asyncAfter(std::chrono::duration_cast<SerialQueue::Clock::duration>(
                                  std::chrono::duration<double>(std::max(decision.until - t, 0.0))),
                              [this] {
                                  {
                                      std::lock_guard lock(lock_);
                                      waitingUntil_.reset();
                                  }
                                  decide(false);
                              });
            return;
        }
        case Decision::Kind::idle:
            return;
    }
}

void H264Stream::encode(bool key, double t) {
    FrameTiming timing;
    timing.decided = Clock::now();
    timing.key = key;
    const auto picture = source_->picture();
    if (!picture) return finished(std::nullopt);
    // None once `stop` has completed the session.
    auto frame = session_->pixelBuffer();
    if (!frame) return finished(std::nullopt);
    timing.version = picture->version;
    {
        std::lock_guard lock(lock_);
        lastVersion_ = picture->version;
    }
    try {
        pictures_->draw(*picture->surface, frame.get());
    } catch (...) {
        return finished(HelperFailure::fromCurrentException());
    }
    if (key) {
        log_.debug(
            [&] { return "a key frame is drawn after " + text(millisecondsSinceStart()) + "ms"; });
    }
    timing.submitted = Clock::now();
    const int status =
        session_->submit(std::move(frame), t, key,
                         [this, timing](const EncodedSample& sample) { output(sample, timing); });
    if (status < 0) {
        finished(HelperFailure("the H.264 encoder refused a frame (" + text(status) + ")", 502));
    }
}

void H264Stream::output(const EncodedSample& sample, FrameTiming timing) {
    switch (sample.outcome) {
        case EncodedSample::Outcome::failed:
            return finished(
                HelperFailure("the H.264 encoder failed (" + text(sample.status) + ")", 502));
        case EncodedSample::Outcome::refused:
            return finished(HelperFailure(
                "the H.264 encoder refused a frame (" + text(sample.status) + ")", 502));
        case EncodedSample::Outcome::dropped:
            return finished(std::nullopt);
        case EncodedSample::Outcome::encoded:
            break;
    }
    if (sample.submittedAsKey) {
        log_.debug([&] {
            return "a key frame is encoded after " + text(millisecondsSinceStart()) + "ms";
        });
    }
    Bytes bytes;
    try {
        bytes = accessUnit(sample);
    } catch (...) {
        return finished(HelperFailure::fromCurrentException());
    }
    emit(std::move(bytes));
    if (trace_) {
        timing.emitted = Clock::now();
        timing.encoderTime = sample.encoderTime;
        timing.encoderStarted = sample.started;
        timing.key = isKeyFrame(sample);
        trace_(timing);
    }
    finished(std::nullopt);
}

void H264Stream::finished(std::optional<HelperFailure> failure) {
    bool running;
    {
        std::lock_guard lock(lock_);
        if (inFlight_ > 0) --inFlight_;
        running = state_ == State::running;
    }
    // Both paths continue on the stream's queue, never on the encoder's thread: the next
    // decision runs there, and stopping completes the encoder, which waits for this thread.
    if (!failure) {
        queue_.async([this] { decide(false); });
        return;
    }
    if (!running) return;  // a stream that has ended reports nothing more
    log_.error(failure->message());
    queue_.async([this, error = std::move(*failure)] { stop(error); });
}

void H264Stream::emit(Bytes bytes) {
    Output::Producer output;
    {
        std::lock_guard lock(lock_);
        if (state_ != State::running) return;
        output = output_;
    }
    output.yield(std::move(bytes));
}

void H264Stream::stop() {
    stop(std::nullopt);
}

void H264Stream::stop(std::optional<HelperFailure> failure) {
    std::optional<ObserverID> observer;
    std::unique_ptr<RepeatingTimer> timer;
    Output::Producer output;
    {
        std::unique_lock lock(lock_);
        if (state_ == State::stopping) {
            // Another thread is stopping: return once it is done, as a stop does.
            stateChanged_.wait(lock, [this] { return state_ == State::stopped; });
            return;
        }
        if (state_ == State::stopped) return;
        state_ = State::stopping;
        observer = std::exchange(observer_, std::nullopt);
        timer = std::move(timer_);
        output = std::exchange(output_, {});
    }
    if (observer) source_->forget(*observer);
    // Cancels, waiting for a tick under way (unless this is the tick's own queue).
    timer.reset();
    session_->complete();
    held_.letGo();
    // An encoder at full size leaves tens of megabytes glibc would otherwise keep.
    FreedMemory::giveBack();
    {
        std::lock_guard lock(lock_);
        state_ = State::stopped;
    }
    stateChanged_.notify_all();
    // The output ends last, so a consumer that sees the end finds the source already let go. A
    // stream stopped by its owner rather than by its consumer ends its output too.
    output.finish(failure ? std::make_exception_ptr(*failure) : nullptr);
}

std::unique_ptr<EncoderSession> H264Stream::session(const EncoderPlan& plan) {
    return EncoderSession::open(plan);
}

bool H264Stream::isKeyFrame(const EncodedSample& sample) {
    return sample.packet != nullptr && (sample.packet->flags & AV_PKT_FLAG_KEY) != 0;
}

Bytes H264Stream::accessUnit(const EncodedSample& sample) {
    const AVPacket* packet = sample.packet;
    if (packet == nullptr || packet->data == nullptr || packet->size <= 0) {
        throw HelperFailure("an encoded frame without data", 502);
    }
    // libavcodec gives Annex B with its own delimiter and, on key frames, parameter sets that
    // may be stale by the next one: keep only the picture and SEI units, and put the newest
    // parameter sets in front.
    auto units = AnnexB::nalUnitViews({packet->data, static_cast<std::size_t>(packet->size)});
    std::erase_if(units, [](AnnexB::ByteView unit) {
        const auto type = AnnexB::type(unit);
        return !(NALUnit::isPicture(type) || type == NALUnit::supplementalEnhancement);
    });
    const std::span<const Bytes> parameterSets =
        isKeyFrame(sample) ? sample.parameterSets : std::span<const Bytes>{};
    return AnnexB::accessUnit(units, parameterSets);
}

void H264Stream::warm(const Picture& picture, Pictures& pictures) {
    try {
        const auto plan = EncoderPlan::make(StreamSettings{30, 0.25, 1, 100000},
                                            picture.surface->width(), picture.surface->height());
        const auto encoder = session(plan);
        auto frame = encoder->pixelBuffer();
        if (!frame) return;
        pictures.draw(*picture.surface, frame.get());
        encoder->submit(std::move(frame), 0, true, [](const EncodedSample&) {});
        encoder->complete();
    } catch (...) {
        // The first stream meets the same failure and answers with it.
        JobFailures::reportCurrent("the encoder's warm-up");
    }
}

}  // namespace tavrel
