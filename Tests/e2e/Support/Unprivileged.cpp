#include "Support/Unprivileged.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Support/ChildProcess.hpp"

extern char** environ;

namespace tavrel::e2e {
namespace {

namespace fs = std::filesystem;

int statusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// Between fork and exec, so only calls that are safe there.
bool becomeUser(const UnprivilegedUser& user, rlim_t processLimit) {
    const rlimit processes{processLimit, processLimit};
    return ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0 &&
           ::setrlimit(RLIMIT_NPROC, &processes) == 0;
}

// Closes every descriptor from 3 up but `a` and `b`.
void closeAllBut(unsigned a, unsigned b) {
    const unsigned low = std::min(a, b), high = std::max(a, b);
    if (low > 3) ::close_range(3, low - 1, 0);
    if (high > low + 1) ::close_range(low + 1, high - 1, 0);
    ::close_range(high + 1, ~0U, 0);
}

long numberAfter(const std::string& line, std::size_t prefix) {
    return std::strtol(line.c_str() + prefix, nullptr, 10);
}

}  // namespace

UnprivilegedUser UnprivilegedUser::nobody() {
    UnprivilegedUser user;
    if (::geteuid() != 0) {
        user.why = "switching to another user needs root";
        return user;
    }
    const passwd* entry = ::getpwnam("nobody");
    if (entry == nullptr) {
        user.why = "this system has no user nobody";
        return user;
    }
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return user;
}

bool UnprivilegedUser::mayRun(const std::string& path) {
    if (!usable()) return false;
    const pid_t probe = ::fork();
    if (probe == 0) {
        const bool may = ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 &&
                         ::access(path.c_str(), X_OK) == 0;
        ::_exit(may ? 0 : 1);
    }
    int raw = 0;
    while (probe > 0 && ::waitpid(probe, &raw, 0) < 0 && errno == EINTR) {
    }
    if (probe > 0 && statusOf(raw) == 0) return true;
    why = "user nobody may not run " + path + " (a folder above it is closed to other users)";
    return false;
}

long UnprivilegedUser::tasks() const {
    long count = 0;
    std::error_code error;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        std::ifstream status(process.path() / "status");
        std::string line;
        long realUid = -1, threads = 0;
        while (std::getline(status, line)) {
            if (line.rfind("Uid:", 0) == 0) realUid = numberAfter(line, 4);
            if (line.rfind("Threads:", 0) == 0) threads = numberAfter(line, 8);
        }
        if (realUid == static_cast<long>(uid)) count += threads;
    }
    return count;
}

void shareWithEveryone(const fs::path& folder) {
    std::error_code error;
    fs::permissions(folder, fs::perms::all, fs::perm_options::add, error);
    for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
        if (entry.is_symlink(error)) continue;
        const auto everyone = entry.is_directory(error)
                                  ? fs::perms::all
                                  : fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::group_read | fs::perms::group_write |
                                        fs::perms::others_read | fs::perms::others_write;
        fs::permissions(entry.path(), everyone, fs::perm_options::add, error);
    }
}

UnprivilegedProgram::UnprivilegedProgram(const UnprivilegedUser& user, rlim_t processLimit,
                                         const std::string& program,
                                         const std::vector<std::string>& arguments,
                                         const fs::path& errorFile)
    : errorFile_(errorFile) {
    const std::string path = programPath(program);
    std::vector<std::string> items{path};
    items.insert(items.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& item : items) argv.push_back(item.data());
    argv.push_back(nullptr);
    const int error = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (error < 0 || input < 0) throw std::runtime_error("cannot open " + errorFile.string());
    sigset_t none;
    sigemptyset(&none);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(input, 0);
        ::dup2(error, 1);
        ::dup2(error, 2);
        ::close_range(3, ~0U, 0);
        ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
        if (becomeUser(user, processLimit)) ::execve(path.c_str(), argv.data(), environ);
        ::_exit(127);
    }
    ::close(error);
    ::close(input);
    if (pid_ < 0) throw std::runtime_error("cannot fork for " + path);
}

UnprivilegedProgram::~UnprivilegedProgram() {
    if (status_) return;
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
}

std::optional<int> UnprivilegedProgram::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = statusOf(raw);
        } else if (done < 0 && errno != EINTR) {
            status_ = -1;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return status_;
}

std::string UnprivilegedProgram::standardError() const {
    std::ifstream file(errorFile_, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

ProcessSlotHog::ProcessSlotHog(const UnprivilegedUser& user, rlim_t processLimit) {
    int hold[2], ready[2];
    if (::pipe2(hold, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        ::close(hold[0]);
        ::close(hold[1]);
        throw std::runtime_error("no pipe");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        // Every process of the hog waits for the end of `hold`; nothing else of the test's stays
        // open in them (a client's socket held here would outlive its close).
        const int holding = hold[0], telling = ready[1];
        closeAllBut(static_cast<unsigned>(holding), static_cast<unsigned>(telling));
        if (!becomeUser(user, processLimit)) ::_exit(127);
        bool told = false;
        for (;;) {
            for (;;) {
                const pid_t taker = ::fork();
                if (taker < 0) break;  // the user is at the limit
                if (taker == 0) {
                    char byte;
                    while (::read(holding, &byte, 1) < 0 && errno == EINTR) {
                    }
                    ::_exit(0);
                }
            }
            if (!told) {
                const char byte = 1;
                told = ::write(telling, &byte, 1) == 1;
            }
            // Slots that come free are taken again at once.
            pollfd released{holding, POLLIN, 0};
            if (::poll(&released, 1, 10) > 0) break;
        }
        for (;;) {
            if (::wait(nullptr) > 0 || errno == EINTR) continue;
            break;
        }
        ::_exit(0);
    }
    ::close(hold[0]);
    ::close(ready[1]);
    hold_ = hold[1];
    ready_ = ready[0];
    if (pid_ < 0) {
        release();
        throw std::runtime_error("cannot fork");
    }
}

ProcessSlotHog::~ProcessSlotHog() {
    release();
}

bool ProcessSlotHog::waitUntilFull(std::chrono::milliseconds timeout) {
    pollfd told{ready_, POLLIN, 0};
    char byte;
    return ::poll(&told, 1, static_cast<int>(timeout.count())) == 1 &&
           ::read(ready_, &byte, 1) == 1;
}

void ProcessSlotHog::release() {
    if (hold_ < 0) return;
    ::close(hold_);
    ::close(ready_);
    hold_ = ready_ = -1;
    if (pid_ > 0) {
        int raw = 0;
        while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace tavrel::e2e
