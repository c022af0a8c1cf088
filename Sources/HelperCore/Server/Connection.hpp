#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Concurrency/Strand.hpp"
#include "HelperCore/Concurrency/TaskPool.hpp"
#include "HelperCore/Server/FrameWriter.hpp"
#include "HelperCore/Server/Requests.hpp"
#include "HelperCore/Server/Wire.hpp"

namespace tavrel {

class Router;

/// What one client may make the helper spend.
struct ConnectionLimits {
    /// Requests of one connection answered at once.
    std::size_t answers = 16;
    /// Unsent bytes beyond which stream chunks are left out and reading waits.
    std::size_t unsentBytes = std::size_t{4} << 20;
    /// A request whose JSON part is larger than this is decoded on the pool: parsing it on the
    /// event loop would hold up every other client.
    std::size_t decodeOnLoop = std::size_t{64} << 10;
    /// A request whose JSON part is larger than this is followed by `afterLargeRequest`.
    std::size_t largeRequest = std::size_t{1} << 20;
    /// Gives memory back to the system (the platform's allocator trim); may be empty.
    std::function<void()> afterLargeRequest;
};

/// Serves one client for as long as it stays connected. The event loop hands it the bytes that
/// arrive; it cuts frames, decodes requests and has the router answer them on the task pool,
/// every frame back going through its one `FrameWriter`. What needs no waiting (a refusal, a
/// `describe` the device can answer at once) is answered on the event loop itself: handing it
/// to a worker would cost more than the answer. `hid` and `hello` are answered one at
/// a time in the client's order, and no later frame is looked at until each is done (inputs
/// are injected strictly in order, a hello holds back what follows it); every other request is
/// answered alongside, its frames interleaving with other answers (clients match them by id).
///
/// Back-pressure rather than threads: with `Limits::answers` requests being answered, or more
/// than `Limits::unsentBytes` waiting to be written, the frames already cut wait and the
/// connection asks not to be read (`FrameSink::setInterest`) until some finish or drain.
///
/// Frames are looked at on a `Strand`: on the event loop when nothing else looks at them, on a
/// pool worker otherwise; an in-order answer takes the strand with it to the pool.
///
/// Lifecycle: `reading` until the client closes, sends what is not frames or can no longer be
/// written to; then `ending` while the requests already cut are looked at (or left, when nothing
/// can reach the client); then `draining` (answers are cancelled and finish, their last frames
/// still go out), then `closed` once the owner calls `close` after `FrameSink::finished`.
///
/// Threads: `received`, `readEnded` and `writable` from the event loop, one at a time; answers
/// run on the pool; the rest from any thread.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    enum class State { reading, ending, draining, closed };

    using Limits = ConnectionLimits;

    static std::shared_ptr<Connection> make(std::shared_ptr<FrameSink> sink, Router& router,
                                            Log log, TaskPool& pool = TaskPool::shared(),
                                            Limits limits = {});
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Bytes from the client. Bytes that are not frames log the warning "closing a connection
    /// that sent what is not frames: {error}" and end the reading.
    void received(std::span<const std::uint8_t> bytes);
    /// The client closed its end, or reading failed: answers in progress are cancelled.
    void readEnded();
    /// The socket has room again.
    void writable();

    /// No answer runs and nothing waits to be written (or can be): the socket may be closed.
    bool isFinished() const;
    /// Closes the writer; later sends of lingering answers fail. Call once finished, or to end
    /// the connection under its answers (a stopping server), then `waitUntilIdle`.
    void close();
    /// Waits until no answer runs.
    void waitUntilIdle();

    bool wantsRead() const;
    bool wantsWrite() const { return writer_.unsent() > 0; }
    State state() const;
    const FrameWriter& writer() const { return writer_; }

  private:
    Connection(std::shared_ptr<FrameSink> sink, Router& router, Log log, TaskPool& pool,
               Limits limits);

    // Has the strand look at the waiting frames, unless a look is already due; `onLoop` when
    // called on the event loop.
    void pump(bool onLoop);
    // With the strand: looks at frames until none may be taken. `onLoop` hands what may take long
    // (an in-order answer, a large decode) to the pool instead of doing it on the event loop.
    void lookAtWaiting(bool onLoop);
    bool takeNext(Frame& frame);
    // Decodes one frame and answers or dispatches it, with the strand; false when the strand has
    // gone to the pool with its answer.
    bool look(Frame frame, bool onLoop);
    // With the strand: runs `work`, then the rest of the look, on the pool, counted as an answer.
    // Throws when no worker can take it.
    void continueOnPool(std::function<void(Connection&)> work);
    void answerAlongside(std::uint32_t id, Request request);
    // Runs a job on the pool, warning when the system refused it a thread; throws when none at
    // all can run it.
    void onPool(std::function<void()> job);
    void answerDone();
    void refuse(std::uint32_t id, const std::string& what);
    // A frame that cannot even be made is logged instead.
    void sendFailure(std::uint32_t id, const HelperFailure& failure);
    bool send(const Frame& frame);
    void updateInterest();

    const std::shared_ptr<FrameSink> sink_;
    Router& router_;
    const Log log_;
    TaskPool& pool_;
    const Limits limits_;
    FrameWriter writer_;
    FrameDecoder decoder_;  // the event loop's only
    std::stop_source stop_;

    mutable std::mutex mutex_;  // guards the fields below
    std::condition_variable idle_;
    State state_ = State::reading;
    std::deque<Frame> waiting_;  // cut, not yet looked at
    std::size_t answers_ = 0;    // running on the pool, in order or alongside

    std::mutex interestMutex_;                 // keeps interest updates from overtaking each other
    std::atomic<bool> threadsRefused_{false};  // the last job handed to the pool got no thread
    std::atomic<bool> lookDue_{false};         // a look is on the strand and has not begun
    Strand strand_;
};

}  // namespace tavrel
