#include "Support/ChildProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tavrel::e2e {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int statusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

std::atomic<unsigned> outputSerial{0};

}  // namespace

std::string programPath(const std::string& program) {
    return std::string(TAVREL_BINARY_DIR) + "/" + program;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::filesystem::path& outputs) {
    const auto serial = std::to_string(outputSerial++);
    const auto name = std::filesystem::path(program).filename().string();
    out_ = outputs / (name + "." + serial + ".out");
    err_ = outputs / (name + "." + serial + ".err");
    // Programs of the build tree by name; anything else (ffprobe) from PATH.
    const bool ours = std::filesystem::exists(programPath(program));
    const std::string path = ours ? programPath(program) : program;
    std::vector<std::string> items{path};
    items.insert(items.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& item : items) argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Test programs may block signals for their own threads; the child starts with none blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int error =
        ours ? posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ)
             : posix_spawnp(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + path);
}

ChildProcess::~ChildProcess() {
    stop();
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = statusOf(raw);
            return status_;
        }
        if (done < 0 && errno != EINTR) {
            status_ = -1;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (status_) return *status_;
    ::kill(pid_, SIGTERM);
    if (auto status = wait(grace)) return *status;
    ::kill(pid_, SIGKILL);
    return *wait(std::chrono::milliseconds(10000));
}

std::string ChildProcess::standardOutput() const {
    return readFile(out_);
}

std::string ChildProcess::standardError() const {
    return readFile(err_);
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout) {
    const auto outputs =
        std::filesystem::temp_directory_path() /
        ("tavrel-run-" + std::to_string(::getpid()) + "-" + std::to_string(outputSerial++));
    std::filesystem::create_directories(outputs);
    ProgramResult result;
    {
        ChildProcess child(program, arguments, outputs);
        const auto status = child.wait(timeout);
        result.status = status ? *status : -1;
        if (!status) child.stop();
        result.out = child.standardOutput();
        result.err = child.standardError();
    }
    std::filesystem::remove_all(outputs);
    return result;
}

}  // namespace tavrel::e2e
