#include "SimulatedPlatform/Device/simctl/Lifecycle.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "SimulatedPlatform/Device/DeviceLink/CaptureSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/FileDescriptor.hpp"

namespace fs = std::filesystem;

namespace tavrel::sim {
namespace {

constexpr auto bootLimit = std::chrono::seconds(15);
constexpr auto termLimit = std::chrono::seconds(5);
constexpr auto killLimit = std::chrono::seconds(2);

fs::path logPath(const fs::path& directory) {
    return directory / "device.log";
}

std::string lastLog(const fs::path& directory) {
    std::ifstream in(logPath(directory));
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty()) last = line;
    }
    return last.empty() ? "it stopped without a word" : last;
}

// Serialises boots and shutdowns of one device between tavrel-simctl processes.
class DeviceGuard {
  public:
    explicit DeviceGuard(const fs::path& directory)
        : fd_(open((directory / "lifecycle.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (!fd_) throw std::runtime_error("cannot lock " + directory.string());
        while (flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }

  private:
    FileDescriptor fd_;
};

bool waitForState(const fs::path& directory, const std::string& wanted,
                  std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (DeviceSet::state(directory) != wanted) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

[[noreturn]] void startDetached(const fs::path& directory, const fs::path& program, int readyFd) {
    // In the grandchild: nothing but async-signal-safe calls until exec.
    setsid();
    if (fork() != 0) _exit(0);  // the intermediate child; the device is orphaned to init
    const int null = open("/dev/null", O_RDONLY);
    const int log = open(logPath(directory).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null >= 0) dup2(null, 0);
    if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
    }
    // Nothing of the caller's but the ready pipe goes with the device.
    const int ready = fcntl(readyFd, F_DUPFD, 3);
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    fcntl(ready, F_SETFD, 0);
    char readyText[16];
    snprintf(readyText, sizeof readyText, "%d", ready);
    execl(program.c_str(), program.c_str(), "--device-dir", directory.c_str(), "--ready-fd",
          readyText, static_cast<char*>(nullptr));
    _exit(127);
}

}  // namespace

void bootDevice(const fs::path& directory, const fs::path& program) {
    DeviceGuard guard(directory);
    const std::string state = DeviceSet::state(directory);
    if (state == "Booted") return;
    if (state == "Booting") {
        if (!waitForState(directory, "Booted", bootLimit)) {
            throw std::runtime_error("the device did not finish booting");
        }
        return;
    }
    // Capture devices of a device that died do not come back with its next boot.
    unplugAll(directory);
    if (access(program.c_str(), X_OK) != 0) {
        throw std::runtime_error("cannot run " + program.string());
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    FileDescriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("cannot start the device: " + std::string(strerror(errno)));
    if (child == 0) startDetached(directory, program, writeEnd.get());
    writeEnd.reset();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    // The device says "ready" after its first frame; the pipe closes unread if it dies.
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + bootLimit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("the device did not boot in time");
        pollfd waiting{readEnd.get(), POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[64];
        const ssize_t n = read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(buffer, n);
    }
    if (answer.rfind("ready", 0) != 0 || DeviceSet::state(directory) != "Booted") {
        throw std::runtime_error("the device could not boot: " + lastLog(directory));
    }
}

void shutdownDevice(const fs::path& directory) {
    DeviceGuard guard(directory);
    if (DeviceSet::state(directory) != "Shutdown") {
        if (auto pid = DeviceSet::pid(directory)) {
            kill(*pid, SIGTERM);
            if (!waitForState(directory, "Shutdown", termLimit)) {
                if (auto stubborn = DeviceSet::pid(directory)) kill(*stubborn, SIGKILL);
            }
        }
        if (!waitForState(directory, "Shutdown", killLimit)) {
            throw std::runtime_error("the device would not shut down");
        }
    }
    unplugAll(directory);
    std::error_code ignored;
    fs::remove(DeviceSet::pidPath(directory), ignored);
    fs::remove(DeviceSet::socketPath(directory), ignored);
}

}  // namespace tavrel::sim
