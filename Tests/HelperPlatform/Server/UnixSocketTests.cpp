#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Server/UnixSocket.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/TestClient.hpp"
#include "Support/ThreadCensus.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::TemporaryDirectory;
using testing::TestClient;

// Collects accepted channels from the accept thread.
struct Accepted {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::shared_ptr<ByteChannel>> channels;

    UnixSocketListener::Handler handler() {
        return [this](std::shared_ptr<ByteChannel> channel) {
            std::lock_guard lock(mutex);
            channels.push_back(std::move(channel));
            arrived.notify_all();
        };
    }
    std::shared_ptr<ByteChannel> wait(std::size_t index) {
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, 5s, [&] { return channels.size() > index; })) return nullptr;
        return channels[index];
    }
};

TEST(UnixSocketListener, PathLimitStaleFilesModeAndRemovalOnClose) {
    TemporaryDirectory directory;
    const std::string base = directory.path().string() + "/";
    const std::string longest = base + std::string(103 - base.size(), 's');
    ASSERT_EQ(longest.size(), 103u);
    {
        std::ofstream(longest) << "left over from an earlier run";
        UnixSocketListener listener(longest);
        struct stat info {};
        ASSERT_EQ(::stat(longest.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        listener.close();
        EXPECT_FALSE(std::filesystem::exists(longest));
        listener.close();  // harmless
        EXPECT_THROW(TestClient(longest, 50ms), std::runtime_error) << "nothing listens any more";
    }
    const std::string tooLong = longest + "s";
    try {
        UnixSocketListener listener(tooLong);
        FAIL() << "a 104-byte path was accepted";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 400);
        EXPECT_EQ(failure.message(),
                  "the socket path " + tooLong + " is longer than a socket's 103 bytes");
    }
    const std::string unbindable = base + "missing/helper.sock";
    try {
        UnixSocketListener listener(unbindable);
        FAIL() << "bound in a directory that does not exist";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 502);
        EXPECT_EQ(failure.message(),
                  "cannot listen on " + unbindable + ": No such file or directory");
    }
}

TEST(SocketChannel, ReadsEndOfStreamAndFailsWritesToAVanishedPeerWithoutSignals) {
    TemporaryDirectory directory;
    UnixSocketListener listener(directory.file("s"));
    Accepted accepted;
    listener.accept(accepted.handler());
    {
        TestClient client(listener.path());
        client.sendRaw(Bytes{1, 2, 3});
    }
    auto channel = accepted.wait(0);
    ASSERT_TRUE(channel);
    EXPECT_EQ(channel->read(), (Bytes{1, 2, 3}));
    EXPECT_EQ(channel->read(), std::nullopt);
    // SIGPIPE is not ignored in this process: the write must report, not kill.
    const Bytes big(1 << 20, 7);
    try {
        channel->write(big);
        channel->write(big);
        FAIL() << "writing to a closed peer succeeded";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 502);
        EXPECT_EQ(failure.message().rfind("writing the socket: ", 0), 0u) << failure.message();
    }
    channel->close();
    channel->close();
    EXPECT_EQ(channel->read(), std::nullopt);
    EXPECT_THROW(channel->write(Bytes{1}), HelperFailure);
}

TEST(SocketChannel, CloseWakesAWaitingReadAndConcurrentWritesStayWhole) {
    TemporaryDirectory directory;
    UnixSocketListener listener(directory.file("s"));
    Accepted accepted;
    listener.accept(accepted.handler());
    TestClient client(listener.path());
    auto channel = accepted.wait(0);
    ASSERT_TRUE(channel);

    // Eight writers of 100 KiB each, every buffer filled with its writer's byte.
    constexpr std::size_t size = 100 * 1024;
    std::vector<std::thread> writers;
    for (std::uint8_t w = 0; w < 8; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 4; ++i)
                channel->write(Bytes(size, static_cast<std::uint8_t>(w + 1)));
        });
    }
    Bytes received;
    std::uint8_t buffer[65536];
    while (received.size() < 8 * 4 * size) {
        const ssize_t count = ::recv(client.descriptor(), buffer, sizeof buffer, 0);
        ASSERT_GT(count, 0);
        received.insert(received.end(), buffer, buffer + count);
    }
    for (auto& writer : writers) writer.join();
    for (std::size_t start = 0; start < received.size(); start += size) {
        for (std::size_t i = start; i < start + size; ++i) {
            ASSERT_EQ(received[i], received[start]) << "writes interleaved at byte " << i;
        }
    }

    std::atomic<bool> readEnded{false};
    std::thread reader([&] {
        EXPECT_EQ(channel->read(), std::nullopt);
        readEnded = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(readEnded);
    channel->close();
    reader.join();
    EXPECT_TRUE(client.waitForClose(2s));
}

TEST(UnixSocketListener, NamesItsThreadsAndKeepsAcceptingAfterClientsGiveUp) {
    TemporaryDirectory directory;
    UnixSocketListener listener(directory.file("s"));
    Accepted accepted;
    listener.accept(accepted.handler());
    for (int i = 0; i < 20; ++i) {
        TestClient quitter(listener.path());
        struct linger reset {
            1, 0
        };  // closes with a reset, as a crashed client does
        ::setsockopt(quitter.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    TestClient client(listener.path());
    ASSERT_TRUE(accepted.wait(20));
    const auto names = testing::threadNames();
    for (const char* expected : {"tavrel.accept", "tavrel.socket.r", "tavrel.socket.w"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
}

}  // namespace
}  // namespace tavrel
