// The serving side of simulator services, and the per-process table of their "Mach ports".
//
// A service listens on an abstract Unix socket (no file to clean up). Its port is a number
// registered in this process's table; xpc_endpoint_create_mach_port_4sim turns the number
// back into the socket name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "SimulatedPlatform/Runtime/XPC/XPC.hpp"

namespace tavrel::xpc {

// The port naming `socketName` (the same number for the same name; never 0).
uint32_t registerServicePort(const std::string& socketName);
std::optional<std::string> servicePortName(uint32_t port);

// Accepts connections and hands every message to `handler`: the messages of one peer in
// order, on a thread of that peer; a barrier is answered once the messages before it have
// been handled. The destructor stops accepting, drops the peers and joins every thread.
class ServiceListener {
  public:
    using Handler = std::function<void(xpc_object_t message)>;

    // Throws std::runtime_error when the socket cannot be made.
    explicit ServiceListener(Handler handler);
    ~ServiceListener();
    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;

    const std::string& socketName() const;
    uint32_t port() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tavrel::xpc
