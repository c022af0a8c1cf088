#include "HelperCore/Base/JSON.hpp"

#include <cmath>

namespace tavrel {

void to_json(nlohmann::json& json, const JSONValue& value) {
    std::visit(
        [&json](const auto& payload) {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, JSONValue::Null>) {
                json = nullptr;
            } else if constexpr (std::is_same_v<T, JSONValue::Array>) {
                json = nlohmann::json::array();
                for (const auto& element : payload) json.push_back(element);
            } else if constexpr (std::is_same_v<T, JSONValue::Object>) {
                json = nlohmann::json::object();
                for (const auto& [key, member] : payload) json[key] = member;
            } else {
                json = payload;
            }
        },
        value.storage());
}

namespace {

bool hasNonFinite(const nlohmann::json& value) {
    if (value.is_number_float()) return !std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const auto& child : value)
            if (hasNonFinite(child)) return true;
    }
    return false;
}

void replaceNonFinite(nlohmann::json& value) {
    if (value.is_number_float()) {
        double number = value.get<double>();
        if (std::isnan(number)) value = "nan";
        else if (std::isinf(number)) value = number > 0 ? "inf" : "-inf";
    } else if (value.is_structured()) {
        for (auto& child : value) replaceNonFinite(child);
    }
}

// A text that is not valid UTF-8 (a framework's label, a byte from a hostile request echoed in a
// failure) must not cost the whole document: its bad bytes become U+FFFD.
std::string dump(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

namespace JSON {

std::string encode(const nlohmann::json& value) noexcept {
    try {
        // The library writes non-finite numbers as null; the helper's documents want words.
        if (hasNonFinite(value)) {
            nlohmann::json copy = value;
            replaceNonFinite(copy);
            return dump(copy);
        }
        return dump(value);
    } catch (...) {
        return "{}";
    }
}

}  // namespace JSON
}  // namespace tavrel
