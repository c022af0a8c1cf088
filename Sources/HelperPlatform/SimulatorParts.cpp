#include "HelperCore/HelperFailure.hpp"
#include "HelperPlatform/HIDTransports.hpp"
#include "HelperPlatform/SimulatorDevice.hpp"
#if __has_include("HelperPlatform/AccessibilityReader.hpp")
#include "HelperPlatform/AccessibilityReader.hpp"
#define TAVREL_HAS_ACCESSIBILITY_READER 1
#endif

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
#ifdef TAVREL_HAS_ACCESSIBILITY_READER
        auto reader = std::make_shared<AccessibilityReader>(device);
        return [reader] { return reader->tree(); };
#else
        (void)device;
        throw HelperFailure("AccessibilityPlatformTranslation is not on this Mac", 502);
#endif
    };
    return parts;
}

}  // namespace tavrel
