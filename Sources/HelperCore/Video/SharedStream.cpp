#include "HelperCore/Video/SharedStream.hpp"

#include <algorithm>
#include <utility>

#include "HelperCore/Concurrency/ThreadName.hpp"
#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel {

struct SharedStream::Subscription {
    std::shared_ptr<SharedStream> stream;
    std::uint64_t id;
    ~Subscription() { stream->leave(id); }
};

SharedStream::SharedStream(Limits limits) : limits_(limits) {}

SharedStream::~SharedStream() {
    // Normally stopped already by the last leaving subscriber; cancelling again does nothing.
    encoder_.cancel();
    if (pump_.joinable()) pump_.join();
}

AsyncStream<Bytes> SharedStream::start(const Open& open) {
    AsyncStream<Bytes> encoder;
    try {
        encoder = open();
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            state_ = State::ended;
            openFailure_ = std::current_exception();
        }
        started_.notify_all();
        throw;
    }
    std::uint64_t id;
    {
        std::lock_guard lock(mutex_);
        encoder_ = encoder;
        state_ = State::running;
        id = enlist();
    }
    // Its opener is subscribed before anything can end it, so it sees the encoder's first
    // frame or its failure.
    auto output = wire(id);
    pump_ = std::jthread([this] { pump(); });
    started_.notify_all();
    return output;
}

std::optional<AsyncStream<Bytes>> SharedStream::subscribe() {
    std::uint64_t id;
    {
        std::unique_lock lock(mutex_);
        started_.wait(lock, [this] { return state_ != State::starting; });
        if (openFailure_) std::rethrow_exception(openFailure_);
        if (state_ != State::running) return std::nullopt;
        id = enlist();
    }
    auto output = wire(id);
    encoder_.requestRefresh();
    return output;
}

std::uint64_t SharedStream::enlist() {
    const std::uint64_t id = nextID_++;
    // Its own join asks for a key frame, so the gap counts from now.
    subscribers_.push_back(Subscriber{id, {}, true, Clock::now(), false});
    return id;
}

AsyncStream<Bytes> SharedStream::wire(std::uint64_t id) {
    AsyncStream<Bytes> output;
    // From here the subscriber's stream owns its share and leaves when it goes.
    const auto& subscription =
        output.adopt(std::unique_ptr<Subscription>(new Subscription{shared_from_this(), id}));
    output.onRefresh([this, id] { refresh(id); });
    // A consumer that cancels leaves at once, even while it still holds the stream. (A stream
    // finished by the pump ends with this object, which leaves nothing to do.)
    output.onTermination([this, id](StreamTermination how) {
        if (how == StreamTermination::cancelled) leave(id);
    });
    std::lock_guard lock(mutex_);
    const auto found = std::ranges::find(subscribers_, id, &Subscriber::id);
    if (found != subscribers_.end()) {
        found->output = output.producerEnd(&subscription);
        // The encoder ended while this one was being wired: it ends the same way.
        if (state_ == State::ended) found->output.finish(endError_);
    }
    return output;
}

SharedStream::State SharedStream::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::size_t SharedStream::subscribers() const {
    std::lock_guard lock(mutex_);
    return subscribers_.size();
}

void SharedStream::pump() {
    setCurrentThreadName("tavrel.fan-out");
    for (;;) {
        std::optional<Bytes> unit;
        std::exception_ptr error;
        try {
            unit = encoder_.next();
        } catch (...) {
            error = std::current_exception();
        }
        if (!unit) return end(error);
        deliver(std::move(*unit));
    }
}

bool SharedStream::mayRequestKey(Subscriber& subscriber, Clock::time_point now) {
    if (subscriber.lastKeyRequest && now - *subscriber.lastKeyRequest < limits_.keyFrameGap) {
        subscriber.keyRequestOwed = true;
        return false;
    }
    subscriber.lastKeyRequest = now;
    subscriber.keyRequestOwed = false;
    return true;
}

void SharedStream::deliver(Bytes unit) {
    const bool key = AnnexB::isKeyFrame(unit);
    const auto now = Clock::now();
    bool requestKey = false;
    bool stop = false;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::running) return;
        const auto hand = [&](Subscriber& subscriber) {
            // Not yet wired to its stream (it is being subscribed); its key frame is on the way.
            if (!subscriber.output.valid()) return true;
            if (subscriber.keyRequestOwed) requestKey |= mayRequestKey(subscriber, now);
            if (subscriber.waitingForKey && !key) return true;
            if (subscriber.output.buffered() >= limits_.bufferedUnits) {
                // Its reader is stuck: what waits is stale, and the next key frame replaces it.
                subscriber.waitingForKey = true;
                requestKey |= mayRequestKey(subscriber, now);
                return true;
            }
            subscriber.waitingForKey = false;
            // A stream that refuses it was cancelled by its consumer: it has left.
            return subscriber.output.yield(unit);
        };
        // Each unit starts with the next subscriber, so no reader is always woken last.
        const std::size_t count = subscribers_.size();
        std::vector<bool> staying(count, true);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = (rotation_ + i) % count;
            staying[at] = hand(subscribers_[at]);
        }
        rotation_ = count > 0 ? (rotation_ + 1) % count : 0;
        std::size_t index = 0;
        std::erase_if(subscribers_, [&](const Subscriber&) { return !staying[index++]; });
        if (subscribers_.empty()) stop = lastLeft();
    }
    if (stop) {
        encoder_.cancel();
    } else if (requestKey) {
        encoder_.requestRefresh();
    }
}

void SharedStream::end(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    state_ = State::ended;
    endError_ = error;
    // A subscriber stream lives while it is listed (its subscription unlists it under this lock
    // before it goes), so it is finished with the lock held.
    for (auto& subscriber : subscribers_) subscriber.output.finish(error);
}

void SharedStream::leave(std::uint64_t id) {
    bool stop = false;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(subscribers_, [id](const Subscriber& s) { return s.id == id; });
        if (subscribers_.empty()) stop = lastLeft();
    }
    if (stop) encoder_.cancel();
}

void SharedStream::refresh(std::uint64_t id) {
    bool request = false;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::running) return;
        const auto found = std::ranges::find(subscribers_, id, &Subscriber::id);
        if (found != subscribers_.end()) request = mayRequestKey(*found, Clock::now());
    }
    if (request) encoder_.requestRefresh();
}

bool SharedStream::lastLeft() {
    if (state_ != State::running) return false;
    state_ = State::stopping;
    return true;
}

}  // namespace tavrel
