#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel {

/// A rectangle in screen points.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const Rect&) const = default;

    /// {"height":…,"width":…,"x":…,"y":…}, all numbers.
    nlohmann::json json() const;
};

/// An element's current value: a text or a number.
class AccessibilityValue {
  public:
    static AccessibilityValue text(std::string text) { return AccessibilityValue(std::move(text)); }
    static AccessibilityValue number(double number) { return AccessibilityValue(number); }

    const std::string* asText() const { return std::get_if<std::string>(&storage_); }
    const double* asNumber() const { return std::get_if<double>(&storage_); }

    bool operator==(const AccessibilityValue&) const = default;

  private:
    explicit AccessibilityValue(std::string text) : storage_(std::move(text)) {}
    explicit AccessibilityValue(double number) : storage_(number) {}

    std::variant<std::string, double> storage_;
};

/// One accessibility element as the platform reports it. Children are held by value: a tree.
struct AXNode {
    std::optional<std::string> role = {};  // the platform's name, usually with an "AX" prefix
    std::optional<std::string> subrole = {};
    std::optional<std::string> label = {};
    std::optional<std::string> title = {};
    std::optional<std::string> identifier = {};
    std::optional<AccessibilityValue> value = {};
    Rect frame = {};
    std::optional<std::uint64_t> traits = {};
    bool enabled = true;
    std::vector<AXNode> children = {};

    bool operator==(const AXNode&) const = default;
};

namespace AXTraits {

/// Trait name by bit number: bit n has the value 2 to the power n.
extern const std::array<std::string_view, 59> table;

/// ["None"] for 0; otherwise the names of the set bits in increasing order, then one "Unknown"
/// when any bit from 59 up is set.
std::vector<std::string_view> names(std::uint64_t bits);

}  // namespace AXTraits

/// The accessibility document: the element tree reduced to the elements a client can act on or
/// identify, held as its encoded JSON text.
///
/// The document is written straight to text rather than through a JSON tree: a full read of
/// 2000 elements arrives with every "accessibility" request, and building and dumping a tree
/// of that size costs several times more than writing the text once. The text is byte for
/// byte what `JSON::encode` writes for the same tree (`kept` and `element` build that tree),
/// including "{}" when a text is not valid UTF-8.
class AXDocument {
  public:
    /// Roles (without "AX") whose elements are kept even without a label or identifier.
    static const std::array<std::string_view, 20> actionableRoles;

    /// {"backend":"native","elements":[…],"modal":null,"screen":{…},"truncated":false}
    static AXDocument make(const AXNode& root, const ScreenGeometry& screen);

    /// The role with a leading "AX" removed; other roles, and an absent one, unchanged.
    static std::optional<std::string_view> type(const std::optional<std::string>& role);

    /// True for a non-empty label, a non-empty identifier or an actionable role.
    static bool keeps(const AXNode& node);

    /// The node as one element holding its kept descendants, when it is kept; otherwise its
    /// kept descendants themselves, in order, moved up a level. Recursive: the tree's depth is
    /// bounded by whoever read it.
    static std::vector<nlohmann::json> kept(const AXNode& node);

    /// The element object, all ten members present (absent texts as null).
    static nlohmann::json element(const AXNode& node, nlohmann::json children);

    /// The compact encoded document.
    const std::string& text() const& { return text_; }
    std::string text() && { return std::move(text_); }

    /// The document as a JSON tree, for callers that embed or inspect it.
    nlohmann::json json() const;

  private:
    explicit AXDocument(std::string text) : text_(std::move(text)) {}

    std::string text_;
};

void to_json(nlohmann::json& json, const AXDocument& document);

namespace JSON {

/// The document's text as it stands: it is already encoded with the encoder's settings.
inline std::string encode(const AXDocument& document) noexcept {
    try {
        return document.text();
    } catch (...) {
        return "{}";
    }
}
inline std::string encode(AXDocument&& document) noexcept {
    return std::move(document).text();
}

}  // namespace JSON
}  // namespace tavrel
