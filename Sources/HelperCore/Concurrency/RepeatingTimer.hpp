#pragma once

#include <functional>
#include <memory>

#include "HelperCore/Concurrency/SerialQueue.hpp"

namespace tavrel {

/// Calls a handler on a serial queue first after `firstDelay`, then every `interval`. Deadlines
/// advance by whole intervals from the first one, so a slow tick does not shift the later ones;
/// ticks missed while the queue was busy are skipped, never run back to back.
///
/// Threads: construct and `cancel` from any thread. After `cancel()` returns, the handler is not
/// running and will not run again (called from the handler itself, it returns at once and no
/// further tick follows). The destructor cancels. The queue must outlive the timer's ticks; a
/// stopped queue simply ends them.
class RepeatingTimer {
  public:
    RepeatingTimer(SerialQueue& queue, SerialQueue::Clock::duration firstDelay,
                   SerialQueue::Clock::duration interval, std::function<void()> handler);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void cancel();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tavrel
