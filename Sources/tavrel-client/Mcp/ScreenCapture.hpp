#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>

#include "HelperCore/Screenshot/Screen.hpp"
#include "tavrel-client/Mcp/McpDevices.hpp"

namespace tavrel::client::mcp {

/// Screenshots sized for a model, and waiting for the screen to be still.
namespace ScreenCapture {

/// The longest side a model takes without scaling the picture down itself.
inline constexpr std::int64_t longestSide = 1568;
/// A whole tool result stays under this many bytes.
inline constexpr std::size_t resultLimit = 1000000;

struct Wanted {
    std::optional<std::int64_t> maxWidth;
    std::optional<std::int64_t> quality;
    std::optional<Crop> crop;
};

/// The width to ask the helper for: `maxWidth` when given, else the region's width in points;
/// then narrowed so that the long side stays within `longestSide`.
std::int64_t width(const Wanted& wanted, double regionWidthPt, double regionHeightPt);

/// The content blocks: the JPEG as an image block and a text block with its size and the
/// pixels a point makes. Lowers the quality, then the width, until the blocks fit in
/// `resultLimit`. Throws HelperFailure.
nlohmann::json blocks(McpDevice& device, const Wanted& wanted);

/// Waits until the screen shows no new picture for 300 ms (at most 3 s, or until `stop`).
/// Returns whether it became still.
bool settle(McpDevice& device, std::stop_token stop);

/// Standard base64 with padding.
std::string base64(const Bytes& bytes);

}  // namespace ScreenCapture
}  // namespace tavrel::client::mcp
