#include "HelperPlatform/Server/SocketServer.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <future>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"
#include "HelperPlatform/Server/FreedMemory.hpp"

namespace tavrel {
namespace {

constexpr std::uint64_t listenerKey = 0;
constexpr std::uint64_t wakeKey = 1;
constexpr std::size_t readSize = 65536;
// Out of descriptors: accepting waits this long for connections to end instead of spinning.
constexpr auto acceptPause = std::chrono::milliseconds(50);

void watch(int epoll, int operation, int descriptor, std::uint32_t events, std::uint64_t key) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (::epoll_ctl(epoll, operation, descriptor, &event) != 0) {
        throw HelperFailure("cannot watch a socket: " + systemErrorText(errno), 502);
    }
}

}  // namespace

/// Commands for the loop thread. Shared with the clients, whose answers may still report in
/// after the server is gone: their commands are then never run.
struct SocketServer::Mailbox {
    std::mutex mutex;  // guards `commands`
    std::vector<std::function<void()>> commands;
    int wake = -1;  // an eventfd

    ~Mailbox() {
        if (wake >= 0) ::close(wake);
    }
    void post(std::function<void()> command) {
        {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(command));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
    }
    std::vector<std::function<void()>> take() {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(wake, &count, sizeof count);
        std::vector<std::function<void()>> taken;
        std::lock_guard lock(mutex);
        taken.swap(commands);
        return taken;
    }
};

/// One accepted socket as its connection writes to it. The descriptor is closed by the loop
/// only once the connection's writer is closed, so no write can reach a reused number.
class SocketServer::Client : public FrameSink {
  public:
    Client(int descriptor, int epoll, std::uint64_t key, std::function<void()> finished)
        : descriptor_(descriptor), epoll_(epoll), key_(key), finished_(std::move(finished)) {}
    ~Client() override { close(); }

    int descriptor() const { return descriptor_; }

    std::size_t writeSome(std::span<const std::uint8_t> bytes) override {
        for (;;) {
            const ssize_t count =
                ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (count >= 0) return static_cast<std::size_t>(count);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            throw HelperFailure("writing the socket: " + systemErrorText(errno), 502);
        }
    }

    void setInterest(bool read, bool write) override {
        const std::uint32_t events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
        std::lock_guard lock(mutex_);
        if (state_ != State::watched || events == events_) return;
        epoll_event event{};
        event.events = events;
        event.data.u64 = key_;
        if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, descriptor_, &event) == 0) events_ = events;
    }

    void finished() override { finished_(); }

    /// The peer hung up: level-triggered, it would wake the loop until the connection ends.
    void unwatch() {
        std::lock_guard lock(mutex_);
        if (state_ != State::watched) return;
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, descriptor_, nullptr);
        state_ = State::unwatched;
    }

    void close() {
        std::lock_guard lock(mutex_);
        if (state_ == State::closed) return;
        if (state_ == State::watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, descriptor_, nullptr);
        ::close(descriptor_);
        state_ = State::closed;
    }

  private:
    enum class State { watched, unwatched, closed };

    const int descriptor_;
    const int epoll_;
    const std::uint64_t key_;
    const std::function<void()> finished_;
    std::mutex mutex_;  // guards `state_` and `events_`
    State state_ = State::watched;
    std::uint32_t events_ = EPOLLIN;
};

SocketServer::SocketServer(const std::string& path, Device& device, Log log, TaskPool& pool,
                           Connection::Limits limits, std::shared_ptr<ReplayRing> replay)
    : listener_(path),
      router_(device, nullptr, std::move(replay)),
      log_(std::move(log)),
      pool_(pool),
      limits_(std::move(limits)),
      mailbox_(std::make_shared<Mailbox>()),
      readBuffer_(readSize) {
    // A large request's parse tree is freed, but glibc keeps the pages unless asked.
    if (!limits_.afterLargeRequest) limits_.afterLargeRequest = FreedMemory::giveBack;
    mailbox_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    try {
        if (epoll_ < 0 || mailbox_->wake < 0) {
            throw HelperFailure("cannot watch sockets: " + systemErrorText(errno), 502);
        }
        watch(epoll_, EPOLL_CTL_ADD, listener_.descriptor(), EPOLLIN, listenerKey);
        watch(epoll_, EPOLL_CTL_ADD, mailbox_->wake, EPOLLIN, wakeKey);
    } catch (...) {
        if (epoll_ >= 0) ::close(epoll_);
        throw;
    }
}

SocketServer::~SocketServer() {
    stop();
    ::close(epoll_);
}

void SocketServer::start() {
    std::lock_guard lock(mutex_);
    if (state_ != State::created) return;
    try {
        thread_ = std::thread([this] {
            setCurrentThreadName("tavrel.socket");
            loop();
        });
    } catch (const std::exception& error) {
        throw HelperFailure(std::string("cannot start serving: ") + error.what(), 502);
    }
    state_ = State::running;
}

void SocketServer::post(std::function<void()> command) {
    mailbox_->post(std::move(command));
}

