// Arbitrary bytes as a render job: reading either gives a job within every range, which
// encodes back to JSON that reads as the same job, or refuses with status 400 and one of the
// job's own messages; nothing else may escape.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/RenderJob.hpp"

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const RenderJob job = RenderJob::read(text);
        if (!job.mp4 && !job.gif) std::abort();
        if (job.codec != "h264" && job.codec != "hevc") std::abort();
        if (!(job.speed >= RenderJob::slowest && job.speed <= RenderJob::fastest)) std::abort();
        if (job.gifFps < RenderJob::fewestGifFps || job.gifFps > RenderJob::mostGifFps) {
            std::abort();
        }
        if (job.gifWidth < RenderJob::narrowestGif || job.gifWidth > RenderJob::widestGif) {
            std::abort();
        }
        for (const RecordedTouch& touch : job.touches) {
            if (!std::isfinite(touch.t) || !std::isfinite(touch.duration)) std::abort();
        }
        try {
            if (!(RenderJob::read(nlohmann::json(job).dump()) == job)) std::abort();
        } catch (...) {
            std::abort();
        }
    } catch (const HelperFailure& failure) {
        if (failure.status() != 400) std::abort();
        const std::string& message = failure.message();
        if (!startsWith(message, "not a render job: ") &&
            message != "a render job names no file to write" &&
            !startsWith(message, "not a codec: ") && message != "speed must be 0.25 to 8" &&
            message != "gif_fps must be 1 to 30" && message != "gif_width must be 64 to 2000") {
            std::abort();
        }
    }
    return 0;
}
