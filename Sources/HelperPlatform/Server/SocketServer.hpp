#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Concurrency/TaskPool.hpp"
#include "HelperCore/Server/Connection.hpp"
#include "HelperCore/Server/Device.hpp"
#include "HelperCore/Server/Router.hpp"
#include "HelperPlatform/Server/UnixSocket.hpp"

namespace tavrel {

/// The listening side of a server: one listener, one shared router, and one `Connection` per
/// accepted socket. Every socket's reading, writing and accepting runs on one event loop
/// thread ("tavrel.socket", epoll); answers run on the task pool. Threads therefore stay flat
/// however many clients connect: a client costs a descriptor and its buffers, and a thread only
/// while one of its requests is being answered.
///
/// Lifecycle: `created` (listening, nothing accepted yet), `running` after `start`, `stopped`
/// after `stop`; `closeListener` ends the accepting only.
///
/// Threads: construct, `start`, `closeListener` and `stop` from one thread (the main queue);
/// the counters from any. The destructor stops.
class SocketServer {
  public:
    enum class State { created, running, stopped };

    /// Listens at once; throws the listener's `HelperFailure`. `replay` is the screen's last
    /// seconds when the helper keeps them.
    SocketServer(const std::string& path, Device& device, Log log,
                 TaskPool& pool = TaskPool::shared(), Connection::Limits limits = {},
                 std::shared_ptr<ReplayRing> replay = nullptr);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    const std::string& path() const { return listener_.path(); }
    Router& router() { return router_; }

    /// Starts the event loop; throws `HelperFailure` 502 when it cannot.
    void start();

    /// Stops accepting and removes the socket file if it is still ours; connections carry on.
    void closeListener();

    /// Also ends every connection (answers are cancelled and waited for, sockets closed).
    void stop();

    /// Connections open now.
    std::size_t activeConnections() const { return active_.load(); }

  private:
    class Client;
    struct Mailbox;
    struct Served {
        std::shared_ptr<Client> client;
        std::shared_ptr<Connection> connection;
    };

    void loop();
    void acceptAll();
    void admit(int descriptor);
    void serve(std::uint64_t key, std::uint32_t events);
    void closeIfFinished(std::uint64_t key);
    // Runs `command` on the loop thread.
    void post(std::function<void()> command);
    void runCommands();

    UnixSocketListener listener_;
    Router router_;
    Log log_;
    TaskPool& pool_;
    Connection::Limits limits_;
    std::shared_ptr<Mailbox> mailbox_;
    int epoll_ = -1;

    std::mutex mutex_;  // guards `state_` and `listening_`
    State state_ = State::created;
    bool listening_ = true;

    // The loop thread's own.
    std::map<std::uint64_t, Served> clients_;
    std::uint64_t nextKey_ = 2;  // 0: the listener, 1: the wake-up
    std::optional<std::chrono::steady_clock::time_point> acceptPausedUntil_;
    bool stopping_ = false;
    std::vector<std::uint8_t> readBuffer_;

    std::atomic<std::size_t> active_{0};
    std::thread thread_;
};

}  // namespace tavrel
