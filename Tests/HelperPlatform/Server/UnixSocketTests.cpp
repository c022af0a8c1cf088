#include <gtest/gtest.h>
#include <fcntl.h>
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

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::TemporaryDirectory;
using testing::TestClient;

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

TEST(UnixSocketListener, RemovesOnlyTheSocketItBound) {
    TemporaryDirectory directory;
    const std::string path = directory.file("s");
    // A placeholder the host made to reserve the name is replaced, as a stale socket is.
    std::ofstream(path) << "reserved";
    UnixSocketListener first(path);
    // A second helper on the same path takes it over while the first still runs.
    UnixSocketListener second(path);
    first.close();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0) << "the first helper took the second's socket";
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    {
        TestClient client(path, 1s);
        std::optional<int> accepted;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!accepted && std::chrono::steady_clock::now() < deadline) {
            accepted = second.acceptOne();
        }
        ASSERT_TRUE(accepted) << "the second helper is still reachable";
        ::close(*accepted);
    }
    // Something else at the path by the time the second stops stays too.
    std::filesystem::remove(path);
    std::ofstream(path) << "someone else's";
    second.close();
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(UnixSocketListener, AcceptsWithoutWaitingAndPastClientsThatGaveUp) {
    TemporaryDirectory directory;
    UnixSocketListener listener(directory.file("s"));
    EXPECT_EQ(listener.acceptOne(), std::nullopt) << "no client: none, at once";
    for (int i = 0; i < 5; ++i) {
        TestClient quitter(listener.path());
        struct linger reset {
            1, 0
        };  // closes with a reset, as a crashed client does
        ::setsockopt(quitter.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    TestClient client(listener.path());
    int taken = 0;
    while (const auto descriptor = listener.acceptOne()) {
        EXPECT_NE(::fcntl(*descriptor, F_GETFL) & O_NONBLOCK, 0);
        ::close(*descriptor);
        ++taken;
    }
    EXPECT_GE(taken, 1) << "the living client is accepted";
}

}  // namespace
}  // namespace tavrel
