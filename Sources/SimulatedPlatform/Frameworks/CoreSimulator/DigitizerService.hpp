// The device side of the digitizer service "com.apple.coredevice.feature.remote.hid.digitizer":
// XPC messages in, the device's input events out.
#pragma once

#include <memory>
#include <optional>

#include "SimulatedPlatform/Frameworks/CoreSimulator/DeviceConnection.hpp"
#include "SimulatedPlatform/Runtime/XPC/XPCService.hpp"

namespace tavrel::coresim {

inline constexpr const char* digitizerServiceName =
    "com.apple.coredevice.feature.remote.hid.digitizer";

// The event a digitizer message stands for; nothing for a message it does not understand.
// Touch positions arrive as 0…1 fractions of the screen and leave in points.
std::optional<sim::InputEvent> digitizerEvent(xpc_object_t message, double widthPt,
                                              double heightPt);

class DigitizerService {
  public:
    // Throws std::runtime_error when the service cannot listen.
    explicit DigitizerService(std::shared_ptr<DeviceConnection> device);
    uint32_t port() const { return listener_.port(); }

  private:
    std::shared_ptr<DeviceConnection> device_;
    xpc::ServiceListener listener_;
};

}  // namespace tavrel::coresim
