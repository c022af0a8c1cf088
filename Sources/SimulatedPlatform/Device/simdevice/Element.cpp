#include "SimulatedPlatform/Device/simdevice/Element.hpp"

namespace tavrel::sim {
namespace {

nlohmann::json optionalText(const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json();
}

}  // namespace

const Element* Element::find(const std::string& identifierWanted) const {
    if (identifier == identifierWanted) return this;
    for (const auto& child : children) {
        if (const Element* found = child.find(identifierWanted)) return found;
    }
    return nullptr;
}

nlohmann::json toJSON(const Element& element) {
    nlohmann::json value;
    if (const auto* text = std::get_if<std::string>(&element.value)) value = *text;
    if (const auto* number = std::get_if<double>(&element.value)) value = *number;
    auto children = nlohmann::json::array();
    for (const auto& child : element.children) children.push_back(toJSON(child));
    return {{"role", element.role},
            {"subrole", optionalText(element.subrole)},
            {"label", optionalText(element.label)},
            {"title", optionalText(element.title)},
            {"identifier", optionalText(element.identifier)},
            {"value", value},
            {"frame",
             {{"x", element.frame.x},
              {"y", element.frame.y},
              {"width", element.frame.width},
              {"height", element.frame.height}}},
            {"traits", element.traits},
            {"enabled", element.enabled},
            {"children", children}};
}

}  // namespace tavrel::sim
