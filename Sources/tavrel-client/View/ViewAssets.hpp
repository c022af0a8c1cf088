#pragma once

#include <optional>
#include <string_view>

namespace tavrel::client {

/// One file of the viewer page, embedded in the program at build time from web/.
struct ViewAsset {
    std::string_view contentType;
    std::string_view bytes;
};

/// The file served at `path` ("/index.html", "/viewer.js", ...), if the page has one.
std::optional<ViewAsset> viewAsset(std::string_view path);

}  // namespace tavrel::client
