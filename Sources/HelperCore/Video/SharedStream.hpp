#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Concurrency/AsyncStream.hpp"

namespace tavrel {

/// One encoder's access units fanned out to every subscriber that watches the same picture with
/// the same settings. Each subscriber has a stream of its own: it starts at a key frame (asked of
/// the encoder when it joins, so the others see an extra one), and one that falls behind is left
/// out until the next key frame, which it may ask for. The encoder stops when the last subscriber
/// leaves; an encoder that fails ends every subscriber with its failure.
///
/// The encoder is an `AsyncStream<Bytes>` of access units whose refresh asks for a key frame and
/// whose cancel stops it. A pump thread of this object drains it. Subscriber streams own a share
/// of this object, so it is destroyed (encoder stopped, pump joined) on the thread that lets go
/// of the last subscriber stream, never on the pump.
///
/// Threads: every operation may be called from any thread; one mutex guards the state and is
/// held only while handing values to subscriber streams, never while calling the encoder.
class SharedStream : public std::enable_shared_from_this<SharedStream> {
  public:
    using Clock = std::chrono::steady_clock;
    /// Opens the encoder; throws when it cannot.
    using Open = std::function<AsyncStream<Bytes>()>;

    struct Limits {
        /// Units a subscriber may have waiting before it is left out until a key frame.
        std::size_t bufferedUnits = 64;
        /// One subscriber adds at most one key frame per this gap to what everyone receives.
        Clock::duration keyFrameGap = std::chrono::seconds(1);
    };

    // starting: the first subscriber is opening the encoder; running: the pump hands out units;
    // stopping: the last subscriber left, the encoder is being stopped; ended: the encoder ended
    // (or never opened), no subscriber is served any more.
    enum class State { starting, running, stopping, ended };

    explicit SharedStream(Limits limits);
    /// Stops the encoder and joins the pump.
    ~SharedStream();
    SharedStream(const SharedStream&) = delete;
    SharedStream& operator=(const SharedStream&) = delete;

    /// Opens the encoder, subscribes its opener and starts the pump; once, by whoever made this
    /// object. Throws the opening's failure, which every `subscribe` waiting for it throws too.
    AsyncStream<Bytes> start(const Open& open);

    /// A new subscriber's stream, starting at a key frame; nothing when this stream has stopped
    /// or ended (the caller makes a new one). Waits while the encoder is being opened; throws
    /// the failure when opening it failed.
    std::optional<AsyncStream<Bytes>> subscribe();

    State state() const;
    std::size_t subscribers() const;

  private:
    struct Subscriber {
        std::uint64_t id = 0;
        AsyncStream<Bytes>::Producer output;
        // Joined or left out: nothing is handed out but a key frame.
        bool waitingForKey = true;
        std::optional<Clock::time_point> lastKeyRequest;
        // A key frame request held back by the gap, made with a later unit.
        bool keyRequestOwed = false;
    };
    // Owned by one subscriber stream: its share of this object, and its leaving.
    struct Subscription;

    // With the lock held: lists a new subscriber, waiting for a key frame; returns its id.
    std::uint64_t enlist();
    // Its stream, owning a share of this object.
    AsyncStream<Bytes> wire(std::uint64_t id);
    void pump();
    void deliver(Bytes unit);
    void end(std::exception_ptr error);
    void leave(std::uint64_t id);
    void refresh(std::uint64_t id);
    // With the lock held: whether the subscriber may ask for a key frame now (and notes it).
    bool mayRequestKey(Subscriber& subscriber, Clock::time_point now);
    // With the lock held: the last subscriber is gone; true when the caller must stop the
    // encoder (after releasing the lock).
    bool lastLeft();

    const Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable started_;
    State state_ = State::starting;
    std::exception_ptr openFailure_;
    // How the encoder ended, for a subscriber wired after it did.
    std::exception_ptr endError_;
    std::vector<Subscriber> subscribers_;
    std::uint64_t nextID_ = 1;
    // Who is handed the next unit first.
    std::size_t rotation_ = 0;
    // Set by `start`, read by the pump and by whoever stops the encoder.
    AsyncStream<Bytes> encoder_;
    // Last: joined first, while what it uses still exists.
    std::jthread pump_;
};

}  // namespace tavrel
