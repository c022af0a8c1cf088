// Round trips of `describe` over a Unix socket through the whole serving stack (event loop,
// frame decoder, request decoding, connection, router, frame writer) against a bare echo server
// of one thread per client on the same kind of socket: the difference is what the serving layers
// cost per request. Load on the machine moves both; run with
// --benchmark_enable_random_interleaving=true so that they share it.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Server/Wire.hpp"
#include "HelperPlatform/Server/SocketServer.hpp"
#include "ServingAllocator.hpp"

namespace tavrel {
namespace {

constexpr int roundTripsPerClient = 200;

// Answers `describe` and nothing else.
class StillDevice : public Device {
  public:
    std::optional<std::string> coreSimulator() const override { return "1165.1"; }
    ScreenGeometry screen() override { return ScreenGeometry::of(1179, 2556, 3); }
    // As the simulator's device does once it has read the size.
    std::optional<ScreenGeometry> screenAtOnce() override { return screen(); }
    JPEG screenshot(const ScreenshotRequest&) override { throw unavailable(); }
    AXNode tree() override { throw unavailable(); }
    std::shared_ptr<InputDriver> input() override { throw unavailable(); }
    AsyncStream<Bytes> stream(const StreamSettings&) override { throw unavailable(); }
    void waitUntilWarm() override {}
    std::optional<std::string> source() const override { return "benchmark"; }

  private:
    static HelperFailure unavailable() { return HelperFailure("not in this benchmark", 409); }
};

std::string socketPath(const char* name) {
    return "/tmp/tavrel-bench-" + std::to_string(::getpid()) + "-" + name;
}

int connectTo(const std::string& path) {
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect to " + path);
    }
    return descriptor;
}

void writeAll(int descriptor, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t count = ::send(descriptor, bytes, size, MSG_NOSIGNAL);
        if (count <= 0) throw std::runtime_error("write failed");
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
}

// Reads one whole frame and returns its size.
std::size_t readFrame(int descriptor) {
    std::uint8_t buffer[4096];
    std::size_t have = 0;
    std::size_t want = 4;
    while (have < want) {
        const ssize_t count = ::read(descriptor, buffer + have, sizeof buffer - have);
        if (count <= 0) throw std::runtime_error("read failed");
        have += static_cast<std::size_t>(count);
        if (want == 4 && have >= 4) {
            want = 4 + ((std::size_t{buffer[0]} << 24) | (buffer[1] << 16) | (buffer[2] << 8) |
                        buffer[3]);
        }
    }
    return have;
}

// Writes back whatever each client sends, one thread per client.
class EchoServer {
  public:
    explicit EchoServer(std::string path) : path_(std::move(path)) {
        ::unlink(path_.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.data(), path_.size());
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 8) != 0) {
            throw std::runtime_error("echo server cannot listen");
        }
        acceptor_ = std::thread([this] {
            for (;;) {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) return;
                echoes_.emplace_back([client] {
                    std::uint8_t buffer[65536];
                    for (;;) {
                        const ssize_t count = ::read(client, buffer, sizeof buffer);
                        if (count <= 0) break;
                        try {
                            writeAll(client, buffer, static_cast<std::size_t>(count));
                        } catch (...) {
                            break;
                        }
                    }
                    ::close(client);
                });
            }
        });
    }
    ~EchoServer() {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (auto& echo : echoes_) echo.join();
        ::close(listener_);
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int listener_ = -1;
    std::thread acceptor_;
    std::vector<std::thread> echoes_;
};

// Each client does its round trips one after another; all clients run at once.
void roundTrips(benchmark::State& state, const std::string& path) {
    const int clients = static_cast<int>(state.range(0));
    const std::string request = R"({"op":"describe"})";
    const Bytes frame =
        Wire::encode(Frame{FrameKind::request, 1, Bytes(request.begin(), request.end()), {}});
    std::vector<int> descriptors;
    for (int c = 0; c < clients; ++c) descriptors.push_back(connectTo(path));
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int descriptor : descriptors) {
            threads.emplace_back([&, descriptor] {
                for (int i = 0; i < roundTripsPerClient; ++i) {
                    writeAll(descriptor, frame.data(), frame.size());
                    readFrame(descriptor);
                }
            });
        }
        for (auto& thread : threads) thread.join();
    }
    for (int descriptor : descriptors) ::close(descriptor);
    state.SetItemsProcessed(state.iterations() * clients * roundTripsPerClient);
}

void BM_HelperDescribe(benchmark::State& state) {
    StillDevice device;
    SocketServer server(socketPath("helper"), device, Log(Log::Level::error));
    server.start();
    roundTrips(state, server.path());
}

void BM_EchoRoundTrip(benchmark::State& state) {
    EchoServer server(socketPath("echo"));
    roundTrips(state, server.path());
}

BENCHMARK(BM_HelperDescribe)
    ->Arg(1)
    ->Arg(8)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_EchoRoundTrip)
    ->Arg(1)
    ->Arg(8)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace tavrel
