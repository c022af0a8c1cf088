#pragma once

#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include "HelperCore/Concurrency/SerialQueue.hpp"

namespace tavrel {

/// Turns termination signals into ordinary work on a serial queue (the main queue), so that the
/// code handling them may log, close files and call into the device freely.
///
/// The signals are blocked in the constructing thread (threads it starts later inherit that) and
/// read from a signalfd by a thread of the watcher's own. A thread started earlier may still
/// have them unblocked; for those, a minimal handler forwards the signal number through a pipe
/// to the same thread, so no signal takes the default action of ending the process.
///
/// Threads: construct on the main thread, before starting threads where possible. The handler
/// runs on `queue`. The destructor stops watching (the signals stay blocked and handled).
class SignalWatcher {
  public:
    SignalWatcher(SerialQueue& queue, std::initializer_list<int> signals,
                  std::function<void(int signal)> handler);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    /// Blocks `signals` in the calling thread; for a program's start, before any thread exists.
    static void blockInThisThread(std::initializer_list<int> signals);

  private:
    void watch();

    SerialQueue& queue_;
    std::function<void(int)> handler_;
    int signalDescriptor_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace tavrel
