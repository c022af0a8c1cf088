#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/JSON.hpp"
#include "HelperPlatform/Server/ServeLoop.hpp"
#include "Support/ScriptedDevice.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/TestClient.hpp"

extern char** environ;

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedDevice;
using testing::TemporaryDirectory;
using testing::TestClient;
namespace fs = std::filesystem;

// This program doubles as the server under test: started with TAVREL_SERVE_FIXTURE_DIR set, it
// serves a scripted device before main runs and never returns. The test steers it through
// files in that directory: it writes "warming" when warming starts and "closed" when the device
// is closed, and reports the device gone with the text of a "gone" file once one appears.
std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

[[noreturn]] void runFixture(const fs::path& directory) {
    auto* device = new ScriptedDevice;  // lives until the process ends
    device->setStream({Bytes{0, 0, 0, 1, 0x65, 0x88}, Bytes{0, 0, 0, 1, 0x41}}, 5ms, nullptr,
                      /*endless=*/true);
    ServeLoopOptions options;
    options.socket = std::getenv("TAVREL_SERVE_FIXTURE_SOCKET");
    if (const char* parent = std::getenv("TAVREL_SERVE_FIXTURE_PARENT")) {
        options.parentPid = std::atoi(parent);
    }
    options.startWarming = [directory] { std::ofstream(directory / "warming") << "yes"; };
    options.gone = [directory]() -> std::optional<std::string> {
        if (!fs::exists(directory / "gone")) return std::nullopt;
        return readFile(directory / "gone");
    };
    options.closes = [directory] { std::ofstream(directory / "closed") << "yes"; };
    serve(*device, options, Log(Log::Level::info));
}

[[maybe_unused]] const bool isFixture = [] {
    if (const char* directory = std::getenv("TAVREL_SERVE_FIXTURE_DIR")) runFixture(directory);
    return false;
}();

// The server in a child process; killed at the end if it is still running.
class ServerProcess {
  public:
    ServerProcess(const TemporaryDirectory& directory, const std::string& socket,
                  std::optional<pid_t> parent = std::nullopt)
        : directory_(directory.path()) {
        std::vector<std::string> environment;
        for (char** variable = environ; *variable; ++variable) environment.push_back(*variable);
        environment.push_back("TAVREL_SERVE_FIXTURE_DIR=" + directory_.string());
        environment.push_back("TAVREL_SERVE_FIXTURE_SOCKET=" + socket);
        if (parent) environment.push_back("TAVREL_SERVE_FIXTURE_PARENT=" + std::to_string(*parent));
        std::vector<char*> envp;
        for (auto& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string program = fs::read_symlink("/proc/self/exe").string();
        char* argv[] = {program.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string errors = (directory_ / "stderr").string();
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        const int result =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) throw std::runtime_error("cannot start the server");
    }

    ~ServerProcess() {
        if (!exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }

    /// The exit status, or none while it still runs after `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!exited_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(5ms);
        }
        return status_;
    }

    std::string errors() const { return readFile(directory_ / "stderr"); }

  private:
    fs::path directory_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

// A process id that no longer names a process: a child that has exited and been reaped.
pid_t exitedProcess() {
    pid_t pid = -1;
    char program[] = "/bin/true";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(posix_spawn(&pid, program, nullptr, nullptr, argv, environ), 0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

TEST(ServeLoop, SignalsStopItWithTheirNumberRemovingTheSocketAndClosingTheDevice) {
    for (int signal : {SIGTERM, SIGINT}) {
        TemporaryDirectory directory;
        const std::string socket = directory.file("helper.sock");
        ServerProcess server(directory, socket);
        {
            TestClient client(socket);
            const auto answer = client.ask(1, R"({"op":"describe"})");
            EXPECT_EQ(answer.final.kind, FrameKind::reply);
            EXPECT_EQ(answer.json(), JSON::encode(ScreenGeometry::of(1179, 2556, 3)));
        }
        // Warming starts once the socket listens: a describe answered at once may come first.
        const auto warmingBy = std::chrono::steady_clock::now() + 10s;
        while (!fs::exists(directory.path() / "warming") &&
               std::chrono::steady_clock::now() < warmingBy) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(fs::exists(directory.path() / "warming"));
        ::kill(server.pid(), signal);
        EXPECT_EQ(server.waitForExit(5s), 0);
        EXPECT_EQ(server.errors(), "[info] stopping: signal " + std::to_string(signal) + "\n");
        EXPECT_FALSE(fs::exists(socket));
        EXPECT_TRUE(fs::exists(directory.path() / "closed"));
    }
}

TEST(ServeLoop, StopsWithinAboutASecondOnceTheParentIsGoneOrTheDeviceGoesAway) {
    {
        TemporaryDirectory directory;
        const pid_t parent = exitedProcess();
        ServerProcess server(directory, directory.file("s"), parent);
        EXPECT_EQ(server.waitForExit(3s), 0);
        EXPECT_EQ(server.errors(),
                  "[info] stopping: Tavrel (pid " + std::to_string(parent) + ") is gone\n");
    }
    TemporaryDirectory directory;
    // pid 1 exists whoever we are; a probe refused for lack of permission also means "alive".
    ServerProcess server(directory, directory.file("s"), 1);
    EXPECT_EQ(server.waitForExit(1500ms), std::nullopt);
    {
        TestClient client(directory.file("s"));
        EXPECT_EQ(client.ask(1, R"({"op":"describe"})").final.kind, FrameKind::reply);
    }
    std::ofstream(directory.path() / "gone") << "the simulator is no longer booted";
    EXPECT_EQ(server.waitForExit(3s), 0);
    EXPECT_EQ(server.errors(), "[info] stopping: the simulator is no longer booted\n");
    EXPECT_TRUE(fs::exists(directory.path() / "closed"));
}

TEST(ServeLoop, ASocketThatCannotBeBoundExitsWithStatus3BeforeWarming) {
    TemporaryDirectory directory;
    const std::string socket = directory.file("missing/helper.sock");
    ServerProcess server(directory, socket);
    EXPECT_EQ(server.waitForExit(5s), 3);
    EXPECT_EQ(server.errors(), "cannot listen on " + socket + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(directory.path() / "warming"));
    EXPECT_FALSE(fs::exists(directory.path() / "closed"));
}

TEST(ServeLoop, TwoClientsAreServedAtOnce) {
    TemporaryDirectory directory;
    const std::string socket = directory.file("s");
    ServerProcess server(directory, socket);
    TestClient streaming(socket);
    streaming.request(1, R"({"op":"stream","fps":30,"scale":1,"key_frame_s":2,"bitrate":1000000})");
    for (int i = 0; i < 3; ++i) {
        auto frame = streaming.readFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->kind, FrameKind::chunk);
    }
    TestClient asking(socket);
    EXPECT_EQ(asking.ask(2, R"({"op":"describe"})").final.kind, FrameKind::reply);
    auto frame = streaming.readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, FrameKind::chunk) << "the stream goes on meanwhile";
    ::kill(server.pid(), SIGTERM);
    EXPECT_EQ(server.waitForExit(5s), 0);
}

}  // namespace
}  // namespace tavrel