void SocketServer::runCommands() {
    for (auto& command : mailbox_->take()) command();
}

void SocketServer::closeListener() {
    bool running;
    {
        std::lock_guard lock(mutex_);
        if (!listening_) return;
        listening_ = false;
        running = state_ == State::running;
    }
    if (running) {
        // The loop may be looking at the listener; it lets go of it itself.
        std::promise<void> done;
        post([this, &done] {
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_.descriptor(), nullptr);
            done.set_value();
        });
        done.get_future().wait();
    } else {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_.descriptor(), nullptr);
    }
    listener_.close();
}

void SocketServer::stop() {
    closeListener();
    bool running;
    {
        std::lock_guard lock(mutex_);
        running = state_ == State::running;
        state_ = State::stopped;
    }
    if (running) {
        post([this] { stopping_ = true; });
        thread_.join();
    }
    // The loop is gone: the clients are this thread's now.
    for (auto& [key, served] : clients_) served.connection->close();
    for (auto& [key, served] : clients_) {
        served.connection->waitUntilIdle();
        served.client->close();
    }
    clients_.clear();
    active_.store(0);
}

void SocketServer::loop() {
    epoll_event events[64];
    while (!stopping_) {
        int timeout = -1;
        if (acceptPausedUntil_) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= *acceptPausedUntil_) {
                acceptPausedUntil_.reset();
                bool listening;
                {
                    std::lock_guard lock(mutex_);
                    listening = listening_;
                }
                if (listening) {
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.u64 = listenerKey;
                    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_.descriptor(), &event);
                }
            } else {
                timeout = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(*acceptPausedUntil_ - now)
                        .count());
            }
        }
        const int count = ::epoll_wait(epoll_, events, 64, timeout);
        if (count < 0 && errno != EINTR) {
            log_.error("the server's event loop failed: " + systemErrorText(errno));
            return;
        }
        for (int i = 0; i < count; ++i) {
            const std::uint64_t key = events[i].data.u64;
            if (key == listenerKey) {
                acceptAll();
            } else if (key == wakeKey) {
                runCommands();
            } else {
                serve(key, events[i].events);
            }
        }
    }
}

void SocketServer::acceptAll() {
    {
        std::lock_guard lock(mutex_);
        if (!listening_) return;
    }
    for (int taken = 0; taken < 64; ++taken) {
        std::optional<int> descriptor;
        try {
            descriptor = listener_.acceptOne();
        } catch (const HelperFailure& failure) {
            log_.warning("not accepting for a moment: " + failure.message());
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_.descriptor(), nullptr);
            acceptPausedUntil_ = std::chrono::steady_clock::now() + acceptPause;
            return;
        }
        if (!descriptor) return;
        admit(*descriptor);
    }
}

void SocketServer::admit(int descriptor) {
    const std::uint64_t key = nextKey_++;
    try {
        auto client =
            std::make_shared<Client>(descriptor, epoll_, key, [this, mailbox = mailbox_, key] {
                mailbox->post([this, key] { closeIfFinished(key); });
            });
        auto connection = Connection::make(client, router_, log_, pool_, limits_);
        clients_.emplace(key, Served{client, std::move(connection)});
        try {
            watch(epoll_, EPOLL_CTL_ADD, descriptor, EPOLLIN, key);
        } catch (...) {
            clients_.erase(key);  // the client closes the descriptor
            throw;
        }
    } catch (const std::exception& error) {
        // Out of memory or descriptors for this one: the others are served on.
        log_.warning(std::string("refusing a connection: ") + error.what());
        if (!clients_.contains(key)) ::close(descriptor);
        return;
    }
    active_.fetch_add(1);
}

void SocketServer::serve(std::uint64_t key, std::uint32_t events) {
    const auto found = clients_.find(key);
    if (found == clients_.end()) return;  // closed earlier in this round
    Client& client = *found->second.client;
    Connection& connection = *found->second.connection;
    if (events & EPOLLOUT) connection.writable();
    if (events & EPOLLIN) {
        for (;;) {
            const ssize_t count = ::read(client.descriptor(), readBuffer_.data(), readSize);
            if (count > 0) {
                connection.received(std::span(readBuffer_.data(), static_cast<std::size_t>(count)));
            } else if (count == 0) {
                connection.readEnded();
            } else if (errno == EINTR) {
                continue;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                connection.readEnded();
            }
            break;
        }
    } else if (events & (EPOLLHUP | EPOLLERR)) {
        connection.readEnded();
        client.unwatch();
        connection.writable();  // fails the writer, so nothing waits on a peer that is gone
    }
    closeIfFinished(key);
}

void SocketServer::closeIfFinished(std::uint64_t key) {
    const auto found = clients_.find(key);
    if (found == clients_.end() || !found->second.connection->isFinished()) return;
    found->second.connection->close();
    found->second.client->close();
    clients_.erase(found);
    active_.fetch_sub(1);
}

}  // namespace tavrel
