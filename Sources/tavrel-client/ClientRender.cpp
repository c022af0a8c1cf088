#include "tavrel-client/ClientRender.hpp"

#include <chrono>
#include <fstream>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/RenderJob.hpp"
#include "tavrel-client/Mcp/HelperProcess.hpp"

namespace tavrel::client::ClientRender {

nlohmann::json job(const std::string& frames, const nlohmann::json& touches, const std::string& mp4,
                   const std::optional<std::string>& gif) {
    RenderJob settings;
    settings.input = frames;
    settings.inputKind = RenderJob::InputKind::frames;
    settings.mp4 = mp4;
    settings.gif = gif;
    settings.codec = "h264";
    settings.speed = 1;
    settings.gifFps = 10;
    settings.gifWidth = 320;
    nlohmann::json document = settings;
    // The entries go in as given, so that render reads every key the helper wrote.
    document["touches"] = touches;
    try {
        RenderJob::read(document.dump());
    } catch (const HelperFailure& failure) {
        throw HelperFailure("the helper's touches do not fit a render job: " + failure.message(),
                            502);
    }
    return document;
}

nlohmann::json run(const nlohmann::json& job, const std::filesystem::path& jobPath) {
    {
        std::ofstream file(jobPath, std::ios::trunc);
        file << job.dump();
        file.flush();
        if (!file) throw HelperFailure("cannot write " + jobPath.string(), 502);
    }
    mcp::HelperProcess render(
        {mcp::HelperProcess::helperProgram(), "render", "--job", jobPath.string()}, true);
    const std::string output = render.finish(std::chrono::minutes(5));
    auto report = nlohmann::json::parse(output, nullptr, false);
    if (render.status() != 0 || !report.is_object() || !report.contains("files")) {
        if (report.is_object() && report.contains("message")) {
            throw HelperFailure("render: " + report.value("message", std::string()),
                                report.value("status", 502));
        }
        throw HelperFailure(
            "render ended with status " + std::to_string(render.status()) + ": " + output, 502);
    }
    return report;
}

}  // namespace tavrel::client::ClientRender
