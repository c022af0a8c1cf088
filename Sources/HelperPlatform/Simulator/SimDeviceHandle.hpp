#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "HelperCore/Screenshot/ScreenGeometry.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Value.hpp"

namespace tavrel {

/// One simulator in CoreSimulator's default device set, reached by name through the loaded
/// frameworks. Made once per run and shared (as `std::shared_ptr<SimDeviceHandle>`) by the
/// framebuffer, the HID transports and the accessibility reader; it keeps the framework's
/// device object alive and never refreshes it.
///
/// Threads: immutable after construction; every operation may be called from any thread.
class SimDeviceHandle {
  public:
    /// Finds the device whose UDID's canonical upper-case text equals `udid` exactly. Needs the
    /// frameworks loaded. Throws `HelperFailure`: 409 when CoreSimulator has no service context
    /// or it is not reachable for `developerDir`, 404 when the UDID is not in the device set,
    /// 502 when the framework raised.
    SimDeviceHandle(std::string udid, const std::string& developerDir);

    const std::string& udid() const { return udid_; }
    /// The framework's device object ("SimDevice").
    const foreign::Value& object() const { return object_; }

    /// The device's state text ("Booted", "Shutdown", ...), "Unknown" when unreadable.
    std::string state() const;
    /// Throws 409 "the simulator {udid} is not booted ({state})" unless the state is "Booted".
    void requireBooted() const;

    /// The device type's screen. Throws 502 when the device has no type or the type does not
    /// say its size, or when the size is not a size.
    ScreenGeometry screen() const;

    /// The port of a service the simulator publishes, or nothing.
    std::optional<std::uint32_t> lookup(const std::string& service) const;

  private:
    std::string udid_;
    foreign::Value object_;
};

}  // namespace tavrel
