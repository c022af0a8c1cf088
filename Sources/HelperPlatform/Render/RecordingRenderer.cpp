#include "HelperPlatform/Render/RecordingRenderer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperPlatform/Render/FramePictures.hpp"
#include "HelperPlatform/Render/GIFWriter.hpp"
#include "HelperPlatform/Render/MoviePictures.hpp"
#include "HelperPlatform/Render/MovieWriter.hpp"
#include "HelperPlatform/Render/RenderFiles.hpp"

namespace tavrel {
namespace RecordingRenderer {

std::unique_ptr<PictureSource> pictures(const RenderJob& job) {
    if (job.inputKind == RenderJob::InputKind::movie) {
        return std::make_unique<MoviePictures>(job.input);
    }
    return std::make_unique<FramePictures>(job.input);
}

RenderReport run(const RenderJob& job, const Progress& progress) {
    RenderFiles::checkOutputs(job);
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

[[noreturn]] void tooLarge(const std::string& path) {
    throw HelperFailure("the render job is larger than " +
                            std::to_string(RecordingRenderer::largestJob) + " bytes: " + path,
                        400);
}

std::string readJob(const std::string& path) {
    const RenderFiles::ReadableFile file(
        path, "the render job",
        [&path](const std::string& reason) { return HelperFailure(path + ": " + reason, 502); });
    if (file.size() > static_cast<off_t>(RecordingRenderer::largestJob)) tooLarge(path);
    // The size is checked again as the bytes come: the file may grow while it is read.
    std::string bytes(RecordingRenderer::largestJob + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t read = ::read(file.descriptor(), bytes.data() + got, bytes.size() - got);
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) throw HelperFailure(path + ": " + std::strerror(errno), 502);
        if (read == 0) break;
        got += static_cast<std::size_t>(read);
    }
    if (got > RecordingRenderer::largestJob) tooLarge(path);
    bytes.resize(got);
    return bytes;
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

std::string renderFailureText(const std::string& step) {
    try {
        throw;
    } catch (const HelperFailure& failure) {
        return failure.message();
    } catch (const std::bad_alloc&) {
        return step + " ran out of memory";
    } catch (const std::exception& error) {
        return step + " failed: " + error.what();
    } catch (...) {
        return step + " failed for an unknown reason";
    }
}

RenderOutcome runRenderCommand(const std::string& jobPath) {
    const char* step = "reading the render job";
    try {
        const RenderJob job = RenderJob::read(readJob(jobPath));
        step = "rendering";
        RecordingRenderer::Progress progress;
        if (::isatty(STDERR_FILENO) == 1) progress = showProgress;
        return {JSON::encode(RecordingRenderer::run(job, progress)), 0};
    } catch (...) {
        return {JSON::encode(nlohmann::json{{"error", renderFailureText(step)}}), 1};
    }
}

}  // namespace tavrel
