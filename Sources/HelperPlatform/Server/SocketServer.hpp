#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Concurrency/TaskGroup.hpp"
#include "HelperCore/Server/Device.hpp"
#include "HelperCore/Server/Router.hpp"
#include "HelperPlatform/Server/UnixSocket.hpp"

namespace tavrel {

/// The listening side of a server: one listener, one shared router, and one connection task
/// per accepted socket. The accept thread only starts the task.
///
/// Threads: construct, `start`, `closeListener` and `stop` from one thread (the main queue);
/// the counters from any. The destructor stops.
class SocketServer {
  public:
    /// Listens at once; throws the listener's `HelperFailure`.
    SocketServer(const std::string& path, Device& device, Log log,
                 TaskPool& pool = TaskPool::shared());
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    const std::string& path() const { return listener_.path(); }
    Router& router() { return router_; }

    /// Starts accepting connections.
    void start();

    /// Stops accepting and removes the socket file; connections carry on.
    void closeListener();

    /// Also ends every connection (their channels are closed under them) and waits for them.
    void stop();

    /// Connection tasks running now.
    std::size_t activeConnections() const { return connections_.active(); }

  private:
    UnixSocketListener listener_;
    Router router_;
    Log log_;
    TaskPool& pool_;
    std::mutex mutex_;  // guards `channels_`
    std::vector<std::weak_ptr<ByteChannel>> channels_;
    TaskGroup connections_;
};

}  // namespace tavrel
