#include "HelperCore/Server/Connection.hpp"

#include <exception>
#include <string>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Server/Router.hpp"

namespace tavrel {

std::shared_ptr<Connection> Connection::make(std::shared_ptr<FrameSink> sink, Router& router,
                                             Log log, TaskPool& pool, Limits limits) {
    return std::shared_ptr<Connection>(
        new Connection(std::move(sink), router, std::move(log), pool, std::move(limits)));
}

Connection::Connection(std::shared_ptr<FrameSink> sink, Router& router, Log log, TaskPool& pool,
                       Limits limits)
    : sink_(std::move(sink)),
      router_(router),
      log_(std::move(log)),
      pool_(pool),
      limits_(std::move(limits)),
      writer_(sink_, limits_.unsentBytes),
      strand_([this](std::function<void()> job) { onPool(std::move(job)); }) {}

void Connection::received(std::span<const std::uint8_t> bytes) {
    std::vector<Frame> frames;
    try {
        frames = decoder_.push(bytes);
    } catch (const WireError& error) {
        log_.warning([&] {
            return std::string("closing a connection that sent what is not frames: ") +
                   error.what();
        });
        return readEnded();
    } catch (const std::exception& error) {
        // A socket that failed is kept by the writer and ends the connection; anything else
        // (no memory for the frame) would go unseen.
        if (writer_.state() != FrameWriter::State::open) return;
        log_.warning([&] { return std::string("closing a connection: ") + error.what(); });
        return readEnded();
    }
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::reading && state_ != State::ending) return;
        for (auto& frame : frames) {
            if (frame.kind == FrameKind::request) waiting_.push_back(std::move(frame));
        }
    }
    pump(true);
}

void Connection::readEnded() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::reading) return;
        // Requests that came before the end are still answered, then the rest is cancelled.
        state_ = State::ending;
    }
    pump(true);
    updateInterest();
}

void Connection::writable() {
    writer_.flush();
    if (writer_.unsent() <= limits_.unsentBytes) pump(true);
    updateInterest();
}

void Connection::pump(bool onLoop) {
    // One look due is enough: it sees every frame cut before it begins.
    if (lookDue_.exchange(true)) return;
    strand_.dispatch([self = shared_from_this(), onLoop](Strand::Where where) {
        self->lookDue_ = false;
        self->lookAtWaiting(onLoop && where == Strand::Where::caller);
    });
}

bool Connection::takeNext(Frame& frame) {
    bool drain = false;
    bool finished = false;
    std::size_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        // A client that can no longer be written to never sees an answer: what it asked for is
        // not worked on, and the answers under way are cancelled.
        const bool open = state_ == State::reading || state_ == State::ending;
        if (open && writer_.state() != FrameWriter::State::open) {
            dropped = waiting_.size();
            waiting_.clear();
            state_ = State::ending;
        }
        if (open && !waiting_.empty() && answers_ < limits_.answers &&
            writer_.unsent() <= limits_.unsentBytes) {
            frame = std::move(waiting_.front());
            waiting_.pop_front();
            return true;
        }
        if (state_ == State::ending && waiting_.empty()) {
            state_ = State::draining;
            drain = true;
            finished = answers_ == 0;
        }
    }
    if (dropped > 0) {
        log_.debug([&] {
            return "leaving " + std::to_string(dropped) +
                   " requests unanswered: the client can no longer be written to";
        });
    }
    if (drain) stop_.request_stop();
    if (finished) sink_->finished();
    return false;
}

void Connection::lookAtWaiting(bool onLoop) {
    Frame frame;
    while (takeNext(frame)) {
        if (onLoop && frame.json.size() > limits_.decodeOnLoop) {
            const std::uint32_t id = frame.id;
            try {
                continueOnPool([frame = std::move(frame)](Connection& self) mutable {
                    self.look(std::move(frame), false);
                });
                return;
            } catch (...) {
                refuse(id, "decoding it");
            }
        } else if (!look(std::move(frame), onLoop)) {
            return;
        }
    }
    updateInterest();
}

