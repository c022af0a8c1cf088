#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <utility>

namespace tavrel {

/// How a stream ended: its producer finished it (normally or with an error), or its consumer
/// cancelled it (gave up, or its task was cancelled while waiting).
enum class StreamTermination { finished, cancelled };

/// An unbounded, thread-safe sequence of values from a producer to a consumer, the shape of a
/// live stream's access units. Copies are handles to the same stream.
///
/// Producer side (any thread): `yield` appends a value, `finish` ends the sequence, with an
/// error or without. Consumer side (one task at a time): `next` waits for the next value,
/// `cancel` gives up. Values yielded before `finish` are still delivered; the error, if any, is
/// thrown by the `next` after the last value. A cancelled stream drops its buffered values and
/// refuses new ones, which tells the producer to stop.
///
/// The termination handler runs exactly once, when the stream first ends in either way (or, if
/// it never did, when the last handle goes away, as `cancelled`). It runs on the thread that
/// ended the stream, without any lock held; it must not hold a handle to its own stream.
///
/// A stream may own its producer (`adopt`): the producer then writes through a `Producer` end,
/// which does not keep the stream alive, and lives exactly as long as the stream. Its handlers
/// may capture the producer itself, since the stream destroys it only after the last of them.
template <class T>
class AsyncStream {
    struct State;

  public:
    /// The producer's end of a stream that owns its producer: `yield` and `finish` without a
    /// handle. Valid while that producer lives, which the stream guarantees by outliving it.
    class Producer {
      public:
        Producer() = default;
        bool yield(T value) const { return state_ != nullptr && put(*state_, std::move(value)); }
        void finish(std::exception_ptr error = nullptr) const {
            if (state_ != nullptr) end(*state_, StreamTermination::finished, std::move(error));
        }
        /// Values yielded and not yet taken by the consumer.
        std::size_t buffered() const {
            if (state_ == nullptr) return 0;
            std::lock_guard lock(state_->mutex);
            return state_->values.size();
        }
        /// Whether this is a stream's end rather than a default-made one.
        bool valid() const { return state_ != nullptr; }

      private:
        friend class AsyncStream;
        explicit Producer(State* state) : state_(state) {}
        State* state_ = nullptr;
    };

    AsyncStream() : state_(std::make_shared<State>()) {}

    /// Appends a value. Returns false, dropping it, once the stream is finished or cancelled.
    bool yield(T value) const { return put(*state_, std::move(value)); }

    /// Ends the sequence; `error` (when given) is thrown to the consumer after the buffered
    /// values. Later calls, and calls after a cancel, do nothing.
    void finish(std::exception_ptr error = nullptr) const {
        end(*state_, StreamTermination::finished, std::move(error));
    }

    /// Consumer gives up: buffered values are dropped and the producer's next `yield` fails.
    void cancel() const { end(*state_, StreamTermination::cancelled, nullptr); }

    /// Makes `producer` the stream's own. It is destroyed with the stream: when the last handle
    /// goes, after the termination handler has run, on that thread. A producer that holds only
    /// a `Producer` end (never a handle) is thus destroyed on its consumer's thread, never on
    /// one of its own. Once per stream; returns the producer.
    template <class P>
    P& adopt(std::unique_ptr<P> producer) const {
        P& adopted = *producer;
        std::lock_guard lock(state_->mutex);
        if (state_->owned) throw std::logic_error("a stream owns one producer");
        state_->owned =
            Owned(producer.release(), [](void* owned) { delete static_cast<P*>(owned); });
        return adopted;
    }

    /// The producer's end, for the producer this stream owns (`adopt`); throws
    /// std::logic_error when `producer` is not that one.
    Producer producerEnd(const void* producer) const {
        std::lock_guard lock(state_->mutex);
        if (!state_->owned || state_->owned.get() != producer)
            throw std::logic_error("a stream's producer end is for the producer it owns");
        return Producer(state_.get());
    }

    /// The next value; none at the end of the sequence, after a cancel, or when `stop` is
    /// requested (which cancels the stream). Waits while the stream is empty and open. Throws the
    /// producer's error once, after the last buffered value.
    std::optional<T> next(std::stop_token stop = {}) const {
        std::optional<T> value;
        bool stopped = false;
        {
            std::unique_lock lock(state_->mutex);
            const auto ready = [this] { return !state_->values.empty() || state_->ended; };
            if (!state_->changed.wait(lock, stop, ready) || stop.stop_requested()) {
                stopped = true;
            } else if (!state_->values.empty()) {
                value = std::move(state_->values.front());
                state_->values.pop_front();
                return value;
            } else if (state_->error) {
                std::rethrow_exception(std::exchange(state_->error, nullptr));
            }
        }
        if (stopped) cancel();
        return value;
    }

    /// Sets the termination handler; if the stream has already ended, runs it at once here.
    void onTermination(std::function<void(StreamTermination)> handler) const {
        std::optional<StreamTermination> already;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->handlerRan) return;
            if (state_->ended) {
                state_->handlerRan = true;
                already = state_->termination;
            } else {
                state_->handler = std::move(handler);
                return;
            }
        }
        handler(*already);
    }

    /// Consumer asks for a value that stands on its own (a live stream: a key frame), having
    /// left some out. Runs the refresh handler, if any, on this thread without a lock held.
    void requestRefresh() const {
        std::function<void()> handler;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->ended) return;
            handler = state_->refresh;
        }
        if (handler) handler();
    }

    /// Sets what `requestRefresh` runs; it must not hold a handle to its own stream.
    void onRefresh(std::function<void()> handler) const {
        std::lock_guard lock(state_->mutex);
        state_->refresh = std::move(handler);
    }

    bool isEnded() const {
        std::lock_guard lock(state_->mutex);
        return state_->ended;
    }

    std::size_t buffered() const {
        std::lock_guard lock(state_->mutex);
        return state_->values.size();
    }

  private:
    using Owned = std::unique_ptr<void, void (*)(void*)>;

    struct State {
        std::mutex mutex;
        std::condition_variable_any changed;
        std::deque<T> values;
        bool ended = false;
        StreamTermination termination = StreamTermination::finished;
        std::exception_ptr error;
        std::function<void(StreamTermination)> handler;
        bool handlerRan = false;
        std::function<void()> refresh;
        Owned owned{nullptr, [](void*) {}};

        ~State() {
            // The last handle is gone: the stream ends as cancelled if it has not ended, so the
            // producer's `Producer` end meets an ended stream from here on.
            end(*this, StreamTermination::cancelled, nullptr);
            // Before the members it may still be writing into.
            owned.reset();
        }
    };

    static bool put(State& state, T value) {
        {
            std::lock_guard lock(state.mutex);
            if (state.ended) return false;
            state.values.push_back(std::move(value));
        }
        state.changed.notify_all();
        return true;
    }

    static void end(State& state, StreamTermination how, std::exception_ptr error) {
        std::function<void(StreamTermination)> handler;
        std::deque<T> dropped;  // destroyed outside the lock
        std::function<void()> refresh;
        {
            std::lock_guard lock(state.mutex);
            if (state.ended) return;
            state.ended = true;
            state.termination = how;
            state.error = std::move(error);
            if (how == StreamTermination::cancelled) dropped.swap(state.values);
            refresh = std::move(state.refresh);
            if (state.handler) {
                handler = std::move(state.handler);
                state.handler = nullptr;
                state.handlerRan = true;
            }
        }
        state.changed.notify_all();
        if (handler) handler(how);
    }

    std::shared_ptr<State> state_;
};

}  // namespace tavrel
