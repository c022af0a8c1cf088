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

/// A folder another user may not enter, on the way to what that user's programs need. In their
/// view it is covered by an open folder holding only `ways`, each the real folder of that name.
struct ClosedFolder {
    std::filesystem::path folder;
    std::vector<std::filesystem::path> ways;  // folder/child, for each child on the way
};

/// An unprivileged user for tests that run as root: `nobody`, if this system has one and the
/// test may switch to it. `why` says why not.
struct UnprivilegedUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string why;
    /// Covered in the view of the user's programs; found by `mayRun`.
    std::vector<ClosedFolder> closed;

    static UnprivilegedUser nobody();
    bool usable() const { return why.empty(); }

    /// Whether the user may run the program at `path` and read the folders in `reads` (what it
    /// loads at run time). A build tree under a folder closed to other users (a clone in a
    /// `mktemp -d` folder) is reached through a mount namespace of the user's programs' own, in
    /// which each closed folder above them is covered by an open one holding only the way on:
    /// nothing changes on disk or for any other process. Says why not in `why`.
    bool mayRun(const std::string& path, const std::vector<std::filesystem::path>& reads = {});

    /// Processes and threads the user runs now: what RLIMIT_NPROC counts.
    long tasks() const;
};

/// Lets every user read and write the folder and what is in it (and enter its folders), so that
/// a program run as another user can use a device set made by root.
void shareWithEveryone(const std::filesystem::path& folder);

/// A program of the build tree run as `user` (in its view) with RLIMIT_NPROC at `processLimit`, its
/// standard error in `errorFile`, inheriting no descriptor of the test. SIGKILLed and reaped when
/// it goes.
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
