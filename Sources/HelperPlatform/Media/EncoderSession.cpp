#include "HelperPlatform/Media/EncoderSession.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"
#include "HelperPlatform/Media/MediaLog.hpp"

namespace tavrel {

namespace {

using Clock = std::chrono::steady_clock;

// Two frames in the encoder and one being drawn.
constexpr std::size_t poolLimit = 3;

struct DictionaryFree {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

int clampToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, INT_MAX));
}

std::string avReason(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(status, text, sizeof text) < 0 || text[0] == '\0') return "no reason";
    return text;
}

// One encoder configured for the plan, or why none opened.
struct Opened {
    AVCodecContextPtr context;
    bool found = false;  // libavcodec has the encoder at all
    std::string failure;
};

Opened openEncoder(const char* name, const EncoderPlan& plan) {
    Opened opened;
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        opened.failure = std::string(name) + ": avcodec_find_encoder_by_name found none";
        return opened;
    }
    opened.found = true;
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        opened.failure = std::string(name) + ": avcodec_alloc_context3 failed (out of memory)";
        return opened;
    }
    context->width = static_cast<int>(plan.width);
    context->height = static_cast<int>(plan.height);
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, 1000000};
    context->framerate = AVRational{static_cast<int>(plan.fps), 1};
    context->gop_size =
        std::max(1, static_cast<int>(std::min(std::ceil(plan.keyFrameInterval * plan.fps), 1.0e6)));
    context->max_b_frames = 0;
    context->bit_rate = plan.bitrate;
    // The data-rate cap: at most bytesPerSecondLimit bytes in any one second.
    context->rc_max_rate = plan.bytesPerSecondLimit * 8;
    context->rc_buffer_size = clampToInt(plan.bytesPerSecondLimit * 8);

    AVDictionary* raw = nullptr;
    if (std::string_view(name) == "libx264") {
        av_dict_set(&raw, "preset", "ultrafast", 0);
        av_dict_set(&raw, "tune", "zerolatency", 0);
    } else {
        av_dict_set(&raw, "preset", "p1", 0);
        av_dict_set(&raw, "tune", "ll", 0);
        av_dict_set(&raw, "zerolatency", "1", 0);
        av_dict_set(&raw, "delay", "0", 0);
    }
    av_dict_set(&raw, "profile", "high", 0);
    av_dict_set(&raw, "forced-idr", "1", 0);
    std::unique_ptr<AVDictionary, DictionaryFree> options(raw);
    AVDictionary* pass = options.release();
    const int status = avcodec_open2(context.get(), codec, &pass);
    options.reset(pass);
    if (status < 0) {
        opened.failure = std::string(name) + ": avcodec_open2 failed (" + avReason(status) + ")";
        return opened;
    }
    opened.context = std::move(context);
    return opened;
}

// A size and rate every H.264 encoder takes: when the hardware encoder refuses even this, it
// is not there (no device, no driver), rather than unable to serve one plan.
EncoderPlan probePlan() {
    return EncoderPlan::make(StreamSettings{30, 1, 1, 1000000}, 640, 480);
}

// The hardware encoder is looked for until it is found missing; a machine without one does
// not pay again. A plan it cannot serve only sends that plan to libx264.
std::atomic<bool> hardwareMissing{false};

}  // namespace

struct EncoderSession::State {
    struct Job {
        AVFramePtr frame;
        std::int64_t pts;
        bool key;
        Output output;
    };
    struct Pending {
        std::int64_t pts;
        bool key;
        Output output;
        Clock::time_point sent;
        Clock::duration spent;
    };

    AVCodecContextPtr context;
    std::string name;
    int width = 0;
    int height = 0;
    std::vector<Bytes> parameterSets;  // the worker's alone

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::vector<AVFramePtr> pool;
    std::size_t frames = 0;  // made so far
    bool completing = false;
    std::thread worker;
    std::thread::id workerID;  // set once, before the session is handed out
    std::mutex joining;        // one `complete` joins; another waits for it

