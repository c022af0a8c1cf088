#include "SimulatedPlatform/Frameworks/CoreSimulator/DigitizerService.hpp"

#include <cmath>
#include <cstring>

namespace tavrel::coresim {

namespace {

std::optional<bool> pressed(xpc_object_t payload) {
    switch (xpc_dictionary_get_uint64(payload, "state")) {
        case 1:
            return true;
        case 2:
            return false;
        default:
            return std::nullopt;
    }
}

// One finger of a report: a point of two finite doubles and a phase; nothing when it is
// missing or malformed.
std::optional<sim::Contact> contact(xpc_object_t payload, const char* pointKey,
                                    const char* phaseKey, double widthPt, double heightPt) {
    xpc_object_t point = xpc_dictionary_get_value(payload, pointKey);
    auto x = xpc_dictionary_get_value(point, "x"), y = xpc_dictionary_get_value(point, "y");
    auto phase = xpc_dictionary_get_uint64(payload, phaseKey);
    if (xpc_get_type(x) != xpc_type_t::real || xpc_get_type(y) != xpc_type_t::real || phase > 2)
        return std::nullopt;
    double fx = xpc_double_get_value(x), fy = xpc_double_get_value(y);
    if (!std::isfinite(fx) || !std::isfinite(fy)) return std::nullopt;
    return sim::Contact{static_cast<sim::TouchPhase>(phase), fx * widthPt, fy * heightPt};
}

}  // namespace

std::optional<sim::InputEvent> digitizerEvent(xpc_object_t message, double widthPt,
                                              double heightPt) {
    const char* type = xpc_dictionary_get_string(message, "messageType");
    const char* feature = xpc_dictionary_get_string(message, "featureIdentifier");
    xpc_object_t payload = xpc_dictionary_get_value(message, "payload");
    if (type == nullptr || feature == nullptr || std::strcmp(feature, digitizerServiceName) != 0 ||
        xpc_get_type(payload) != xpc_type_t::dictionary)
        return std::nullopt;

    if (std::strcmp(type, "IndigoDigitizerEvent") == 0) {
        // A report without "pointTwo" is the first finger's alone; with it, the first finger
        // takes part only when "pointOne" is there too.
        if (!xpc_dictionary_get_value(payload, "pointTwo")) {
            auto one = contact(payload, "pointOne", "eventType", widthPt, heightPt);
            if (!one) return std::nullopt;
            return sim::InputEvent::touch(one->phase, one->x, one->y);
        }
        auto two = contact(payload, "pointTwo", "eventTypeTwo", widthPt, heightPt);
        std::optional<sim::Contact> one;
        if (xpc_dictionary_get_value(payload, "pointOne")) {
            one = contact(payload, "pointOne", "eventType", widthPt, heightPt);
            if (!one) return std::nullopt;
        }
        if (!two) return std::nullopt;
        return sim::InputEvent::touches(one, two);
    }
    auto down = pressed(payload);
    if (!down) return std::nullopt;
    auto usage = xpc_dictionary_get_uint64(payload, "usageCode");
    if (usage > UINT32_MAX) return std::nullopt;
    if (std::strcmp(type, "IndigoButtonEvent") == 0) {
        auto page = xpc_dictionary_get_uint64(payload, "usagePage");
        if (page > UINT32_MAX) return std::nullopt;
        return sim::InputEvent::button(static_cast<uint32_t>(page), static_cast<uint32_t>(usage),
                                       *down);
    }
    if (std::strcmp(type, "IndigoKeyboardButtonEvent") == 0)
        return sim::InputEvent::key(static_cast<uint32_t>(usage), *down);
    return std::nullopt;
}

DigitizerService::DigitizerService(std::shared_ptr<DeviceConnection> device)
    : device_(device), listener_([device](xpc_object_t message) {
          auto link = device->link();
          auto& info = link->info();
          if (auto event = digitizerEvent(message, info.widthPt, info.heightPt))
              link->send(*event);  // returns once applied, so a barrier after it means "applied"
      }) {}

}  // namespace tavrel::coresim
