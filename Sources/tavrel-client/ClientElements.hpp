#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tavrel::client {

/// Looks up elements of an accessibility document by identifier.
namespace ClientElements {

/// The first element, depth first through "children", whose "identifier" is `identifier`.
std::optional<nlohmann::json> find(const nlohmann::json& document, const std::string& identifier);

/// The centre of an element's "frame", in points. Throws HelperFailure (502) when the element
/// has no readable frame.
std::pair<double, double> center(const nlohmann::json& element);

}  // namespace ClientElements

}  // namespace tavrel::client
