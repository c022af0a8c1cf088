#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "HelperCore/Accessibility/Accessibility.hpp"
#include "HelperCore/Server/Device.hpp"

namespace tavrel {

/// What a self-check found: one named part per check, in the order the checks ran, each ok or
/// not with a one-line detail. JSON: {"ok":…,"parts":[{"detail":…,"name":…,"ok":…},…]}.
struct SelfCheckReport {
    struct Part {
        std::string name;
        bool ok = false;
        std::string detail;

        bool operator==(const Part&) const = default;
    };

    std::vector<Part> parts;

    bool operator==(const SelfCheckReport&) const = default;

    /// Every part is ok (true for no parts).
    bool ok() const;

    /// Exercises `device` the way a client would: "screen", "screenshot" (160 pixels wide at
    /// most, quality 40), "input", "element tree", in that order. A failed check becomes a part
    /// with the failure's message and never skips the later ones; `run` itself never fails.
    static SelfCheckReport run(Device& device);

    /// The number of nodes in the tree rooted at `node`, the root included.
    static std::int64_t count(const AXNode& node);
};

void to_json(nlohmann::json& json, const SelfCheckReport::Part& part);
void to_json(nlohmann::json& json, const SelfCheckReport& report);

}  // namespace tavrel
