#include "SimulatedPlatform/Runtime/XPC/XPCService.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "SimulatedPlatform/Runtime/XPC/XPCObjects.hpp"

namespace tavrel::xpc {

namespace {

struct PortTable {
    std::mutex lock;
    std::map<uint32_t, std::string> names;
    uint32_t next = 0x1103;  // any non-zero start; ports look like send-right names
};

PortTable& ports() {
    static PortTable table;
    return table;
}

std::atomic<uint64_t> serviceCounter{0};

}  // namespace

uint32_t registerServicePort(const std::string& socketName) {
    auto& table = ports();
    std::lock_guard guard(table.lock);
    for (auto& [port, name] : table.names) {
        if (name == socketName) return port;
    }
    auto port = table.next;
    table.next += 4;
    table.names[port] = socketName;
    return port;
}

std::optional<std::string> servicePortName(uint32_t port) {
    auto& table = ports();
    std::lock_guard guard(table.lock);
    auto it = table.names.find(port);
    if (it == table.names.end()) return std::nullopt;
    return it->second;
}

struct ServiceListener::State {
    Handler handler;
    std::string socketName;
    uint32_t port = 0;
    int listenFd = -1;
    int stopFd = -1;
    std::thread acceptor;
    std::mutex lock;
    std::vector<int> peers;
    std::vector<std::thread> peerThreads;
    bool stopping = false;

    void accepting() {
        for (;;) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard guard(lock);
            if (stopping) {
                ::close(fd);
                return;
            }
            peers.push_back(fd);
            peerThreads.emplace_back([this, fd] { serving(fd); });
        }
    }

    void serving(int fd) {
        std::vector<uint8_t> body;
        while (readFrame(fd, body)) {
            auto frame = decodeFrame(body.data(), body.size());
            if (!frame) break;  // a peer that speaks nonsense is dropped
            if (frame->kind == FrameKind::message) {
                XPCRef message(frame->message);
                try {
                    handler(message.get());
                } catch (...) {
                    // A failing handler loses that message, never the service.
                }
            } else if (frame->kind == FrameKind::barrier) {
                if (!writeFrame(fd, encodeFrame(FrameKind::barrierDone, nullptr, frame->barrier)))
                    break;
            }
        }
        ::shutdown(fd, SHUT_RDWR);
    }
};

ServiceListener::ServiceListener(Handler handler) : state_(std::make_shared<State>()) {
    state_->handler = std::move(handler);
    state_->socketName = "tavrel-xpc-" + std::to_string(::getpid()) + "-" +
                         std::to_string(serviceCounter.fetch_add(1));
    state_->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    state_->stopFd = ::eventfd(0, EFD_CLOEXEC);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, state_->socketName.data(), state_->socketName.size());
    auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + state_->socketName.size());
    if (state_->listenFd < 0 || state_->stopFd < 0 ||
        ::bind(state_->listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(state_->listenFd, 16) != 0) {
        auto reason = std::string(std::strerror(errno));
        if (state_->listenFd >= 0) ::close(state_->listenFd);
        if (state_->stopFd >= 0) ::close(state_->stopFd);
        throw std::runtime_error("cannot listen for a simulator service: " + reason);
    }
    state_->port = registerServicePort(state_->socketName);
    state_->acceptor = std::thread([state = state_.get()] { state->accepting(); });
}

ServiceListener::~ServiceListener() {
    uint64_t one = 1;
    (void)!::write(state_->stopFd, &one, sizeof one);
    state_->acceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(state_->lock);
        state_->stopping = true;
        for (int fd : state_->peers) ::shutdown(fd, SHUT_RDWR);
        threads.swap(state_->peerThreads);
    }
    for (auto& thread : threads) thread.join();
    for (int fd : state_->peers) ::close(fd);
    ::close(state_->listenFd);
    ::close(state_->stopFd);
}

const std::string& ServiceListener::socketName() const {
    return state_->socketName;
}
uint32_t ServiceListener::port() const {
    return state_->port;
}

}  // namespace tavrel::xpc
