#include "HelperPlatform/Simulator/AccessibilityReader.hpp"
#include "HelperPlatform/Simulator/HIDTransports.hpp"
#include "HelperPlatform/Simulator/SimulatorDevice.hpp"

namespace tavrel {

SimulatorParts SimulatorParts::standard() {
    SimulatorParts parts;
    parts.transport =
        [](const std::string& name,
           const std::shared_ptr<SimDeviceHandle>& device) -> std::shared_ptr<HIDTransport> {
        if (name == "dtuhid") return std::make_shared<DTUHIDTransport>(device);
        return std::make_shared<IndigoTransport>(device);
    };
    parts.reader = [](const std::shared_ptr<SimDeviceHandle>& device) -> std::function<AXNode()> {
        auto reader = std::make_shared<AccessibilityReader>(device);
        return [reader] { return reader->tree(); };
    };
    return parts;
}

}  // namespace tavrel
