#include "HelperCore/Accessibility/Accessibility.hpp"

#include <algorithm>

namespace tavrel {

using json = nlohmann::json;

json Rect::json() const {
    nlohmann::json object = nlohmann::json::object();
    object["x"] = x;
    object["y"] = y;
    object["width"] = width;
    object["height"] = height;
    return object;
}

namespace AXTraits {

const std::array<std::string_view, 59> table{
    "Button",
    "Link",
    "Image",
    "Selected",
    "PlaysSound",
    "KeyboardKey",
    "StaticText",
    "SummaryElement",
    "NotEnabled",
    "UpdatesFrequently",
    "SearchField",
    "StartsMediaSession",
    "Adjustable",
    "AllowsDirectInteraction",
    "CausesPageTurn",
    "TabBar",
    "Header",
    "WebContent",
    "TextEntry",
    "PickerElement",
    "RadioButton",
    "IsEditing",
    "LaunchIcon",
    "StatusBarElement",
    "SecureTextField",
    "Inactive",
    "Footer",
    "BackButton",
    "TabButton",
    "AutoCorrectCandidate",
    "DeleteKey",
    "SelectionDismissesItem",
    "Visited",
    "Scrollable",
    "Spacer",
    "TableIndex",
    "Map",
    "TextOperationsAvailable",
    "Draggable",
    "GesturePracticeRegion",
    "PopupButton",
    "AllowsNativeSliding",
    "MathEquation",
    "ContainedByTable",
    "ContainedByList",
    "TouchContainer",
    "SupportsZoom",
    "TextArea",
    "BookContent",
    "ContainedByLandmark",
    "FolderIcon",
    "ReadOnly",
    "MenuItem",
    "Toggle",
    "IgnoreItemChooser",
    "SupportsTrackingDetail",
    "Alert",
    "ContainedByFieldset",
    "AllowsLayoutChangeInStatusBar",
};

std::vector<std::string_view> names(std::uint64_t bits) {
    if (bits == 0) return {"None"};
    std::vector<std::string_view> result;
    for (std::size_t bit = 0; bit < table.size(); ++bit)
        if (bits & (std::uint64_t{1} << bit)) result.push_back(table[bit]);
    if (bits >> table.size()) result.push_back("Unknown");
    return result;
}

}  // namespace AXTraits

const std::array<std::string_view, 20> AXDocument::actionableRoles{
    "Button",           "Cell",    "TextField",   "SecureTextField",
    "SearchField",      "Switch",  "Toggle",      "Link",
    "MenuItem",         "Slider",  "CheckBox",    "RadioButton",
    "SegmentedControl", "Stepper", "PopUpButton", "Picker",
    "PickerWheel",      "Tab",     "Key",         "DisclosureTriangle",
};

std::optional<std::string_view> AXDocument::type(const std::optional<std::string>& role) {
    if (!role) return std::nullopt;
    std::string_view text = *role;
    if (text.starts_with("AX")) text.remove_prefix(2);
    return text;
}

bool AXDocument::keeps(const AXNode& node) {
    if (node.label && !node.label->empty()) return true;
    if (node.identifier && !node.identifier->empty()) return true;
    std::optional<std::string_view> role = type(node.role);
    return role && std::find(actionableRoles.begin(), actionableRoles.end(), *role) !=
                       actionableRoles.end();
}

namespace {

json textOrNull(const std::optional<std::string>& value) {
    return value ? json(*value) : json();
}

json traitNames(std::uint64_t bits) {
    json names = json::array();
    for (std::string_view name : AXTraits::names(bits)) names.emplace_back(name);
    return names;
}

/// Appends the kept elements of `node` to `into`, an array.
void collect(const AXNode& node, json& into) {
    if (!AXDocument::keeps(node)) {
        for (const AXNode& child : node.children) collect(child, into);
        return;
    }
    json children = json::array();
    for (const AXNode& child : node.children) collect(child, children);
    into.push_back(AXDocument::element(node, std::move(children)));
}

}  // namespace

json AXDocument::element(const AXNode& node, nlohmann::json children) {
    nlohmann::json object = nlohmann::json::object();
    std::optional<std::string_view> role = type(node.role);
    object["type"] = role ? nlohmann::json(*role) : nlohmann::json();
    object["subrole"] = textOrNull(node.subrole);
    object["label"] = textOrNull(node.label);
    object["title"] = textOrNull(node.title);
    object["identifier"] = textOrNull(node.identifier);
    if (!node.value) {
        object["value"] = nullptr;
    } else if (const std::string* value = node.value->asText()) {
        object["value"] = *value;
    } else {
        object["value"] = *node.value->asNumber();
    }
    object["frame"] = node.frame.json();
    object["traits"] = node.traits ? traitNames(*node.traits) : nlohmann::json();
    object["enabled"] = node.enabled;
    object["children"] = std::move(children);
    return object;
}

std::vector<json> AXDocument::kept(const AXNode& node) {
    nlohmann::json elements = nlohmann::json::array();
    collect(node, elements);
    return std::move(elements.get_ref<nlohmann::json::array_t&>());
}

json AXDocument::json() const {
    return nlohmann::json::parse(text_);
}

void to_json(json& json, const AXDocument& document) {
    json = document.json();
}

}  // namespace tavrel
