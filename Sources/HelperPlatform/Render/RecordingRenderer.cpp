#include "HelperPlatform/Render/RecordingRenderer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperPlatform/Render/FramePictures.hpp"
#include "HelperPlatform/Render/GIFWriter.hpp"
#include "HelperPlatform/Render/MoviePictures.hpp"
#include "HelperPlatform/Render/MovieWriter.hpp"

namespace tavrel {
namespace RecordingRenderer {

std::unique_ptr<PictureSource> pictures(const RenderJob& job) {
    if (job.inputKind == RenderJob::InputKind::movie) {
        return std::make_unique<MoviePictures>(job.input);
    }
    return std::make_unique<FramePictures>(job.input);
}

RenderReport run(const RenderJob& job, const Progress& progress) {
    auto told = [&](const char* format) -> RenderProgress {
        if (!progress) return {};
        return [&progress, format](std::size_t done, std::size_t total) {
            progress(format, done, total);
        };
    };
    RenderReport report;
    if (job.mp4) {
        auto source = pictures(job);
        report.files.push_back(MovieWriter::write(*source, job, *job.mp4, told("mp4")));
    }
    if (job.gif) {
        auto source = pictures(job);
        report.files.push_back(GIFWriter::write(*source, job, *job.gif, told("gif")));
    }
    return report;
}

}  // namespace RecordingRenderer

namespace {

std::string readJob(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw HelperFailure(path + ": " + std::strerror(errno), 502);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    if (file.bad()) throw HelperFailure(path + ": " + std::strerror(errno), 502);
    return bytes.str();
}

// One line rewritten in place; only every few per cent, so a fast render does not spend its
// time on the terminal.
void showProgress(const std::string& format, std::size_t done, std::size_t total) {
    const std::size_t step = std::max<std::size_t>(1, total / 50);
    if (done != total && done % step != 0) return;
    std::fprintf(stderr, "\r%s: %zu of %zu frames%s", format.c_str(), done, total,
                 done == total ? "\n" : "");
    std::fflush(stderr);
}

}  // namespace

RenderOutcome runRenderCommand(const std::string& jobPath) {
    try {
        const RenderJob job = RenderJob::read(readJob(jobPath));
        RecordingRenderer::Progress progress;
        if (::isatty(STDERR_FILENO) == 1) progress = showProgress;
        return {JSON::encode(RecordingRenderer::run(job, progress)), 0};
    } catch (...) {
        const HelperFailure failure = HelperFailure::fromCurrentException();
        return {JSON::encode(nlohmann::json{{"error", failure.message()}}), 1};
    }
}

}  // namespace tavrel
