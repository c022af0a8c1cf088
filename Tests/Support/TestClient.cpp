#include "Support/TestClient.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace tavrel::testing {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::generic_category().message(errno));
}

}  // namespace

TestClient::TestClient(const std::string& path, Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("path too long: " + path);
    std::memcpy(address.sun_path, path.data(), path.size());
    for (;;) {
        descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (descriptor_ < 0) fail("socket");
        if (::connect(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0) {
            return;
        }
        const int error = errno;
        ::close(descriptor_);
        descriptor_ = -1;
        if (Clock::now() >= deadline) {
            errno = error;
            fail("cannot connect to " + path);
        }
        std::this_thread::sleep_for(Milliseconds(10));
    }
}

TestClient::~TestClient() {
    close();
}

void TestClient::close() {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
}

void TestClient::sendRaw(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count =
            ::send(descriptor_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) fail("send");
        done += static_cast<std::size_t>(count);
    }
}

void TestClient::send(const Frame& frame) {
    sendRaw(Wire::encode(frame));
}

void TestClient::request(std::uint32_t id, const std::string& json) {
    send(Frame{FrameKind::request, id, Bytes(json.begin(), json.end()), {}});
}

std::optional<Frame> TestClient::readFrame(Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::uint8_t buffer[65536];
    while (pending_.empty()) {
        if (ended_) return std::nullopt;
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) throw std::runtime_error("no frame within the time limit");
        pollfd waiting{descriptor_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) fail("poll");
        if (ready == 0) continue;
        const ssize_t count = ::recv(descriptor_, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno != ECONNRESET) fail("recv");
        if (count <= 0) {
            ended_ = true;
            if (decoder_.buffered() != 0) throw std::runtime_error("the server cut a frame short");
            continue;
        }
        for (auto& frame : decoder_.push(std::span(buffer, static_cast<std::size_t>(count)))) {
            pending_.push_back(std::move(frame));
        }
    }
    Frame frame = std::move(pending_.front());
    pending_.pop_front();
    return frame;
}

TestClient::Answer TestClient::ask(std::uint32_t id, const std::string& json,
                                   Milliseconds timeout) {
    request(id, json);
    return awaitAnswer(id, timeout);
}

TestClient::Answer TestClient::awaitAnswer(std::uint32_t id, Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    Answer answer;
    std::deque<Frame> others;
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        auto frame = readFrame(std::max(left, Milliseconds(1)));
        if (!frame) throw std::runtime_error("the server closed before answering");
        if (frame->id != id) {
            others.push_back(std::move(*frame));
            continue;
        }
        if (frame->kind == FrameKind::chunk) {
            answer.chunks.push_back(std::move(*frame));
            continue;
        }
        answer.final = std::move(*frame);
        break;
    }
    // Frames of other requests go back in front, in the order they came.
    pending_.insert(pending_.begin(), others.begin(), others.end());
    return answer;
}

bool TestClient::waitForClose(Milliseconds timeout) {
    try {
        while (readFrame(timeout)) {
        }
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

}  // namespace tavrel::testing
