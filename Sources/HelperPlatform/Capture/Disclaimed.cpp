#include "HelperPlatform/Capture/Disclaimed.hpp"

#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Capture/Disclaim.hpp"

extern char** environ;

namespace tavrel::Disclaimed {

namespace {

using SetDisclaim = int (*)(posix_spawnattr_t*, int);

constexpr std::array forwarded = {SIGTERM, SIGINT, SIGHUP};

// The spawn attributes, destroyed on every path.
class SpawnAttributes {
  public:
    SpawnAttributes() { made_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (made_) posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool made() const { return made_; }
    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
    bool made_ = false;
};

// The signals are taken out of normal delivery while the copy runs, and restored after.
class BlockedSignals {
  public:
    BlockedSignals() {
        sigemptyset(&set_);
        for (int signal : forwarded) sigaddset(&set_, signal);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    }
    ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    const sigset_t& set() const { return set_; }
    const sigset_t& previous() const { return previous_; }

  private:
    sigset_t set_;
    sigset_t previous_;
};

// SIGCHLD at its default for as long as this lives, then as it was.
class DefaultChildSignal {
  public:
    DefaultChildSignal() {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigemptyset(&defaults.sa_mask);
        restore_ = sigaction(SIGCHLD, &defaults, &previous_) == 0;
    }
    ~DefaultChildSignal() {
        if (restore_) sigaction(SIGCHLD, &previous_, nullptr);
    }
    DefaultChildSignal(const DefaultChildSignal&) = delete;
    DefaultChildSignal& operator=(const DefaultChildSignal&) = delete;

  private:
    struct sigaction previous_ {};
    bool restore_ = false;
};

std::string programPath(const std::vector<std::string>& arguments) {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && !self.empty()) return self.string();
    return arguments.empty() ? std::string() : arguments.front();
}

std::vector<std::string> processArguments() {
    std::vector<std::string> arguments;
    FILE* file = std::fopen("/proc/self/cmdline", "rb");
    if (!file) return arguments;
    std::string current;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\0') {
            arguments.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(char(c));
        }
    }
    std::fclose(file);
    return arguments;
}

std::vector<std::string> markedEnvironment() {
    std::vector<std::string> entries;
    const std::string prefix = std::string(Disclaim::variable) + "=";
    for (char** entry = environ; entry && *entry; ++entry)
        if (std::string_view(*entry).substr(0, prefix.size()) != prefix)
            entries.emplace_back(*entry);
    entries.push_back(prefix + Disclaim::marker);
    return entries;
}

std::vector<char*> vectorOf(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& string : strings) pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

int exitStatusOf(int status) {
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 1;
}

}  // namespace

std::optional<int> run() {
    auto setDisclaim =
        reinterpret_cast<SetDisclaim>(dlsym(RTLD_DEFAULT, "responsibility_spawnattrs_setdisclaim"));
    if (!setDisclaim) return std::nullopt;
    SpawnAttributes attributes;
    if (!attributes.made() || setDisclaim(attributes.get(), 1) != 0) return std::nullopt;

    auto arguments = processArguments();
    const auto program = programPath(arguments);
    if (program.empty() || arguments.empty()) return std::nullopt;
    auto environment = markedEnvironment();
    auto argv = vectorOf(arguments);
    auto envp = vectorOf(environment);

    // A host that left SIGCHLD ignored would have the kernel reap the copy, and the wait below
    // would fail with ECHILD: take it back to the default while the copy runs.
    DefaultChildSignal childSignal;
    BlockedSignals blocked;
    // The copy starts with the signal mask this process had and every disposition at its
    // default: an ignored signal inherited from the host is no business of the server's.
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigmask(attributes.get(), &blocked.previous());
    posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t copy = -1;
    if (posix_spawn(&copy, program.c_str(), nullptr, attributes.get(), argv.data(), envp.data()) !=
        0)
        return std::nullopt;

    std::atomic<bool> ended{false};
    std::jthread forwarding([&] {
        const timespec poll{0, 50'000'000};
        while (!ended.load()) {
            const int signal = sigtimedwait(&blocked.set(), nullptr, &poll);
            if (signal > 0) kill(copy, signal);
        }
    });
    int status = 0;
    int waited = 0;
    while ((waited = waitpid(copy, &status, 0)) < 0 && errno == EINTR) {
    }
    const int waitError = errno;
    ended = true;
    forwarding.join();
    if (waited < 0) {
        // The copy's fate is unknown: never report it as a success.
        const auto line = "the launcher cannot wait for its copy: waitpid failed: " +
                          std::string(std::strerror(waitError)) + "\n";
        [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
        return 1;
    }
    return exitStatusOf(status);
}

}  // namespace tavrel::Disclaimed
