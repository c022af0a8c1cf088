#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::client::mcp {

/// Finding elements of the helper's accessibility document the way the tools name them.
namespace ElementQuery {

/// Every element, depth first, children left out of each copy.
std::vector<nlohmann::json> flatten(const nlohmann::json& document);

/// find_elements: identifier exact, label case-insensitive substring, role with or without the
/// "AX" prefix, case-insensitive; absent criteria match everything.
std::vector<nlohmann::json> match(const nlohmann::json& document,
                                  const std::optional<std::string>& identifier,
                                  const std::optional<std::string>& label,
                                  const std::optional<std::string>& role);

/// Elements whose identifier or label is exactly `name`.
std::vector<nlohmann::json> named(const nlohmann::json& document, const std::string& name);

/// The one element `name` names; otherwise a ToolError saying why and listing the candidates
/// (the exact matches, or else elements whose label contains the name).
nlohmann::json only(const nlohmann::json& document, const std::string& name);

/// The centre of an element's frame, in points.
std::pair<double, double> center(const nlohmann::json& element);

/// The element's value as text: strings as they are, numbers in their shortest form ("1",
/// "0.5"), null when it has none.
std::optional<std::string> valueText(const nlohmann::json& element);

}  // namespace ElementQuery
}  // namespace tavrel::client::mcp
