#include "Support/Unprivileged.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
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

bool searchable(const fs::path& folder, const UnprivilegedUser& user) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return true;  // the probe tells
    const mode_t bit = info.st_uid == user.uid   ? S_IXUSR
                       : info.st_gid == user.gid ? S_IXGRP
                                                 : S_IXOTH;
    return (info.st_mode & bit) != 0;
}

// The folders above `targets` the user may not enter, shallowest first, with the way on from
// each.
std::vector<ClosedFolder> closedAbove(const std::vector<fs::path>& targets,
                                      const UnprivilegedUser& user) {
    std::map<fs::path, std::vector<fs::path>> found;  // sorted: a folder before those within it
    for (const auto& target : targets) {
        const fs::path full = fs::weakly_canonical(fs::absolute(target));
        fs::path at = full.root_path();
        for (auto part = std::next(full.begin()); part != full.end(); ++part) {
            const fs::path next = at / *part;
            if (at != at.root_path() && !searchable(at, user)) {
                auto& ways = found[at];
                if (std::find(ways.begin(), ways.end(), next) == ways.end()) ways.push_back(next);
            }
            at = next;
        }
    }
    std::vector<ClosedFolder> closed;
    for (auto& [folder, ways] : found) closed.push_back({folder, std::move(ways)});
    return closed;
}

// Between fork and exec, so only system calls: a mount namespace of this process's own in which
// each closed folder is covered by an open one holding the real folders on the way.
bool openView(const std::vector<ClosedFolder>& closed) {
    if (closed.empty()) return true;
    if (::unshare(CLONE_NEWNS) != 0) return false;
    // Nothing mounted here may show in the namespace the rest of the system sees.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    constexpr std::size_t mostWays = 16;
    for (const auto& cover : closed) {
        if (cover.ways.size() > mostWays) return false;
        int kept[mostWays];
        for (std::size_t i = 0; i < cover.ways.size(); ++i) {
            kept[i] = ::open(cover.ways[i].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (kept[i] < 0) return false;
        }
        if (::mount("tmpfs", cover.folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "mode=0755,size=64k") != 0)
            return false;
        for (std::size_t i = 0; i < cover.ways.size(); ++i) {
            char source[32] = "/proc/self/fd/";
            std::size_t end = 14;
            char digits[12];
            std::size_t count = 0;
            for (unsigned n = static_cast<unsigned>(kept[i]); count == 0 || n > 0; n /= 10)
                digits[count++] = static_cast<char>('0' + n % 10);
            while (count > 0) source[end++] = digits[--count];
            source[end] = '\0';
            if (::mkdir(cover.ways[i].c_str(), 0755) != 0 ||
                ::mount(source, cover.ways[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
                return false;
            ::close(kept[i]);
        }
    }
    return true;
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

bool UnprivilegedUser::mayRun(const std::string& path, const std::vector<fs::path>& reads) {
    if (!usable()) return false;
    std::vector<fs::path> targets{fs::path(path).parent_path()};
    targets.insert(targets.end(), reads.begin(), reads.end());
    closed = closedAbove(targets, *this);
    const pid_t probe = ::fork();
    if (probe == 0) {
        if (!openView(closed)) ::_exit(2);
        bool may = ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 &&
                   ::access(path.c_str(), X_OK) == 0;
        for (const auto& folder : reads) may = may && ::access(folder.c_str(), R_OK | X_OK) == 0;
        ::_exit(may ? 0 : 1);
    }
    int raw = 0;
    while (probe > 0 && ::waitpid(probe, &raw, 0) < 0 && errno == EINTR) {
    }
    const int status = probe > 0 ? statusOf(raw) : -1;
    if (status == 0) return true;
    why = status == 2 ? "cannot give user nobody a view past the folders closed to it above " +
                            path + " (no mount namespace here)"
                      : "user nobody may not run " + path + " or read what it loads";
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
        if (openView(user.closed) && becomeUser(user, processLimit))
            ::execve(path.c_str(), argv.data(), environ);
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
