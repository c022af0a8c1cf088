#pragma once

#include <array>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tavrel {

/// What `version` prints: the helper's version, its wire protocol, the CoreSimulator it would
/// drive and what it can do besides serving.
struct VersionReport {
    /// "render" and "capture", in that order.
    static constexpr std::array<const char*, 2> defaultFeatures = {"render", "capture"};

    std::string version;
    int wire;
    /// The CoreSimulator framework's version text when the simulator frameworks load.
    std::optional<std::string> coreSimulator;
    std::vector<std::string> features;

    explicit VersionReport(std::optional<std::string> coreSimulator = std::nullopt);

    bool operator==(const VersionReport&) const = default;
};

/// All four keys; an unknown CoreSimulator is written as null.
void to_json(nlohmann::json& json, const VersionReport& report);

}  // namespace tavrel
