#pragma once

#include <string>

#include "HelperCore/Input/HIDEvent.hpp"

namespace tavrel {

/// A route by which input steps reach a device ("dtuhid" or "indigo" for a simulator).
/// `send` may be called from several threads at once and must be safe for it.
class HIDTransport {
  public:
    virtual ~HIDTransport() = default;

    /// The transport's name, as the hello reports it.
    virtual std::string name() const = 0;
    /// Delivers one step and returns once it has gone out; throws `HelperFailure` otherwise.
    virtual void send(const HIDStep& step) = 0;
    /// How many fingers one digitizer report can carry. A route with one never receives a
    /// report with a second finger: the driver refuses such requests before sending.
    virtual int fingers() const { return 1; }
};

}  // namespace tavrel
