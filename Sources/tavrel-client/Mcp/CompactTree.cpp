#include "tavrel-client/Mcp/CompactTree.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace tavrel::client::mcp::CompactTree {
namespace {

// Traits that tell what an element does or how it can be used; the rest (StaticText,
// ContainedByList, ...) repeat the role or describe layout.
constexpr std::array<std::string_view, 17> actionableTraits = {
    "Button",    "Link",        "Adjustable", "TextEntry",   "SearchField", "KeyboardKey",
    "Toggle",    "Selected",    "NotEnabled", "IsEditing",   "Scrollable",  "BackButton",
    "TabButton", "PopupButton", "MenuItem",   "RadioButton", "DeleteKey"};

// Traits a role already says: a Cell is tapped like a Button, a Slider is Adjustable.
bool impliedBy(std::string_view role, std::string_view trait) {
    if (trait == role) return true;
    if (trait == "Button") {
        return role == "Cell" || role == "Switch" || role == "Toggle" || role == "Link" ||
               role == "Tab" || role == "MenuItem" || role == "PopUpButton";
    }
    if (trait == "Toggle") return role == "Switch";
    if (trait == "Adjustable") return role == "Slider" || role == "Stepper";
    if (trait == "TextEntry") {
        return role == "TextField" || role == "SearchField" || role == "SecureTextField" ||
               role == "TextArea";
    }
    if (trait == "Scrollable") {
        return role == "Table" || role == "ScrollView" || role == "CollectionView" ||
               role == "List";
    }
    return false;
}

std::string number(double value) {
    const double rounded = std::round(value * 10) / 10;
    char text[32];
    if (rounded == std::floor(rounded)) {
        std::snprintf(text, sizeof text, "%.0f", rounded);
    } else {
        std::snprintf(text, sizeof text, "%.1f", rounded);
    }
    return text;
}

// Quoted with the JSON escapes, so that a label with quotes or newlines stays on its line.
std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string textOf(const nlohmann::json& element, const char* key) {
    const auto found = element.find(key);
    return found != element.end() && found->is_string() ? found->get<std::string>() : "";
}

void append(std::string& out, const nlohmann::json& elements, int depth) {
    if (!elements.is_array()) return;
    for (const auto& element : elements) {
        if (!element.is_object()) continue;
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        out += line(element);
        out += '\n';
        if (const auto children = element.find("children"); children != element.end()) {
            append(out, *children, depth + 1);
        }
    }
}

}  // namespace

std::string line(const nlohmann::json& element) {
    std::string out = textOf(element, "type");
    if (out.empty()) out = "Element";
    const auto label = textOf(element, "label");
    if (!label.empty()) out += " " + quoted(label);
    const auto identifier = textOf(element, "identifier");
    if (!identifier.empty()) out += " #" + identifier;
    if (const auto value = element.find("value"); value != element.end() && !value->is_null()) {
        if (value->is_number()) {
            out += " =" + number(value->get<double>());
        } else if (value->is_string()) {
            out += " =" + quoted(value->get<std::string>());
        }
    }
    if (const auto frame = element.find("frame"); frame != element.end() && frame->is_object()) {
        const auto part = [&](const char* key) {
            const auto found = frame->find(key);
            return found != frame->end() && found->is_number() ? found->get<double>() : 0.0;
        };
        out += " @" + number(part("x")) + "," + number(part("y")) + " " + number(part("width")) +
               "x" + number(part("height"));
    }
    std::string traits;
    if (const auto names = element.find("traits"); names != element.end() && names->is_array()) {
        for (const auto& name : *names) {
            if (!name.is_string()) continue;
            const auto text = name.get<std::string>();
            if (impliedBy(out.substr(0, out.find(' ')), text)) continue;
            for (const auto kept : actionableTraits) {
                if (text == kept) traits += (traits.empty() ? "" : ",") + text;
            }
        }
    }
    if (!traits.empty()) out += " [" + traits + "]";
    if (const auto enabled = element.find("enabled");
        enabled != element.end() && enabled->is_boolean() && !enabled->get<bool>()) {
        out += " disabled";
    }
    return out;
}

std::string text(const nlohmann::json& document) {
    std::string out;
    if (document.is_object()) {
        if (const auto elements = document.find("elements"); elements != document.end()) {
            append(out, *elements, 0);
        }
    }
    return out.empty() ? "(no elements)\n" : out;
}

}  // namespace tavrel::client::mcp::CompactTree
