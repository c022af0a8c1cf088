#include "HelperPlatform/Media/H264Stream.hpp"

#include <malloc.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

namespace tavrel {

namespace {

constexpr int maximumInFlight = 2;

std::string text(long long value) {
    return std::to_string(value);
}

}  // namespace

std::shared_ptr<H264Stream> H264Stream::make(std::shared_ptr<PixelSource> source,
                                             std::shared_ptr<Pictures> pictures,
                                             const StreamSettings& settings, bool idleKeyFrames,
                                             double firstPictureS, Log log) {
    const auto started = Clock::now();
    source->hold();
    EncoderPlan plan;
    std::shared_ptr<EncoderSession> encoder;
    try {
        // This picture only gives the size; it is not encoded.
        const auto picture = source->pictureWaiting(firstPictureS);
        plan = EncoderPlan::make(settings, picture.surface->width(), picture.surface->height());
        encoder = session(plan);
    } catch (...) {
        source->letGo();
        throw;
    }
    std::shared_ptr<H264Stream> stream(new H264Stream(std::move(source), std::move(pictures), plan,
                                                      std::move(encoder), idleKeyFrames,
                                                      std::move(log), started));
    stream->log_.debug([&] {
        return "a " + text(plan.width) + "x" + text(plan.height) +
               " H.264 stream's encoder is ready after " + text(stream->millisecondsSinceStart()) +
               "ms";
    });
    return stream;
}

H264Stream::H264Stream(std::shared_ptr<PixelSource> source, std::shared_ptr<Pictures> pictures,
                       EncoderPlan plan, std::shared_ptr<EncoderSession> session,
                       bool idleKeyFrames, Log log, Clock::time_point started)
    : source_(std::move(source)),
      pictures_(std::move(pictures)),
      plan_(plan),
      log_(std::move(log)),
      started_(started),
      encoderName_(session->encoderName()),
      scheduler_(plan.fps, plan.keyFrameInterval, idleKeyFrames),
      session_(std::move(session)) {}

H264Stream::~H264Stream() {
    stop();
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

void H264Stream::units(Continuation continuation) {
    const std::weak_ptr<H264Stream> weak = weak_from_this();
    {
        std::lock_guard lock(lock_);
        if (state_ != State::starting || continuation_) return;
        continuation_ = continuation;
    }
    continuation.onTermination([weak](StreamTermination) {
        if (auto self = weak.lock()) self->stop();
    });
    continuation.onRefresh([weak] {
        if (auto self = weak.lock()) self->requestKeyFrame();
    });
    const auto observer = source_->observe([weak] {
        if (auto self = weak.lock()) self->presented();
    });
    auto tickQueue = std::make_unique<SerialQueue>("tavrel.h264.tick");
    // The timer holds the stream: it produces until `stop` cancels the timer.
    auto timer =
        std::make_unique<RepeatingTimer>(*tickQueue, SerialQueue::Clock::duration::zero(),
                                         std::chrono::duration_cast<SerialQueue::Clock::duration>(
                                             std::chrono::duration<double>(tickInterval())),
                                         [self = shared_from_this(), weak] {
                                             self->source_->async([weak] {
                                                 if (auto stream = weak.lock())
                                                     stream->decide(false);
                                             });
                                         });
    bool stopped;
    {
        std::lock_guard lock(lock_);
        stopped = state_ != State::starting;
        if (!stopped) {
            state_ = State::running;
            observer_ = observer;
            tickQueue_ = std::move(tickQueue);
            timer_ = std::move(timer);
        }
    }
    if (stopped) {
        // The consumer ended the stream while it was being started.
        source_->forget(observer);
        timer->cancel();
        timer.reset();
        return;
    }
    // The first picture goes through the version check: when the timer's first tick has already
    // encoded it, a still screen must not be encoded a second time.
    source_->async([weak] {
        if (auto self = weak.lock()) self->presented();
    });
}

void H264Stream::requestKeyFrame() {
    {
        std::lock_guard lock(lock_);
        scheduler_.wantKeyFrame();
    }
    source_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->decide(false);
    });
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
            const auto session = session_;
            lock.unlock();
            encode(session, decision.key, t);
            return;
        }
        case Decision::Kind::wait: {
            const bool scheduled = waitingUntil_.has_value();
            waitingUntil_ = decision.until;
            lock.unlock();
            if (scheduled) return;
            source_->asyncAfter(std::max(decision.until - t, 0.0), [weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    {
                        std::lock_guard lock(self->lock_);
                        self->waitingUntil_.reset();
                    }
                    self->decide(false);
                }
            });
            return;
        }
        case Decision::Kind::idle:
            return;
    }
}

