#include "tavrel-client/Mcp/HelperProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"

extern char** environ;

namespace tavrel::client::mcp {

std::string HelperProcess::helperProgram() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) throw HelperFailure("cannot find this program: " + error.message(), 502);
    return (self.parent_path() / "tavrel-helper").string();
}

HelperProcess::HelperProcess(const std::vector<std::string>& arguments, bool captureOutput) {
    int pipe[2] = {-1, -1};
    if (captureOutput && ::pipe2(pipe, O_CLOEXEC) != 0) {
        throw HelperFailure(std::string("cannot make a pipe: ") + std::strerror(errno), 502);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (captureOutput) {
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    } else {
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    }
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput) ::close(pipe[1]);
    if (failed != 0) {
        if (captureOutput) ::close(pipe[0]);
        pid_ = -1;
        throw HelperFailure("cannot start " + arguments[0] + ": " + std::strerror(failed), 502);
    }
    output_ = captureOutput ? pipe[0] : -1;
}

HelperProcess::~HelperProcess() {
    stop();
    if (output_ >= 0) ::close(output_);
}

void HelperProcess::reap(bool wait) {
    if (pid_ < 0) return;
    int raw = 0;
    pid_t done;
    do {
        done = ::waitpid(pid_, &raw, wait ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0) return;
    if (done == pid_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    pid_ = -1;
}

bool HelperProcess::running() {
    reap(false);
    return pid_ >= 0;
}

void HelperProcess::stop() {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (running() && std::chrono::steady_clock::now() < deadline) {
        // Polls the child's end; a helper stops within its own second-long checks.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ >= 0) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
}

std::string HelperProcess::finish(std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    char chunk[4096];
    while (output_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            stop();
            throw HelperFailure("the helper did not finish in time", 504);
        }
        pollfd waiting{output_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t count = ::read(output_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        text.append(chunk, static_cast<std::size_t>(count));
    }
    reap(true);
    return text;
}

}  // namespace tavrel::client::mcp
