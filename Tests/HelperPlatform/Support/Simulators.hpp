// Simulated iPhones for platform tests: one temporary HOME per test program holding the device
// set, tavrel-simctl to create, boot and shut devices down, and child processes of the built
// programs. Everything started is stopped and every file removed when the program ends.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavrel::testing {

inline std::string programPath(const std::string& name) {
    return (std::filesystem::path(TAVREL_BINARY_DIR) / name).string();
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// A child process of a built program; its output goes to files. Killed and reaped when
/// dropped if it still runs.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args) {
        char directory[] = "/tmp/tavrel-child-XXXXXX";
        if (::mkdtemp(directory) == nullptr) throw std::runtime_error("mkdtemp failed");
        directory_ = directory;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> words = {program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) pid_ = -1;
    }
    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int ignored = 0;
            ::waitpid(pid_, &ignored, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    /// The exit status (-1 when killed by a signal), or nothing if it still runs at `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        if (status_) return status_;
        if (pid_ <= 0) return -1;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return status_;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::string out() const { return readFile(outPath()); }
    std::string err() const { return readFile(errPath()); }

  private:
    std::string outPath() const { return (directory_ / "out").string(); }
    std::string errPath() const { return (directory_ / "err").string(); }

    std::filesystem::path directory_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline RunResult runProgram(const std::string& name, const std::vector<std::string>& args,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    ChildProcess child(programPath(name), args);
    auto status = child.wait(timeout);
    return {status.value_or(-1), child.out(), child.err()};
}

/// The device set of this test program, in a temporary HOME (set once, for the whole
/// program, since the frameworks cache what they read of it). Devices created here are shut
/// down and the HOME removed at the end.
class SimulatorHome : public ::testing::Environment {
  public:
    static SimulatorHome& shared() {
        static SimulatorHome* home = [] {
            auto* made = new SimulatorHome;
            ::testing::AddGlobalTestEnvironment(made);  // gtest owns and tears it down
            return made;
        }();
        return *home;
    }

    void SetUp() override {}
    void TearDown() override {
        std::vector<std::string> created;
        {
            std::lock_guard guard(lock_);
            created.swap(created_);
        }
        for (auto& udid : created) runProgram("tavrel-simctl", {"shutdown", udid});
        if (previousHome_) ::setenv("HOME", previousHome_->c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    const std::filesystem::path& home() const { return home_; }

    std::string create(const std::string& name, const std::string& runtime = "modern") {
        auto result =
            runProgram("tavrel-simctl", {"create", name, "iPhone-15-Pro", "--runtime", runtime});
        EXPECT_EQ(result.status, 0) << result.err;
        auto udid = result.out.substr(0, result.out.find_first_of("\r\n"));
        std::lock_guard guard(lock_);
        created_.push_back(udid);
        return udid;
    }
    std::string boot(const std::string& name, const std::string& runtime = "modern") {
        auto udid = create(name, runtime);
        auto result = runProgram("tavrel-simctl", {"boot", udid});
        EXPECT_EQ(result.status, 0) << result.err;
        return udid;
    }
    void shutdown(const std::string& udid) {
        auto result = runProgram("tavrel-simctl", {"shutdown", udid});
        EXPECT_EQ(result.status, 0) << result.err;
    }
    void animate(const std::string& udid, bool on) {
        auto result = runProgram("tavrel-simctl", {"animate", udid, on ? "on" : "off"});
        EXPECT_EQ(result.status, 0) << result.err;
    }

  private:
    SimulatorHome() {
        char pattern[] = "/tmp/tavrel-home-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        home_ = pattern;
        if (const char* previous = std::getenv("HOME")) previousHome_ = previous;
        ::setenv("HOME", home_.c_str(), 1);
    }

    std::filesystem::path home_;
    std::optional<std::string> previousHome_;
    std::mutex lock_;
    std::vector<std::string> created_;
};

}  // namespace tavrel::testing
