#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "SimulatedPlatform/Runtime/XPC/XPCObjects.hpp"
#include "SimulatedPlatform/Runtime/XPC/XPCService.hpp"

using namespace tavrel::xpc;

namespace {

struct Connection : xpc_object_s {
    explicit Connection(std::string socketName)
        : xpc_object_s(xpc_type_t::connection), socketName(std::move(socketName)) {}

    ~Connection() override {
        cancel();
        if (reader.joinable()) {
            // Released for the last time by its own reading thread, which is on its way out.
            if (reader.get_id() == std::this_thread::get_id())
                reader.detach();
            else
                reader.join();
        }
        if (fd >= 0) ::close(fd);
    }

    const std::string socketName;
    std::mutex lock;  // guards everything below
    std::mutex writeLock;
    xpc_handler_t handler;
    bool sim2host = false;
    bool resumed = false;
    bool connected = false;
    bool cancelled = false;
    int fd = -1;
    std::vector<std::vector<uint8_t>> waiting;  // frames sent before the socket connected
    std::map<uint64_t, std::function<void()>> barriers;
    uint64_t nextBarrier = 1;
    std::thread reader;

    void send(std::vector<uint8_t> frame) {
        std::unique_lock guard(lock);
        if (cancelled) return;
        if (!connected) {
            waiting.push_back(std::move(frame));
            return;
        }
        int socket = fd;
        std::lock_guard writing(writeLock);
        guard.unlock();
        writeFrame(socket, frame);  // a failure shows as the reader's end of stream
    }

    void cancel() {
        std::lock_guard guard(lock);
        if (cancelled) return;
        cancelled = true;
        barriers.clear();
        waiting.clear();
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }

    void deliver(xpc_object_t event) {
        xpc_handler_t copy;
        {
            std::lock_guard guard(lock);
            copy = handler;
        }
        if (copy) copy(event);
    }

    bool connect() {
        int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket < 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, socketName.data(),
                    std::min(socketName.size(), sizeof address.sun_path - 1));
        auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                   std::min(socketName.size(), sizeof address.sun_path - 1));
        if (::connect(socket, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            ::close(socket);
            return false;
        }
        std::vector<std::vector<uint8_t>> queued;
        {
            std::lock_guard guard(lock);
            if (cancelled) {
                ::close(socket);
                return false;
            }
            fd = socket;
            std::lock_guard writing(writeLock);
            for (auto& frame : waiting) writeFrame(fd, frame);
            waiting.clear();
            connected = true;
        }
        return true;
    }

    // The reading thread: connects, then runs barriers and hands the peer's messages to the
    // event handler until the connection ends. It holds a reference, so an active connection
    // lives until it is cancelled or its peer goes away.
    void reading(bool allowed) {
        if (allowed && connect()) {
            std::vector<uint8_t> body;
            while (readFrame(fd, body)) {
                auto frame = decodeFrame(body.data(), body.size());
                if (!frame) break;
                if (frame->kind == FrameKind::message) {
                    XPCRef message(frame->message);
                    deliver(message.get());
                } else if (frame->kind == FrameKind::barrierDone) {
                    std::function<void()> barrier;
                    {
                        std::lock_guard guard(lock);
                        auto it = barriers.find(frame->barrier);
                        if (it == barriers.end()) continue;
                        barrier = std::move(it->second);
                        barriers.erase(it);
                    }
                    barrier();
                }
            }
        }
        {
            std::lock_guard guard(lock);
            cancelled = true;
            barriers.clear();
            waiting.clear();
        }
        deliver(XPC_ERROR_CONNECTION_INVALID);
        xpc_release(this);
    }
};

Connection* connection(xpc_object_t object) {
    return object != nullptr && object->type == xpc_type_t::connection
               ? static_cast<Connection*>(object)
               : nullptr;
}

}  // namespace

void xpc_connection_set_event_handler(xpc_connection_t object, xpc_handler_t handler) {
    if (auto* c = connection(object)) {
        std::lock_guard guard(c->lock);
        c->handler = std::move(handler);
    }
}

void xpc_connection_resume(xpc_connection_t object) {
    auto* c = connection(object);
    if (c == nullptr) return;
    std::lock_guard guard(c->lock);
    if (c->resumed || c->cancelled) return;
    c->resumed = true;
    xpc_retain(c);
    c->reader = std::thread([c, allowed = c->sim2host] { c->reading(allowed); });
}

void xpc_connection_cancel(xpc_connection_t object) {
    if (auto* c = connection(object)) c->cancel();
}

void xpc_connection_send_message(xpc_connection_t object, xpc_object_t message) {
    auto* c = connection(object);
    if (c == nullptr || xpc_get_type(message) != xpc_type_t::dictionary) return;
    auto frame = encodeFrame(FrameKind::message, message);
    if (frame.size() - 4 > maximumFrame) return;  // the peer would drop the connection
    c->send(std::move(frame));
}

void xpc_connection_send_barrier(xpc_connection_t object, std::function<void()> barrier) {
    auto* c = connection(object);
    if (c == nullptr || !barrier) return;
    uint64_t number;
    {
        std::lock_guard guard(c->lock);
        if (c->cancelled) return;
        number = c->nextBarrier++;
        c->barriers[number] = std::move(barrier);
    }
    c->send(encodeFrame(FrameKind::barrier, nullptr, number));
}

extern "C" xpc_endpoint_t xpc_endpoint_create_mach_port_4sim(uint32_t port) {
    auto name = servicePortName(port);
    return name ? new Endpoint(*name) : nullptr;
}

extern "C" xpc_connection_t xpc_connection_create_from_endpoint(xpc_endpoint_t endpoint) {
    if (xpc_get_type(endpoint) != xpc_type_t::endpoint) return nullptr;
    return new Connection(static_cast<Endpoint*>(endpoint)->socketName);
}

extern "C" void xpc_connection_enable_sim2host_4sim(xpc_connection_t object) {
    if (auto* c = connection(object)) {
        std::lock_guard guard(c->lock);
        c->sim2host = true;
    }
}
