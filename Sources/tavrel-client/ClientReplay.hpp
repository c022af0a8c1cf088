#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "HelperCore/Server/Wire.hpp"

namespace tavrel::client {

/// The last seconds a helper keeps of its screen, saved as a movie with the touches painted on.
namespace ClientReplay {

/// Renders the helper's answer to a replay request (the frame file in its binary part, the
/// touches in its JSON part) into `mp4` and, when given, `gif`, through a frame file and a job kept
/// in a private folder, removed afterwards. Gives render's report with the number of touches
/// painted. Throws HelperFailure.
nlohmann::json save(const Frame& reply, const std::string& mp4,
                    const std::optional<std::string>& gif);

}  // namespace ClientReplay
}  // namespace tavrel::client
