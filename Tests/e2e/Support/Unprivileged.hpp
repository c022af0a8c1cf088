#pragma once

#include <pwd.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::e2e {

/// An unprivileged user for tests that run as root: `nobody`, if this system has one and the
/// test may switch to it. `why` says why not.
struct UnprivilegedUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string why;

    static UnprivilegedUser nobody();
    bool usable() const { return why.empty(); }

    /// Whether the user may run the program at `path`: a build tree under a folder closed to
    /// other users (a clone in a `mktemp -d` folder) is out of its reach. Says why not in `why`.
    bool mayRun(const std::string& path);

    /// Processes and threads the user runs now: what RLIMIT_NPROC counts.
    long tasks() const;
};

/// Lets every user read and write the folder and what is in it (and enter its folders), so that
/// a program run as another user can use a device set made by root.
void shareWithEveryone(const std::filesystem::path& folder);

/// A program of the build tree run as `user` with RLIMIT_NPROC at `processLimit`, its standard
/// error in `errorFile`, inheriting no descriptor of the test. SIGKILLed and reaped when it goes.
class UnprivilegedProgram {
  public:
    UnprivilegedProgram(const UnprivilegedUser& user, rlim_t processLimit,
                        const std::string& program, const std::vector<std::string>& arguments,
                        const std::filesystem::path& errorFile);
    ~UnprivilegedProgram();
    UnprivilegedProgram(const UnprivilegedProgram&) = delete;
    UnprivilegedProgram& operator=(const UnprivilegedProgram&) = delete;

    pid_t pid() const { return pid_; }
    /// The exit status (128 + signal when killed), or none while it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    std::string standardError() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path errorFile_;
};

/// Takes every process slot `user` has left under `processLimit`, and keeps taking those that
/// come free, until it goes: the user's programs can then start no thread. Its processes end
/// with it.
class ProcessSlotHog {
  public:
    ProcessSlotHog(const UnprivilegedUser& user, rlim_t processLimit);
    ~ProcessSlotHog();
    ProcessSlotHog(const ProcessSlotHog&) = delete;
    ProcessSlotHog& operator=(const ProcessSlotHog&) = delete;

    /// Waits until the slots are taken; false if that did not happen within `timeout`.
    bool waitUntilFull(std::chrono::milliseconds timeout);
    /// Lets the slots go and waits for the processes to end.
    void release();

  private:
    pid_t pid_ = -1;
    int hold_ = -1;   // the write end every hog process waits on
    int ready_ = -1;  // a byte arrives once the slots are taken
};

}  // namespace tavrel::e2e