void H264Stream::encode(const std::shared_ptr<EncoderSession>& session, bool key, double t) {
    FrameTiming timing;
    timing.decided = Clock::now();
    timing.key = key;
    const auto picture = source_->picture();
    if (!picture) return finished(std::nullopt);
    auto frame = session->pixelBuffer();
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
    const int status = session->submit(
        std::move(frame), t, key, [weak = weak_from_this(), timing](const EncodedSample& sample) {
            if (auto self = weak.lock()) self->output(sample, timing);
        });
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
    std::optional<Continuation> continuation;
    bool stopped;
    {
        std::lock_guard lock(lock_);
        if (inFlight_ > 0) --inFlight_;
        continuation = continuation_;
        stopped = state_ != State::running;
    }
    // Both paths continue on the source's queue, never on the encoder's thread: the next
    // decision runs there, and ending the output (which stops the stream and completes the
    // encoder) must not run on the thread it waits for.
    if (!failure) {
        source_->async([self = shared_from_this()] { self->decide(false); });
        return;
    }
    if (stopped) return;  // a stream that has ended reports nothing more
    log_.error(failure->message());
    if (continuation) {
        source_->async(
            [self = shared_from_this(), error = std::move(*failure)] { self->stop(error); });
    }
}

void H264Stream::emit(Bytes bytes) {
    std::optional<Continuation> continuation;
    {
        std::lock_guard lock(lock_);
        continuation = continuation_;
    }
    if (continuation) continuation->yield(std::move(bytes));
}

void H264Stream::stop() {
    stop(std::nullopt);
}

void H264Stream::stop(std::optional<HelperFailure> failure) {
    // Whoever calls stop may hold the last reference only through the timer.
    const auto keepAlive = weak_from_this().lock();
    std::shared_ptr<EncoderSession> session;
    std::optional<ObserverID> observer;
    std::unique_ptr<RepeatingTimer> timer;
    std::unique_ptr<SerialQueue> tickQueue;
    std::optional<Continuation> continuation;
    {
        std::lock_guard lock(lock_);
        if (state_ == State::stopping || state_ == State::stopped) return;
        state_ = State::stopping;
        session = std::move(session_);
        observer = std::exchange(observer_, std::nullopt);
        timer = std::move(timer_);
        tickQueue = std::move(tickQueue_);
        continuation = std::exchange(continuation_, std::nullopt);
    }
    if (observer) source_->forget(*observer);
    if (timer) timer->cancel();
    timer.reset();
    tickQueue.reset();
    if (session) {
        session->complete();
        source_->letGo();
        session.reset();
        // An encoder at full size leaves tens of megabytes glibc would otherwise keep.
        ::malloc_trim(0);
    }
    // The output ends last, so a consumer that sees the end finds the source already let go. A
    // stream stopped by its owner rather than by its consumer ends its output too.
    {
        std::lock_guard lock(lock_);
        state_ = State::stopped;
    }
    if (continuation) {
        continuation->finish(failure ? std::make_exception_ptr(*failure) : nullptr);
    }
}

std::shared_ptr<EncoderSession> H264Stream::session(const EncoderPlan& plan) {
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
    // libavcodec gives Annex B: keep the picture and SEI units, length-prefix them, and let the
    // one packaging function put the parameter sets in front and the delimiter behind.
    const auto units = AnnexB::nalUnitViews({packet->data, static_cast<std::size_t>(packet->size)});
    Bytes avcc;
    avcc.reserve(static_cast<std::size_t>(packet->size) + 4 * units.size());
    for (const auto unit : units) {
        const auto type = AnnexB::type(unit);
        if (!((type >= 1 && type <= 5) || type == 6)) continue;
        const auto size = static_cast<std::uint32_t>(unit.size());
        avcc.push_back(static_cast<std::uint8_t>(size >> 24));
        avcc.push_back(static_cast<std::uint8_t>(size >> 16));
        avcc.push_back(static_cast<std::uint8_t>(size >> 8));
        avcc.push_back(static_cast<std::uint8_t>(size));
        avcc.insert(avcc.end(), unit.begin(), unit.end());
    }
    const std::span<const Bytes> parameterSets =
        isKeyFrame(sample) ? sample.parameterSets : std::span<const Bytes>{};
    return AnnexB::accessUnit(avcc, 4, parameterSets);
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
    }
}

}  // namespace tavrel
