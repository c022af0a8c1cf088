#include "HelperCore/Server/Requests.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Commands/Version.hpp"
#include "HelperCore/Server/Wire.hpp"

namespace tavrel {
namespace {

using json = nlohmann::json;

// Every member a request document may carry, read whatever the op: a member of the wrong type
// makes the whole document unreadable even when its op would not use it.
struct Raw {
    std::optional<std::string> op;
    std::optional<std::int64_t> maxWidth;
    std::optional<std::int64_t> quality;
    std::optional<Crop> crop;
    std::optional<std::vector<HIDEvent>> events;
    std::optional<std::int64_t> fps;
    std::optional<double> scale;
    std::optional<double> keyFrameS;
    std::optional<std::int64_t> bitrate;
};

[[noreturn]] void wrongType(const json& value, const char* key, const char* wanted) {
    throw json::type_error::create(302,
                                   std::string("type must be ") + wanted + " for \"" + key +
                                       "\" of a request, but is " + value.type_name(),
                                   &value);
}

// The member, or nothing when it is absent or null.
const json* member(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

std::optional<std::string> stringAt(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_string()) wrongType(*value, key, "string");
    return value->get<std::string>();
}

std::optional<double> numberAt(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_number()) wrongType(*value, key, "number");
    return value->get<double>();
}

// Integral numbers only; 4.0 counts as the integer 4, 4.5 and 1e300 count as none.
std::optional<std::int64_t> integerAt(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(number);
    } else if (value->is_number_integer()) {
        return value->get<std::int64_t>();
    } else if (value->is_number_float()) {
        const double number = value->get<double>();
        if (std::trunc(number) == number && number >= -0x1p63 && number < 0x1p63)
            return static_cast<std::int64_t>(number);
    } else {
        wrongType(*value, key, "integer");
    }
    throw json::out_of_range::create(
        406, "number " + value->dump() + " for \"" + key + "\" is not a 64-bit integer", value);
}

std::optional<Crop> cropAt(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    return value->get<Crop>();
}

std::optional<std::vector<HIDEvent>> eventsAt(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_array()) wrongType(*value, key, "array");
    std::vector<HIDEvent> events;
    events.reserve(value->size());
    for (const json& event : *value) events.push_back(HIDEvent::decode(event));
    return events;
}

// The deepest nesting a request needs is 3 ({"events":[{...}]}). A parsed tree costs some
// fifty times the text of an empty array, so deeper documents are refused before parsing.
constexpr int maximumDepth = 32;

bool nestsTooDeep(std::span<const std::uint8_t> bytes) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t byte = bytes[i];
        if (inString) {
            if (byte == '\\')
                ++i;
            else if (byte == '"')
                inString = false;
        } else if (byte == '"') {
            inString = true;
        } else if (byte == '[' || byte == '{') {
            if (++depth > maximumDepth) return true;
        } else if (byte == ']' || byte == '}') {
            --depth;
        }
    }
    return false;
}

Raw read(std::span<const std::uint8_t> bytes) {
    if (nestsTooDeep(bytes)) {
        throw HelperFailure("a request that is not one: nested deeper than " +
                                std::to_string(maximumDepth) + " levels",
                            400);
    }
    const json document = json::parse(bytes.begin(), bytes.end());
    if (!document.is_object())
        throw json::type_error::create(
            302, std::string("type must be object for a request, but is ") + document.type_name(),
            &document);
    Raw raw;
    raw.op = stringAt(document, "op");
    raw.maxWidth = integerAt(document, "max_width");
    raw.quality = integerAt(document, "quality");
    raw.crop = cropAt(document, "crop");
    raw.events = eventsAt(document, "events");
    raw.fps = integerAt(document, "fps");
    raw.scale = numberAt(document, "scale");
    raw.keyFrameS = numberAt(document, "key_frame_s");
    raw.bitrate = integerAt(document, "bitrate");
    return raw;
}

}  // namespace

Request Request::decode(std::span<const std::uint8_t> bytes) {
    Raw raw;
    try {
        raw = read(bytes);
    } catch (const json::exception& error) {
        throw HelperFailure(std::string("a request that is not one: ") + error.what(), 400);
    }

    const std::string op = raw.op.value_or("none");
    if (op == "hello") return hello();
    if (op == "describe") return describe();
    if (op == "accessibility") return accessibility();
    if (op == "screenshot") {
        ScreenshotRequest request;
        if (raw.maxWidth) request.maxWidth = *raw.maxWidth;
        if (raw.quality) request.quality = *raw.quality;
        request.crop = raw.crop;
        return screenshot(request);
    }
    if (op == "hid") return hid(raw.events.value_or(std::vector<HIDEvent>{}));
    if (op == "stream") {
        if (!raw.fps || !raw.scale || !raw.keyFrameS || !raw.bitrate)
            throw HelperFailure("a stream needs fps, scale, key_frame_s and bitrate", 400);
        return stream(StreamSettings{*raw.fps, *raw.scale, *raw.keyFrameS, *raw.bitrate});
    }
    throw HelperFailure("not a request this helper knows: " + op, 400);
}

std::string_view Request::op() const noexcept {
    switch (kind_) {
        case Kind::screenshot:
            return "screenshot";
        case Kind::hid:
            return "hid";
        case Kind::stream:
            return "stream";
        case Kind::hello:
            return "hello";
        case Kind::describe:
            return "describe";
        case Kind::accessibility:
            return "accessibility";
    }
    return "none";
}

Hello::Hello(std::optional<std::string> coreSimulator, std::optional<std::string> hid,
             std::vector<std::string> reasons, ScreenGeometry screen,
             std::optional<std::string> source)
    : wire(Wire::version),
      version(helperVersion),
      coreSimulator(std::move(coreSimulator)),
      hid(std::move(hid)),
      reasons(std::move(reasons)),
      screen(screen),
      source(std::move(source)) {}

namespace {

json textOrNull(const std::optional<std::string>& text) {
    return text ? json(*text) : json(nullptr);
}

}  // namespace

void to_json(json& object, const Hello& hello) {
    object = json::object();
    object["wire"] = hello.wire;
    object["version"] = hello.version;
    object["core_simulator"] = textOrNull(hello.coreSimulator);
    object["hid"] = textOrNull(hello.hid);
    object["reasons"] = hello.reasons;
    object["screen"] = hello.screen;
    object["source"] = textOrNull(hello.source);
}

void to_json(json& object, const ImageSize& size) {
    object = json{{"width", size.width}, {"height", size.height}};
}

}  // namespace tavrel
