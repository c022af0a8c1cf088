// One element of the simulated device's accessibility tree, in screen points.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tavrel::sim {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool contains(double px, double py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
    bool intersects(const Rect& other) const {
        return x < other.x + other.width && other.x < x + width && y < other.y + other.height &&
               other.y < y + height;
    }
};

struct Element {
    std::string role;
    std::optional<std::string> subrole;
    std::optional<std::string> label;
    std::optional<std::string> title;
    std::optional<std::string> identifier;
    std::variant<std::monostate, std::string, double> value;
    Rect frame;
    uint64_t traits = 0;
    bool enabled = true;
    std::vector<Element> children;

    /// The first element (depth first, this one included) with that identifier.
    const Element* find(const std::string& identifierWanted) const;
};

/// The element as DeviceLink hands it out (see DeviceLink::accessibility).
nlohmann::json toJSON(const Element& element);

}  // namespace tavrel::sim
