#include "tavrel-client/ClientElements.hpp"

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel::client {
namespace ClientElements {
namespace {

std::optional<nlohmann::json> search(const nlohmann::json& elements,
                                     const std::string& identifier) {
    if (!elements.is_array()) return std::nullopt;
    for (const auto& item : elements) {
        if (!item.is_object()) continue;
        const auto id = item.find("identifier");
        if (id != item.end() && id->is_string() && id->get<std::string>() == identifier) {
            return item;
        }
        if (const auto children = item.find("children"); children != item.end()) {
            if (auto found = search(*children, identifier)) return found;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<nlohmann::json> find(const nlohmann::json& document, const std::string& identifier) {
    if (!document.is_object() || !document.contains("elements")) return std::nullopt;
    return search(document["elements"], identifier);
}

std::pair<double, double> center(const nlohmann::json& element) {
    const auto frame = element.find("frame");
    const auto number = [&](const char* key) {
        if (frame == element.end() || !frame->is_object() || !frame->contains(key) ||
            !(*frame)[key].is_number()) {
            throw HelperFailure("the element has no frame: " + element.dump(), 502);
        }
        return (*frame)[key].get<double>();
    };
    return {number("x") + number("width") / 2, number("y") + number("height") / 2};
}

}  // namespace ClientElements
}  // namespace tavrel::client
