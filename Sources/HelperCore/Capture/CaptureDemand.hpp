#pragma once

#include <optional>

namespace tavrel {

/// Whether a capture should be running: while anyone holds it, and for `lingerS` after the
/// last hold or release, so that quick successive screenshots do not restart it each time.
/// Pure bookkeeping: every call passes the time (seconds on a monotonic clock).
class CaptureDemand {
  public:
    explicit CaptureDemand(double lingerS) : lingerS_(lingerS) {}

    void hold(double now);
    /// Never takes the holders below 0.
    void release(double now);
    /// False until the first hold.
    bool running(double now) const;
    /// When the capture may stop: nothing while held or before the first hold.
    std::optional<double> idleAt() const;

    double lingerS() const { return lingerS_; }
    int holders() const { return holders_; }
    std::optional<double> lastWanted() const { return lastWanted_; }

  private:
    double lingerS_;
    int holders_ = 0;
    std::optional<double> lastWanted_;
};

}  // namespace tavrel
