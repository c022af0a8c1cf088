#include "HelperCore/Video/StreamSettings.hpp"

#include <nlohmann/json.hpp>
#include <string>

#include "HelperCore/Base/JSONMembers.hpp"

namespace tavrel {

void to_json(nlohmann::json& json, const StreamSettings& settings) {
    json = nlohmann::json{{"fps", settings.fps},
                          {"scale", settings.scale},
                          {"key_frame_s", settings.keyFrameS},
                          {"bitrate", settings.bitrate}};
}

void from_json(const nlohmann::json& json, StreamSettings& settings) {
    const JSONMembers members(json, "stream settings");
    settings =
        StreamSettings{members.requiredInteger("fps"), members.requiredNumber("scale"),
                       members.requiredNumber("key_frame_s"), members.requiredInteger("bitrate")};
}

}  // namespace tavrel
