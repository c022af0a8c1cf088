#include "tavrel-client/View/ViewHelper.hpp"

#include <chrono>
#include <optional>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientSocket.hpp"

namespace tavrel::client {
namespace {

using Clock = ClientSocket::Clock;
using namespace std::chrono_literals;

// How long a blocking read waits before looking at the stop token again: the longest a
// viewer's going away can hold up the thread that lets it go.
constexpr auto slice = 100ms;

// The next frame for `id`, or none when `stop` was asked for first. Throws what the socket
// throws, and 504 once `deadline` passes.
std::optional<Frame> nextFrame(ClientSocket& socket, std::uint32_t id, Clock::time_point deadline,
                               std::stop_token stop, const std::atomic<bool>* restart = nullptr) {
    while (!stop.stop_requested() && !(restart && restart->load())) {
        const auto now = Clock::now();
        if (now >= deadline) throw HelperFailure("the helper did not answer in time", 504);
        try {
            auto frame = socket.next(id, std::min(deadline, now + slice));
            if (!frame) throw HelperFailure("the helper closed the connection", 502);
            return frame;
        } catch (const HelperFailure& failure) {
            if (failure.status() != 504) throw;
        }
    }
    return std::nullopt;
}

}  // namespace

StreamPump::StreamPump(std::string socket, std::string request, OnChunk onChunk,
                       OnTrouble onTrouble)
    : socket_(std::move(socket)),
      request_(std::move(request)),
      onChunk_(std::move(onChunk)),
      onTrouble_(std::move(onTrouble)),
      thread_([this](std::stop_token stop) { run(stop); }) {}

StreamPump::~StreamPump() = default;

void StreamPump::run(std::stop_token stop) {
    std::mutex lock;
    std::condition_variable_any never;
    while (!stop.stop_requested()) {
        try {
            ClientSocket socket(socket_);
            const auto id = socket.request(request_);
            restart_ = false;
            for (;;) {
                auto frame = nextFrame(socket, id, Clock::time_point::max(), stop, &restart_);
                if (!frame) break;
                if (frame->kind == FrameKind::failure) throwFailure(*frame);
                if (frame->kind == FrameKind::reply) {
                    throw HelperFailure("the helper ended the stream", 502);
                }
                if (frame->kind == FrameKind::chunk) onChunk_(std::move(frame->blob), Clock::now());
            }
            // Leaving the connection is what ends a stream in the helper.
            continue;
        } catch (const HelperFailure& failure) {
            onTrouble_(failure.message());
        }
        std::unique_lock guard(lock);
        never.wait_for(guard, stop, 1s, [] { return false; });
    }
}

RequestLane::RequestLane(std::string socket, double timeoutS, std::size_t capacity,
                         OnAnswer onAnswer)
    : socket_(std::move(socket)),
      timeoutS_(timeoutS),
      capacity_(capacity),
      onAnswer_(std::move(onAnswer)),
      thread_([this](std::stop_token stop) { run(stop); }) {}

RequestLane::~RequestLane() = default;

bool RequestLane::submit(std::uint64_t tag, std::string json) {
    {
        std::lock_guard guard(lock_);
        if (waiting_.size() >= capacity_) return false;
        waiting_.emplace_back(tag, std::move(json));
    }
    ready_.notify_one();
    return true;
}

void RequestLane::run(std::stop_token stop) {
    std::optional<ClientSocket> socket;
    for (;;) {
        std::pair<std::uint64_t, std::string> next;
        {
            std::unique_lock guard(lock_);
            if (!ready_.wait(guard, stop, [this] { return !waiting_.empty(); })) return;
            next = std::move(waiting_.front());
            waiting_.pop_front();
        }
        Answer answer;
        answer.tag = next.first;
        try {
            if (!socket) socket.emplace(socket_);
            const auto id = socket->request(next.second);
            answer.written = Clock::now();
            const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(timeoutS_));
            for (;;) {
                auto frame = nextFrame(*socket, id, deadline, stop);
                if (!frame) return;
                if (frame->kind == FrameKind::failure) throwFailure(*frame);
                if (frame->kind != FrameKind::reply) continue;
                answer.ok = true;
                answer.replied = Clock::now();
                answer.json.assign(frame->json.begin(), frame->json.end());
                break;
            }
        } catch (const HelperFailure& failure) {
            answer.message = failure.message();
            answer.status = failure.status();
            // A connection that failed or timed out may be in any state: start afresh.
            if (failure.status() == 502 || failure.status() == 503 || failure.status() == 504) {
                socket.reset();
            }
        }
        onAnswer_(std::move(answer));
    }
}

}  // namespace tavrel::client
