#include "HelperCore/Commands/SelfCheckReport.hpp"

#include <functional>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

namespace {

SelfCheckReport::Part check(const std::string& name, const std::function<std::string()>& body) {
    try {
        return {name, true, body()};
    } catch (...) {
        return {name, false, HelperFailure::fromCurrentException().message()};
    }
}

}  // namespace

bool SelfCheckReport::ok() const {
    for (const auto& part : parts) {
        if (!part.ok) return false;
    }
    return true;
}

SelfCheckReport SelfCheckReport::run(Device& device) {
    SelfCheckReport report;
    report.parts.push_back(check("screen", [&] {
        auto screen = device.screen();
        return std::to_string(screen.widthPx) + "x" + std::to_string(screen.heightPx) +
               " pixels, " + std::to_string(screen.widthPt) + "x" +
               std::to_string(screen.heightPt) + " points";
    }));
    report.parts.push_back(check("screenshot", [&] {
        ScreenshotRequest request;
        request.maxWidth = 160;
        request.quality = 40;
        auto jpeg = device.screenshot(request);
        return std::to_string(jpeg.width) + "x" + std::to_string(jpeg.height) + ", " +
               std::to_string(jpeg.data.size()) + " bytes";
    }));
    report.parts.push_back(check("input", [&] {
        auto driver = device.input();
        return "through " + driver->transport()->name();
    }));
    report.parts.push_back(
        check("element tree", [&] { return std::to_string(count(device.tree())) + " elements"; }));
    return report;
}

std::int64_t SelfCheckReport::count(const AXNode& node) {
    std::int64_t total = 1;
    for (const auto& child : node.children) total += count(child);
    return total;
}

void to_json(nlohmann::json& json, const SelfCheckReport::Part& part) {
    json = nlohmann::json{{"name", part.name}, {"ok", part.ok}, {"detail", part.detail}};
}

void to_json(nlohmann::json& json, const SelfCheckReport& report) {
    json = nlohmann::json{{"ok", report.ok()}, {"parts", report.parts}};
}

}  // namespace tavrel