    std::deque<Pending> pending;  // the worker's alone
    std::optional<std::int64_t> lastPts;
    AVPacketPtr packet{av_packet_alloc()};

    void run() {
        setCurrentThreadName("tavrel.encoder");
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return !jobs.empty() || completing; });
                if (jobs.empty()) break;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            encode(std::move(job));
        }
        flush();
    }

    void encode(Job job) {
        // Presentation times must rise strictly, even for two frames within a microsecond.
        if (lastPts && job.pts <= *lastPts) job.pts = *lastPts + 1;
        lastPts = job.pts;
        job.frame->pts = job.pts;
        job.frame->pict_type = job.key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        const auto start = Clock::now();
        const int status = avcodec_send_frame(context.get(), job.frame.get());
        const auto spent = Clock::now() - start;
        recycle(std::move(job.frame));
        if (status < 0) {
            EncodedSample sample;
            sample.outcome = EncodedSample::Outcome::failed;
            sample.status = status;
            sample.submittedAsKey = job.key;
            job.output(sample);
            return;
        }
        pending.push_back(Pending{job.pts, job.key, std::move(job.output), start, spent});
        drain();
    }

    void flush() {
        if (avcodec_send_frame(context.get(), nullptr) >= 0) drain();
        while (!pending.empty()) deliverDropped();
    }

    // Hands out every packet the encoder has ready.
    void drain() {
        for (;;) {
            const auto start = Clock::now();
            const int status = avcodec_receive_packet(context.get(), packet.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
            if (status < 0) {
                if (pending.empty()) return;
                auto front = std::move(pending.front());
                pending.pop_front();
                EncodedSample sample;
                sample.outcome = EncodedSample::Outcome::failed;
                sample.status = status;
                sample.submittedAsKey = front.key;
                front.output(sample);
                return;
            }
            const auto received = Clock::now() - start;
            // Frames older than this packet got none: the encoder dropped them.
            while (pending.size() > 1 && pending.front().pts < packet->pts) deliverDropped();
            noteParameterSets();
            if (!pending.empty()) {
                auto front = std::move(pending.front());
                pending.pop_front();
                EncodedSample sample;
                sample.outcome = EncodedSample::Outcome::encoded;
                sample.packet = packet.get();
                sample.parameterSets = parameterSets;
                sample.submittedAsKey = front.key;
                sample.encoderTime = front.spent + received;
                sample.started = front.sent;
                front.output(sample);
            }
            av_packet_unref(packet.get());
        }
    }

    void deliverDropped() {
        auto front = std::move(pending.front());
        pending.pop_front();
        EncodedSample sample;
        sample.outcome = EncodedSample::Outcome::dropped;
        sample.submittedAsKey = front.key;
        front.output(sample);
    }

    // Remembers the newest parameter sets, from the packet itself (repeated before key frames)
    // or from the encoder's global header.
    void noteParameterSets() {
        std::vector<Bytes> found;
        for (auto unit :
             AnnexB::nalUnitViews({packet->data, static_cast<std::size_t>(packet->size)})) {
            if (NALUnit::isParameterSet(AnnexB::type(unit)))
                found.emplace_back(unit.begin(), unit.end());
        }
        if (!found.empty()) parameterSets = std::move(found);
    }

    void recycle(AVFramePtr frame) {
        std::lock_guard lock(mutex);
        pool.push_back(std::move(frame));
    }
};

