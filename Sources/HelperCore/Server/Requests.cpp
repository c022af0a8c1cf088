#include "HelperCore/Server/Requests.hpp"

#include <nlohmann/json.hpp>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSONMembers.hpp"
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
    std::optional<double> since;
};

std::optional<Crop> cropAt(const JSONMembers& members, const char* key) {
    const json* value = members.find(key);
    if (!value) return std::nullopt;
    return value->get<Crop>();
}

std::optional<std::vector<HIDEvent>> eventsAt(const JSONMembers& members, const char* key) {
    const json* value = members.array(key);
    if (!value) return std::nullopt;
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
    const JSONMembers members(document, "a request");
    Raw raw;
    raw.op = members.string("op");
    raw.maxWidth = members.integer("max_width");
    raw.quality = members.integer("quality");
    raw.crop = cropAt(members, "crop");
    raw.events = eventsAt(members, "events");
    raw.fps = members.integer("fps");
    raw.scale = members.number("scale");
    raw.keyFrameS = members.number("key_frame_s");
    raw.bitrate = members.integer("bitrate");
    raw.since = members.number("since");
    return raw;
}

}  // namespace

Request Request::decode(std::span<const std::uint8_t> bytes) {
    Raw raw;
    try {
        raw = read(bytes);
    } catch (const JSONMemberError& error) {
        throw HelperFailure("a request that is not one: " + error.tagged(), 400);
    } catch (const json::exception& error) {
        // Text that does not parse, and a crop's own failures.
        throw HelperFailure(std::string("a request that is not one: ") + error.what(), 400);
    }

    const std::string op = raw.op.value_or("none");
    if (op == "hello") return hello();
    if (op == "describe") return describe();
    if (op == "accessibility") return accessibility();
    if (op == "replay") return replay();
    if (op == "touches") return touches(raw.since);
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
        case Kind::replay:
            return "replay";
        case Kind::touches:
            return "touches";
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
    if (hello.replaySeconds) object["replay_seconds"] = *hello.replaySeconds;
}

void to_json(json& object, const ImageSize& size) {
    object = json{{"width", size.width}, {"height", size.height}};
}

}  // namespace tavrel
