#include "tavrel-client/ClientSocket.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel::client {
namespace {

std::string errorText(int error) {
    return std::generic_category().message(error);
}

}  // namespace

ClientSocket::ClientSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw HelperFailure("a socket path is at most " +
                                std::to_string(sizeof address.sun_path - 1) + " bytes: " + path,
                            400);
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor_ < 0) throw HelperFailure("cannot make a socket: " + errorText(errno), 502);
    if (::connect(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(descriptor_);
        descriptor_ = -1;
        throw HelperFailure("cannot connect to " + path + ": " + errorText(error), 503);
    }
}

ClientSocket::~ClientSocket() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

void ClientSocket::close() {
    if (descriptor_ < 0) return;
    ::shutdown(descriptor_, SHUT_RDWR);
    ::close(descriptor_);
    descriptor_ = -1;
    ended_ = true;
}

std::uint32_t ClientSocket::request(const std::string& json) {
    if (descriptor_ < 0) throw HelperFailure("the connection is closed", 409);
    const std::uint32_t id = nextId_++;
    const Bytes bytes =
        Wire::encode(Frame{FrameKind::request, id, Bytes(json.begin(), json.end()), {}});
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count =
            ::send(descriptor_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) throw HelperFailure("cannot send a request: " + errorText(errno), 502);
        done += static_cast<std::size_t>(count);
    }
    return id;
}

std::optional<Frame> ClientSocket::next(std::uint32_t id, Clock::time_point deadline) {
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        while (!pending_.empty()) {
            Frame frame = std::move(pending_.front());
            pending_.pop_front();
            if (frame.id == id) return frame;
        }
        if (ended_) return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) throw HelperFailure("the helper did not answer in time", 504);
        pollfd waiting{descriptor_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw HelperFailure("cannot wait for the helper: " + errorText(errno), 502);
        if (ready == 0) continue;
        const ssize_t count = ::recv(descriptor_, buffer.data(), buffer.size(), 0);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno != ECONNRESET) {
            throw HelperFailure("cannot read from the helper: " + errorText(errno), 502);
        }
        if (count <= 0) {
            ended_ = true;
            continue;
        }
        try {
            for (auto& frame :
                 decoder_.push(std::span(buffer.data(), static_cast<std::size_t>(count)))) {
                pending_.push_back(std::move(frame));
            }
        } catch (const WireError& error) {
            throw HelperFailure("the helper sent bytes that are not frames: " + error.description(),
                                502);
        }
    }
}

Frame ClientSocket::answer(std::uint32_t id, Clock::time_point deadline) {
    for (;;) {
        auto frame = next(id, deadline);
        if (!frame) throw HelperFailure("the helper closed the connection before answering", 502);
        if (frame->kind == FrameKind::failure) throwFailure(*frame);
        if (frame->kind == FrameKind::reply) return std::move(*frame);
    }
}

void throwFailure(const Frame& frame) {
    const auto json = nlohmann::json::parse(frame.json.begin(), frame.json.end(), nullptr, false);
    if (json.is_object() && json.contains("message") && json["message"].is_string() &&
        json.contains("status") && json["status"].is_number_integer()) {
        throw HelperFailure(json["message"].get<std::string>(), json["status"].get<int>());
    }
    throw HelperFailure("the helper sent a failure that is not one: " +
                            std::string(frame.json.begin(), frame.json.end()),
                        502);
}

}  // namespace tavrel::client
