#include "HelperCore/HelperFailure.hpp"
#include "HelperPlatform/SimulatorDevice.hpp"

namespace tavrel {

SimulatorParts SimulatorParts::standard() {
    SimulatorParts parts;
    parts.transport = [](const std::string& name,
                         const std::shared_ptr<SimDeviceHandle>&) -> std::shared_ptr<HIDTransport> {
        throw HelperFailure("this helper has no " + name + " transport", 502);
    };
    parts.reader = [](const std::shared_ptr<SimDeviceHandle>&) -> std::function<AXNode()> {
        throw HelperFailure("this helper cannot read a simulator's element tree", 502);
    };
    return parts;
}

}  // namespace tavrel