std::unique_ptr<EncoderSession> EncoderSession::open(const EncoderPlan& plan) {
    quietMediaLibraries();
    const std::string failure = "this Mac has no H.264 encoder for " + std::to_string(plan.width) +
                                "x" + std::to_string(plan.height);
    if (plan.width < 2 || plan.height < 2 || plan.width > INT_MAX || plan.height > INT_MAX ||
        plan.fps < 1 || plan.fps > INT_MAX) {
        throw HelperFailure(failure + ": the plan is out of range", 502);
    }
    auto state = std::make_unique<State>();
    std::vector<std::string> reasons;
    if (!hardwareMissing.load()) {
        Opened hardware = openEncoder("h264_nvenc", plan);
        if (hardware.context) {
            state->context = std::move(hardware.context);
            state->name = "h264_nvenc";
        } else {
            reasons.push_back(std::move(hardware.failure));
            if (!hardware.found || !openEncoder("h264_nvenc", probePlan()).context) {
                hardwareMissing.store(true);
            }
        }
    }
    if (!state->context) {
        Opened software = openEncoder("libx264", plan);
        state->context = std::move(software.context);
        state->name = "libx264";
        if (!state->context) reasons.push_back(std::move(software.failure));
    }
    if (!state->context) {
        std::string why;
        for (const auto& reason : reasons) why += (why.empty() ? "" : "; ") + reason;
        throw HelperFailure(failure + ": " + why, 502);
    }
    if (!state->packet) throw HelperFailure(failure + ": av_packet_alloc failed", 502);
    if (state->context->extradata != nullptr && state->context->extradata_size > 0) {
        for (auto unit :
             AnnexB::nalUnitViews({state->context->extradata,
                                   static_cast<std::size_t>(state->context->extradata_size)})) {
            if (NALUnit::isParameterSet(AnnexB::type(unit)))
                state->parameterSets.emplace_back(unit.begin(), unit.end());
        }
    }
    state->width = state->context->width;
    state->height = state->context->height;
    state->worker = std::thread([state = state.get()] { state->run(); });
    state->workerID = state->worker.get_id();
    return std::unique_ptr<EncoderSession>(new EncoderSession(std::move(state)));
}

EncoderSession::EncoderSession(std::unique_ptr<State> state) : state_(std::move(state)) {}

EncoderSession::~EncoderSession() {
    complete();
}

const std::string& EncoderSession::encoderName() const {
    return state_->name;
}

AVFramePtr EncoderSession::pixelBuffer() {
    AVFramePtr frame;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->completing) return nullptr;
        if (!state_->pool.empty()) {
            frame = std::move(state_->pool.back());
            state_->pool.pop_back();
        } else if (state_->frames < poolLimit) {
            ++state_->frames;
        } else {
            return nullptr;
        }
    }
    // Every pixel is overwritten, so a buffer the encoder still shares is replaced, not copied.
    if (frame && av_frame_is_writable(frame.get())) return frame;
    if (!frame) frame.reset(av_frame_alloc());
    if (!frame) return nullptr;
    av_frame_unref(frame.get());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = state_->width;
    frame->height = state_->height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    return frame;
}

int EncoderSession::submit(AVFramePtr frame, double t, bool key, Output output) {
    if (!frame) return AVERROR(EINVAL);
    const double microseconds = std::round(t * 1e6);
    const auto pts = std::isfinite(microseconds)
                         ? static_cast<std::int64_t>(std::clamp(microseconds, -9.0e18, 9.0e18))
                         : 0;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->completing) return AVERROR_EOF;
        state_->jobs.push_back(State::Job{std::move(frame), pts, key, std::move(output)});
    }
    state_->wake.notify_one();
    return 0;
}

void EncoderSession::complete() {
    if (state_->workerID == std::this_thread::get_id())
        throw std::logic_error("an encoder session cannot complete from its own output");
    {
        std::lock_guard lock(state_->mutex);
        state_->completing = true;
    }
    state_->wake.notify_one();
    std::lock_guard joining(state_->joining);
    if (!state_->worker.joinable()) return;
    state_->worker.join();
    // Nothing reaches the encoder any more; a full-size one holds tens of megabytes.
    std::vector<AVFramePtr> pool;
    {
        std::lock_guard lock(state_->mutex);
        pool.swap(state_->pool);
    }
    state_->context.reset();
    state_->packet.reset();
}

}  // namespace tavrel
