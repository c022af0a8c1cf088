#include "tavrel-client/Mcp/ElementQuery.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "tavrel-client/ClientElements.hpp"
#include "tavrel-client/Mcp/CompactTree.hpp"
#include "tavrel-client/Mcp/ToolError.hpp"

namespace tavrel::client::mcp::ElementQuery {
namespace {

void collect(const nlohmann::json& elements, std::vector<nlohmann::json>& out) {
    if (!elements.is_array()) return;
    for (const auto& element : elements) {
        if (!element.is_object()) continue;
        auto copy = element;
        copy.erase("children");
        out.push_back(std::move(copy));
        if (const auto children = element.find("children"); children != element.end()) {
            collect(*children, out);
        }
    }
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string withoutAX(const std::string& role) {
    return role.starts_with("AX") ? role.substr(2) : role;
}

std::string text(const nlohmann::json& element, const char* key) {
    const auto found = element.find(key);
    return found != element.end() && found->is_string() ? found->get<std::string>() : "";
}

std::string lines(const std::vector<nlohmann::json>& elements) {
    std::string out;
    for (const auto& element : elements) out += "\n  " + CompactTree::line(element);
    return out;
}

}  // namespace

std::vector<nlohmann::json> flatten(const nlohmann::json& document) {
    std::vector<nlohmann::json> out;
    if (document.is_object() && document.contains("elements")) collect(document["elements"], out);
    return out;
}

std::vector<nlohmann::json> match(const nlohmann::json& document,
                                  const std::optional<std::string>& identifier,
                                  const std::optional<std::string>& label,
                                  const std::optional<std::string>& role) {
    std::vector<nlohmann::json> out;
    for (auto& element : flatten(document)) {
        if (identifier && text(element, "identifier") != *identifier) continue;
        if (label && lower(text(element, "label")).find(lower(*label)) == std::string::npos) {
            continue;
        }
        if (role && lower(withoutAX(text(element, "type"))) != lower(withoutAX(*role))) continue;
        out.push_back(std::move(element));
    }
    return out;
}

std::vector<nlohmann::json> named(const nlohmann::json& document, const std::string& name) {
    std::vector<nlohmann::json> out;
    for (auto& element : flatten(document)) {
        if (text(element, "identifier") == name || text(element, "label") == name) {
            out.push_back(std::move(element));
        }
    }
    return out;
}

nlohmann::json only(const nlohmann::json& document, const std::string& name) {
    auto found = named(document, name);
    if (found.size() == 1) return found.front();
    if (found.size() > 1) {
        throw ToolError(std::to_string(found.size()) + " elements have the identifier or label \"" +
                        name + "\"; name one by its identifier:" + lines(found));
    }
    const auto similar = match(document, std::nullopt, name, std::nullopt);
    throw ToolError("no element has the identifier or label \"" + name + "\"" +
                    (similar.empty() ? std::string("; ui_tree lists the elements")
                                     : "; elements whose label contains it:" + lines(similar)));
}

std::pair<double, double> center(const nlohmann::json& element) {
    return ClientElements::center(element);
}

std::optional<std::string> valueText(const nlohmann::json& element) {
    const auto value = element.find("value");
    if (value == element.end() || value->is_null()) return std::nullopt;
    if (value->is_string()) return value->get<std::string>();
    if (value->is_number()) {
        const double number = value->get<double>();
        char out[32];
        if (std::floor(number) == number && std::fabs(number) < 1e15) {
            std::snprintf(out, sizeof out, "%.0f", number);
        } else {
            std::snprintf(out, sizeof out, "%.15g", number);
        }
        return std::string(out);
    }
    return value->dump();
}

}  // namespace tavrel::client::mcp::ElementQuery
