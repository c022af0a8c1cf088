#include "HelperPlatform/Simulator/HIDTransports.hpp"

#include <dlfcn.h>

#include <chrono>
#include <semaphore>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"

namespace tavrel {

namespace {

using EndpointFromPort = xpc_endpoint_t (*)(std::uint32_t port);
using ConnectionFromEndpoint = xpc_connection_t (*)(xpc_endpoint_t endpoint);
using EnableSim2Host = void (*)(xpc_connection_t connection);

constexpr auto barrierLimit = std::chrono::seconds(2);
// The main display, as SimulatorKit's builders address it.
constexpr std::uint32_t indigoTarget = 0x32;

std::uint64_t state(bool down) {
    return down ? 1 : 2;
}

XPCRef emptyDictionary() {
    return XPCRef(xpc_dictionary_create(nullptr, nullptr, 0));
}

std::string errorText(const foreign::Value& error) {
    if (!error) return "no reason";
    for (const char* key : {"localizedDescription", "description"}) {
        if (!foreign::respondsTo(error, key)) continue;
        if (auto text = foreign::send(error, key).asString(); text && !text->empty()) return *text;
    }
    return "no reason";
}

}  // namespace

RuntimeNames RuntimeNames::process() {
    return RuntimeNames{
        [](const char* name) { return dlsym(RTLD_DEFAULT, name); },
        [](const std::string& name) { return foreign::lookUpClass(name); },
    };
}

// DTUHIDTransport

DTUHIDTransport::DTUHIDTransport(const std::shared_ptr<SimDeviceHandle>& device)
    : DTUHIDTransport([device](const std::string& name) { return device->lookup(name); },
                      RuntimeNames::process()) {}

DTUHIDTransport::DTUHIDTransport(const ServiceLookup& lookup, const RuntimeNames& names) {
    auto endpointFromPort =
        reinterpret_cast<EndpointFromPort>(names.symbol("xpc_endpoint_create_mach_port_4sim"));
    auto connectionFromEndpoint = reinterpret_cast<ConnectionFromEndpoint>(
        names.symbol("xpc_connection_create_from_endpoint"));
    auto enable =
        reinterpret_cast<EnableSim2Host>(names.symbol("xpc_connection_enable_sim2host_4sim"));
    if (!endpointFromPort || !connectionFromEndpoint || !enable)
        throw HelperFailure("this macOS has no XPC calls for a simulator's services", 502);

    auto port = lookup(service);
    if (!port) throw HelperFailure(std::string("the simulator publishes no ") + service, 502);

    XPCRef endpoint(endpointFromPort(*port));
    if (endpoint) connection_ = XPCRef(connectionFromEndpoint(endpoint.get()));
    if (!connection_) throw HelperFailure(std::string("no XPC connection to ") + service, 502);

    enable(connection_.get());
    xpc_connection_set_event_handler(connection_.get(), [](xpc_object_t) {});
    xpc_connection_resume(connection_.get());
}

DTUHIDTransport::~DTUHIDTransport() {
    if (connection_) xpc_connection_cancel(connection_.get());
}

DTUHIDTransport::Message DTUHIDTransport::message(const HIDStep& step) {
    auto payload = emptyDictionary();
    auto* p = payload.get();
    if (auto* touch = step.asTouch()) {
        // Finger 0 keeps the keys a one-finger report always had; finger 1 adds its own pair.
        auto contact = [p](const HIDStep::Contact& finger, const char* pointKey,
                           const char* phaseKey) {
            auto point = emptyDictionary();
            xpc_dictionary_set_double(point.get(), "x", finger.x);
            xpc_dictionary_set_double(point.get(), "y", finger.y);
            xpc_dictionary_set_value(p, pointKey, point.get());
            xpc_dictionary_set_uint64(p, phaseKey, rawValue(finger.phase));
        };
        if (touch->one) contact(*touch->one, "pointOne", "eventType");
        if (touch->two) contact(*touch->two, "pointTwo", "eventTypeTwo");
        xpc_dictionary_set_uint64(p, "edge", 0);
        xpc_dictionary_set_uint64(p, "target", 0);
        return {"IndigoDigitizerEvent", std::move(payload)};
    }
    if (auto* button = step.asButton()) {
        xpc_dictionary_set_uint64(p, "usagePage", button->usage.page);
        xpc_dictionary_set_uint64(p, "usageCode", button->usage.code);
        xpc_dictionary_set_uint64(p, "state", state(button->down));
        return {"IndigoButtonEvent", std::move(payload)};
    }
    const auto& key = *step.asKey();
    xpc_dictionary_set_uint64(p, "usageCode", key.code);
    xpc_dictionary_set_uint64(p, "state", state(key.down));
    return {"IndigoKeyboardButtonEvent", std::move(payload)};
}

XPCRef DTUHIDTransport::dictionary(const HIDStep& step) {
    auto [type, payload] = message(step);
    auto out = emptyDictionary();
    xpc_dictionary_set_string(out.get(), "messageType", type.c_str());
    xpc_dictionary_set_bool(out.get(), "isBarrier", false);
    xpc_dictionary_set_string(out.get(), "featureIdentifier", service);
    xpc_dictionary_set_value(out.get(), "payload", payload.get());
    return out;
}

void DTUHIDTransport::send(const HIDStep& step) {
    xpc_connection_send_message(connection_.get(), dictionary(step).get());
    // Shared with the barrier, which may still run after this call has given up.
    auto done = std::make_shared<std::binary_semaphore>(0);
    xpc_connection_send_barrier(connection_.get(), [done] { done->release(); });
    if (!done->try_acquire_for(barrierLimit))
        throw HelperFailure("input to the simulator did not go out within 2 seconds", 504);
}

// IndigoTransport

IndigoTransport::IndigoTransport(const std::shared_ptr<SimDeviceHandle>& device)
    : IndigoTransport(device->object(), RuntimeNames::process()) {}

IndigoTransport::IndigoTransport(const foreign::Value& device, const RuntimeNames& names) {
    mouse_ = reinterpret_cast<MouseBuilder>(names.symbol("IndigoHIDMessageForMouseNSEvent"));
    button_ = reinterpret_cast<ButtonBuilder>(names.symbol("IndigoHIDMessageForHIDArbitrary"));
    key_ = reinterpret_cast<KeyBuilder>(names.symbol("IndigoHIDMessageForKeyboardArbitrary"));
    if (!mouse_ || !button_ || !key_)
        throw HelperFailure("this SimulatorKit has no Indigo message builders", 502);

    auto cls = names.classNamed(clientClass);
    auto root = foreign::rootClass();
    if (!cls || !root || !cls->isSubclassOf(*root))
        throw HelperFailure("this SimulatorKit has no legacy HID client", 502);
    auto initialise = cls->instanceMethod("initWithDevice:error:");
    if (!initialise) throw HelperFailure("the legacy HID client cannot be made", 502);

    auto error = std::make_shared<foreign::Value>();
    auto client = ForeignCalls::guarded("making the legacy HID client", [&] {
        auto instance = cls->allocate();
        return initialise(instance, {device, foreign::Value(error)});
    });
    if (!foreign::isKindOf(client, *root))
        throw HelperFailure("the legacy HID client could not be made: " + errorText(*error), 502);
    client_ = client.asObject();

    send_ = foreign::methodFor(client_, sendSelector);
    if (!send_) throw HelperFailure("the legacy HID client cannot send", 502);
}

void* IndigoTransport::build(const HIDStep& step) const {
    if (auto* touch = step.asTouch()) {
        // The driver keeps a second finger away from a transport of one.
        if (!touch->one || touch->two)
            throw HelperFailure(name() + " input carries one finger", 409);
        const double point[2] = {touch->one->x, touch->one->y};
        std::uint32_t eventType = touch->one->phase == DigitizerPhase::end ? 2 : 1;
        return mouse_(point, nullptr, indigoTarget, eventType, 0, 1.0, 1.0);
    }
    if (auto* button = step.asButton())
        return button_(indigoTarget, button->usage.page, button->usage.code, button->down ? 1 : 2);
    const auto& key = *step.asKey();
    return key_(key.code, key.down ? 1 : 2);
}

void IndigoTransport::send(const HIDStep& step) {
    void* message = build(step);
    if (message == nullptr)
        throw HelperFailure("SimulatorKit would not build an input message", 502);
    // SimulatorKit frees the message once it is done with it.
    ForeignCalls::guarded("sending input", [&] {
        send_(client_, {foreign::Value::pointer(message), foreign::Value(true), foreign::Value(),
                        foreign::Value()});
    });
}

}  // namespace tavrel
