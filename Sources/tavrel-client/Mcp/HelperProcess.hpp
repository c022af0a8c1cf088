#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tavrel::client::mcp {

/// A program of ours run as a child: started, waited for, and stopped with SIGTERM (then
/// SIGKILL) when its owner goes. Its standard output goes to a pipe the owner reads or, when not
/// captured, to our standard error: nothing but protocol messages may reach our standard output.
class HelperProcess {
  public:
    /// Throws HelperFailure 502 when the program cannot be started.
    HelperProcess(const std::vector<std::string>& arguments, bool captureOutput);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    /// Whether it still runs (reaps it when not).
    bool running();
    /// Its exit status once ended: the code, or 128 + the signal.
    int status() const { return status_; }

    /// Reads its output to the end and waits for it; returns the output. Throws HelperFailure
    /// 504 when `limit` passes first (the child is then stopped).
    std::string finish(std::chrono::steady_clock::duration limit);

    /// SIGTERM, up to five seconds, then SIGKILL; reaps it.
    void stop();

    /// `tavrel-helper`, found beside this program.
    static std::string helperProgram();

  private:
    void reap(bool wait);

    pid_t pid_ = -1;
    int output_ = -1;
    int status_ = -1;
};

}  // namespace tavrel::client::mcp
