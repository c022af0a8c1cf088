#include "tavrel-client/ClientReplay.hpp"

#include <filesystem>
#include <fstream>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientRender.hpp"
#include "tavrel-client/PrivateFolder.hpp"

namespace tavrel::client::ClientReplay {

nlohmann::json save(const Frame& reply, const std::string& mp4,
                    const std::optional<std::string>& gif) {
    const auto document = nlohmann::json::parse(reply.json, nullptr, false);
    if (!document.is_object() || !document.contains("touches") || !document["touches"].is_array()) {
        throw HelperFailure("the helper's replay has no touch list", 502);
    }
    if (reply.blob.empty()) throw HelperFailure("the helper's replay has no frame file", 502);
    PrivateFolder folder("tavrel-replay-");
    const auto frames = folder.path() / "replay.frames";
    {
        std::ofstream file(frames, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(reply.blob.data()),
                   static_cast<std::streamsize>(reply.blob.size()));
        file.flush();
        if (!file) throw HelperFailure("cannot write " + frames.string(), 502);
    }
    // render runs in our folder, but the paths are made whole so the job reads alone.
    std::optional<std::string> wholeGif;
    if (gif) wholeGif = std::filesystem::absolute(*gif).string();
    const auto job = ClientRender::job(frames.string(), document["touches"],
                                       std::filesystem::absolute(mp4).string(), wholeGif);
    auto report = ClientRender::run(job, folder.path() / "replay.job.json");
    report["touches"] = document["touches"].size();
    return report;
}

}  // namespace tavrel::client::ClientReplay
