#include "HelperCore/Commands/VersionReport.hpp"

#include <nlohmann/json.hpp>

#include "HelperCore/Commands/Version.hpp"
#include "HelperCore/Server/Wire.hpp"

namespace tavrel {

VersionReport::VersionReport(std::optional<std::string> coreSimulator)
    : version(helperVersion),
      wire(Wire::version),
      coreSimulator(std::move(coreSimulator)),
      features(defaultFeatures.begin(), defaultFeatures.end()) {}

void to_json(nlohmann::json& json, const VersionReport& report) {
    json = nlohmann::json{
        {"version", report.version},
        {"wire", report.wire},
        {"core_simulator", report.coreSimulator ? nlohmann::json(*report.coreSimulator) : nullptr},
        {"features", report.features},
    };
}

}  // namespace tavrel
