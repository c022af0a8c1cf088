#include "HelperCore/Video/StreamSettings.hpp"

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace tavrel {

void to_json(nlohmann::json& json, const StreamSettings& settings) {
    json = nlohmann::json{{"fps", settings.fps},
                          {"scale", settings.scale},
                          {"key_frame_s", settings.keyFrameS},
                          {"bitrate", settings.bitrate}};
}

namespace {

[[noreturn]] void refuse(const nlohmann::json& value, const char* key, const char* wanted) {
    throw nlohmann::json::type_error::create(
        302, std::string("\"") + key + "\" must be " + wanted + ", but is " + value.type_name(),
        &value);
}

std::int64_t integerAt(const nlohmann::json& json, const char* key) {
    const auto& value = json.at(key);
    if (value.is_number_unsigned()) {
        // The library keeps non-negative integers unsigned; refuse what a signed one cannot hold.
        if (value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw nlohmann::json::out_of_range::create(
                406, std::string("\"") + key + "\" is too large", &value);
        return static_cast<std::int64_t>(value.get<std::uint64_t>());
    }
    if (!value.is_number_integer()) refuse(value, key, "an integer");
    return value.get<std::int64_t>();
}

double numberAt(const nlohmann::json& json, const char* key) {
    const auto& value = json.at(key);
    if (!value.is_number()) refuse(value, key, "a number");
    return value.get<double>();
}

}  // namespace

void from_json(const nlohmann::json& json, StreamSettings& settings) {
    if (!json.is_object()) refuse(json, "stream settings", "an object");
    settings = StreamSettings{integerAt(json, "fps"), numberAt(json, "scale"),
                              numberAt(json, "key_frame_s"), integerAt(json, "bitrate")};
}

}  // namespace tavrel