bool Connection::look(Frame frame, bool onLoop) {
    const Router::Send send = [this](const Frame& out) { return this->send(out); };
    const std::uint32_t id = frame.id;
    std::optional<Request> request;
    try {
        request = Request::decode(frame.json);
    } catch (...) {
        sendFailure(id, HelperFailure::fromCurrentException());
    }
    const bool large = frame.json.size() > limits_.largeRequest;
    frame = Frame{};
    if (large && limits_.afterLargeRequest) limits_.afterLargeRequest();
    if (!request) return true;

    if (!request->inOrder()) {
        if (!router_.answerAtOnce(id, *request, send)) answerAlongside(id, std::move(*request));
    } else if (onLoop) {
        // The strand goes with the answer to the pool: nothing after it is looked at until it is
        // done, and the event loop serves the other clients meanwhile.
        try {
            continueOnPool([id, request = std::move(*request)](Connection& self) {
                const Router::Send send = [&self](const Frame& out) { return self.send(out); };
                self.router_.answer(id, request, send, self.stop_.get_token());
            });
            return false;
        } catch (...) {
            refuse(id, "an answer");
        }
    } else {
        router_.answer(id, *request, send, stop_.get_token());
    }
    return true;
}

void Connection::continueOnPool(std::function<void(Connection&)> work) {
    {
        std::lock_guard lock(mutex_);
        ++answers_;
    }
    try {
        strand_.continueOnPool([self = shared_from_this(), work = std::move(work)](Strand::Where) {
            work(*self);
            self->lookAtWaiting(false);
            self->answerDone();
        });
    } catch (...) {
        std::lock_guard lock(mutex_);
        --answers_;
        throw;
    }
}

void Connection::answerAlongside(std::uint32_t id, Request request) {
    {
        std::lock_guard lock(mutex_);
        ++answers_;
    }
    try {
        onPool([self = shared_from_this(), id, request = std::move(request)] {
            const Router::Send send = [&self](const Frame& frame) { return self->send(frame); };
            self->router_.answer(id, request, send, self->stop_.get_token());
            self->answerDone();
            self->pump(false);
        });
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            --answers_;
        }
        refuse(id, "an answer");
    }
}

void Connection::onPool(std::function<void()> job) {
    const std::error_code refused = pool_.run(std::move(job));
    // Once per shortage, not once per request of a client that keeps asking.
    if (threadsRefused_.exchange(static_cast<bool>(refused)) || !refused) return;
    log_.warning([&] {
        return "no thread for an answer, it waits for a busy worker: " + refused.message();
    });
}

void Connection::answerDone() {
    bool finished;
    {
        std::lock_guard lock(mutex_);
        --answers_;
        finished = (state_ == State::draining || state_ == State::closed) && answers_ == 0;
    }
    idle_.notify_all();
    updateInterest();
    if (finished) sink_->finished();
}

// Out of threads or memory: this one request is refused, the connection and the helper go on.
void Connection::refuse(std::uint32_t id, const std::string& what) {
    const HelperFailure failure = HelperFailure::fromCurrentException();
    log_.warning(
        [&] { return "refusing a request, no resources for " + what + ": " + failure.message(); });
    sendFailure(id, failure);
}

void Connection::sendFailure(std::uint32_t id, const HelperFailure& failure) {
    try {
        const std::string json = JSON::encode(failure);
        send(Frame{FrameKind::failure, id, Bytes(json.begin(), json.end()), {}});
    } catch (const std::exception& error) {
        // A socket that failed is kept by the writer and ends the connection; anything else
        // (no memory for the frame) would go unseen.
        if (writer_.state() != FrameWriter::State::open) return;
        log_.warning([&] {
            return "the failure of request " + std::to_string(id) +
                   " could not be sent: " + error.what();
        });
    }
}

bool Connection::send(const Frame& frame) {
    const bool sent = writer_.send(frame);
    if (writer_.unsent() > 0) updateInterest();
    return sent;
}

bool Connection::wantsRead() const {
    std::lock_guard lock(mutex_);
    return state_ == State::reading && waiting_.empty() && answers_ < limits_.answers &&
           writer_.unsent() <= limits_.unsentBytes;
}

void Connection::updateInterest() {
    std::lock_guard lock(interestMutex_);
    sink_->setInterest(wantsRead(), wantsWrite());
}

bool Connection::isFinished() const {
    std::lock_guard lock(mutex_);
    return (state_ == State::draining || state_ == State::closed) && answers_ == 0 &&
           (writer_.unsent() == 0 || writer_.state() != FrameWriter::State::open);
}

void Connection::close() {
    {
        std::lock_guard lock(mutex_);
        state_ = State::closed;
        waiting_.clear();
    }
    stop_.request_stop();
    writer_.close();
}

void Connection::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return answers_ == 0; });
}

Connection::State Connection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace tavrel
