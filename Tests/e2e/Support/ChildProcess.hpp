#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::e2e {

/// A program of the build tree started with its standard output and error in files. The
/// destructor stops it (SIGTERM, then SIGKILL after a grace period) and reaps it, so no test
/// leaves a process behind even when an assertion fails half way.
class ChildProcess {
  public:
    /// `program` is a file name at the top of the build tree, or else one found on PATH; `outputs`
    /// is a folder for the process's standard output and error files.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::filesystem::path& outputs);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    /// The exit status (128 + signal when killed), or none when it is still running after
    /// `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    /// SIGTERM, then SIGKILL if it has not ended within `grace`; returns the status.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

    std::string standardOutput() const;
    std::string standardError() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path out_;
    std::filesystem::path err_;
};

struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};

/// Runs a build-tree program to its end (killed after `timeout`, which fails with status -1).
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));

/// The path of a program at the top of the build tree.
std::string programPath(const std::string& program);

}  // namespace tavrel::e2e
