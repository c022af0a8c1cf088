#include "HelperPlatform/Simulator/SimDeviceHandle.hpp"

#include <limits>
#include <utility>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel {

using foreign::Value;

SimDeviceHandle::SimDeviceHandle(std::string udid, const std::string& developerDir)
    : udid_(std::move(udid)) {
    auto context = foreign::lookUpClass("SimServiceContext");
    auto root = foreign::rootClass();
    if (!context || !root || !context->isSubclassOf(*root))
        throw HelperFailure("CoreSimulator has no SimServiceContext", 409);

    auto service = ForeignCalls::guarded("SimServiceContext", [&] {
        return foreign::send(context, "sharedServiceContextForDeveloperDir:error:", developerDir,
                             Value());
    });
    if (!service.asObject())
        throw HelperFailure("CoreSimulator's service for " + developerDir + " is not reachable",
                            409);

    auto set = ForeignCalls::guarded("the default device set", [&] {
        return foreign::send(service, "defaultDeviceSetWithError:", Value());
    });
    auto devices = ForeignCalls::guarded("the device list", [&] {
        auto value = foreign::valueForKey(set, "devices");
        auto list = value.asList();
        return list ? foreign::List(*list) : foreign::List{};
    });

    for (const auto& device : devices) {
        if (!device.asObject()) continue;
        // A device whose UDID cannot be read is skipped, not fatal for the rest.
        std::optional<foreign::UUID> uuid;
        try {
            uuid = ForeignCalls::guarded(
                "the device list", [&] { return foreign::valueForKey(device, "UDID").asUUID(); });
        } catch (const HelperFailure&) {
            continue;
        }
        if (uuid && uuid->text() == udid_) {
            object_ = device;
            return;
        }
    }
    throw HelperFailure("no simulator " + udid_ + " in the device set of " + developerDir, 404);
}

std::string SimDeviceHandle::state() const {
    try {
        auto value = ForeignCalls::guarded(
            "the device's state", [&] { return foreign::valueForKey(object_, "stateString"); });
        if (auto text = value.asString()) return std::string(*text);
    } catch (const HelperFailure&) {
    }
    return "Unknown";
}

void SimDeviceHandle::requireBooted() const {
    auto current = state();
    if (current != "Booted")
        throw HelperFailure("the simulator " + udid_ + " is not booted (" + current + ")", 409);
}

ScreenGeometry SimDeviceHandle::screen() const {
    auto type = ForeignCalls::guarded("the device type", [&] {
        auto value = foreign::valueForKey(object_, "deviceType");
        return value.asObject();
    });
    if (!type) throw HelperFailure("the simulator " + udid_ + " has no device type", 502);
    auto sizeMethod = foreign::methodFor(type, "mainScreenSize");
    auto scaleMethod = foreign::methodFor(type, "mainScreenScale");
    if (!sizeMethod || !scaleMethod)
        throw HelperFailure("the simulator's device type does not say its screen size", 502);
    auto [size, scale] = ForeignCalls::guarded("the device type", [&] {
        return std::pair(sizeMethod(type, {}).asSize(), scaleMethod(type, {}).asDouble());
    });
    double nan = std::numeric_limits<double>::quiet_NaN();
    // A method that answers something other than a size gives no usable size.
    return ScreenGeometry::of(size ? size->width : nan, size ? size->height : nan,
                              scale ? static_cast<double>(static_cast<float>(*scale)) : nan);
}

std::optional<std::uint32_t> SimDeviceHandle::lookup(const std::string& service) const {
    auto method = foreign::methodFor(object_, "lookup:error:");
    if (!method) return std::nullopt;
    auto port = ForeignCalls::guarded("looking up " + service, [&] {
        auto errorSlot = std::make_shared<Value>();
        return method(object_.asObject(), {Value(service), Value(errorSlot)}).asUInt64();
    });
    if (!port || *port == 0 || *port > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(*port);
}

}  // namespace tavrel
