#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Concurrency/TaskPool.hpp"
#include "HelperPlatform/Server/SocketServer.hpp"
#include "Support/ScriptedDevice.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/TestClient.hpp"
#include "Support/ThreadCensus.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedDevice;
using testing::TemporaryDirectory;
using testing::TestClient;
namespace fs = std::filesystem;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int requestsPerClient = 200;  // sanitizers make every hop many times slower
#else
constexpr int requestsPerClient = 1000;
#endif

std::size_t entries(const char* directory) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        (void)entry;
        ++count;
    }
    return count;
}

const std::vector<Bytes> streamBuffers = {Bytes(3000, 0x65), Bytes{0, 0, 0, 1, 0x41, 9}};

// Sends `count` requests in batches (a describe, and every 50th a stream) and checks every
// answer: one final frame per id, chunks exact and before it.
void converse(const std::string& socket, int count, std::atomic<int>& failures) {
    const std::string screen = JSON::encode(ScreenGeometry::of(1179, 2556, 3));
    TestClient client(socket);
    constexpr int batch = 50;
    for (int start = 0; start < count; start += batch) {
        std::set<std::uint32_t> open;
        for (int i = start; i < start + batch && i < count; ++i) {
            const bool stream = i % 50 == 25;
            client.request(
                i, stream ? R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2,"bitrate":100000})"
                          : R"({"op":"describe"})");
            open.insert(i);
        }
        std::map<std::uint32_t, std::size_t> chunks;
        while (!open.empty()) {
            auto frame = client.readFrame(30s);
            if (!frame) {
                ++failures;
                return;
            }
            const bool stream = frame->id % 50 == 25;
            if (!open.count(frame->id)) {
                ++failures;
                continue;
            }
            if (frame->kind == FrameKind::chunk) {
                if (!stream || chunks[frame->id] >= streamBuffers.size() ||
                    frame->blob != streamBuffers[chunks[frame->id]]) {
                    ++failures;
                }
                ++chunks[frame->id];
                continue;
            }
            const std::string json(frame->json.begin(), frame->json.end());
            const bool good = frame->kind == FrameKind::reply &&
                              (stream ? json == "{}" && chunks[frame->id] == streamBuffers.size()
                                      : json == screen);
            if (!good) ++failures;
            open.erase(frame->id);
        }
    }
}

struct Server {
    TemporaryDirectory directory;
    ScriptedDevice device;
    SocketServer server{directory.file("s"), device, Log(Log::Level::error)};

    Server() {
        device.setStream(streamBuffers);
        server.start();
    }
    bool waitForNoConnections() {
        return testing::waitUntil([&] { return server.activeConnections() == 0; });
    }
};

TEST(SocketServer, SixtyFourClientsOfAThousandRequestsEachAllAnsweredAndNothingLeaks) {
    Server served;
    TaskPool::shared().trim();
    const auto descriptorsBefore = entries("/proc/self/fd");
    // The socket thread names itself once running.
    ASSERT_TRUE(testing::waitUntil([] { return testing::threadsNamed("tavrel.socket") == 1; }));
    const auto threadsBefore = testing::threadsNamed("tavrel.");

    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 64; ++c) {
        clients.emplace_back([&] {
            try {
                converse(served.server.path(), requestsPerClient, failures);
            } catch (const std::exception& error) {
                ADD_FAILURE() << error.what();
            }
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(served.device.calls(ScriptedDevice::Operation::screen),
              64 * requestsPerClient * 49 / 50);

    ASSERT_TRUE(served.waitForNoConnections());
    // A connection counts as gone a moment before its worker is idle again and can be trimmed.
    testing::waitUntil([&] {
        TaskPool::shared().trim();
        return testing::threadsNamed("tavrel.") == threadsBefore;
    });
    EXPECT_EQ(entries("/proc/self/fd"), descriptorsBefore);
    EXPECT_EQ(testing::threadsNamed("tavrel."), threadsBefore) << [] {
        std::string names;
        for (const auto& name : testing::threadNames()) names += name + " ";
        return names;
    }();
}

TEST(SocketServer, MisbehavingClientsNeverDisturbTheOthers) {
    Server served;
    served.device.setStream(streamBuffers, 1ms, nullptr, /*endless=*/true);
    const std::string socket = served.server.path();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < 8; ++c) {
        threads.emplace_back([&] {
            const std::string screen = JSON::encode(ScreenGeometry::of(1179, 2556, 3));
            TestClient client(socket);
            for (int i = 0; i < 200; ++i) {
                if (client.ask(i, R"({"op":"describe"})").json() != screen) ++failures;
            }
        });
    }
    threads.emplace_back([&] {  // starts a stream, reads a little, vanishes
        for (int round = 0; round < 10; ++round) {
            TestClient client(socket);
            client.request(1, R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2,"bitrate":1})");
            client.readFrame();
        }
    });
    threads.emplace_back([&] {  // a length field above 64 MiB: cut off without a reply
        TestClient client(socket);
        client.sendRaw(Bytes{0x04, 0x00, 0x00, 0x01, 1, 0, 0, 0, 1});
        if (!client.waitForClose(5s)) ++failures;
    });
    threads.emplace_back([&] {  // garbage, and half a frame before leaving
        for (int round = 0; round < 10; ++round) {
            TestClient client(socket);
            client.sendRaw(
                Bytes{0, 0, 0, 20, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9});
            TestClient half(socket);
            half.sendRaw(Bytes{0, 0, 0, 40, 1, 0});
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(served.waitForNoConnections());
    testing::waitUntil([&] { return served.device.liveStreams() == 0; });
    EXPECT_EQ(served.device.liveStreams(), 0) << "every vanished client's stream was cancelled";
}

}  // namespace
}  // namespace tavrel
