// A 10-second 1180x2556 recording with touches rendered to MP4 and to a 400-wide 15 fps GIF,
// each against ffmpeg doing the same job on the same recording in the same run:
//   MP4: ffmpeg transcoding to H.264 at the same size, bit rate and preset;
//   GIF: ffmpeg with palettegen/paletteuse at the same width and rate.
// Counters give the file sizes; compare medians (--benchmark_repetitions=3).

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include <stdlib.h>

#include "HelperPlatform/Render/FramePictures.hpp"
#include "HelperPlatform/Render/GIFWriter.hpp"
#include "HelperPlatform/Render/MovieWriter.hpp"
#include "HelperPlatform/Support/Recordings.hpp"

namespace tavrel {
namespace {

constexpr int width = 1180;
constexpr int height = 2556;

// A screen-like recording: a still background with a block scrolling through it, 30 fps.
struct Folder {
    std::filesystem::path path;
    Folder() {
        char pattern[] = "/tmp/tavrel-render-bench.XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

struct Recording {
    Folder folder;
    std::string frames = folder.file("r.tvrf");
    std::string stream = folder.file("r.h264");
    Recording() {
        testing::writeH264Recording(frames, width, height, 300, 30, [](int index, auto& p) {
            p.fill(0, 0, p.width, p.height, {235, 235, 240});
            p.fill(0, (index * 8) % (p.height - 400), p.width, 400, {40, 110, 200});
        });
        // The same access units as a plain H.264 stream for ffmpeg.
        FrameFile::Reader reader([file = std::make_shared<std::ifstream>(frames, std::ios::binary)](
                                     std::size_t count) {
            Bytes bytes(count);
            file->read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
            bytes.resize(static_cast<std::size_t>(file->gcount()));
            return bytes;
        });
        std::ofstream out(stream, std::ios::binary);
        while (auto frame = reader.next()) {
            out.write(reinterpret_cast<const char*>(frame->data.data()),
                      static_cast<std::streamsize>(frame->data.size()));
        }
    }
};

Recording& recording() {
    static Recording shared;
    return shared;
}

RenderJob job() {
    RenderJob job;
    job.input = recording().frames;
    job.codec = "h264";
    job.speed = 1;
    job.gifFps = 15;
    job.gifWidth = 400;
    for (int second = 0; second < 10; ++second) {
        job.touches.push_back({second + 0.2, "tap", {{0.5, 0.3}}, 0.05, "agent"});
        job.touches.push_back({second + 0.5, "swipe", {{0.5, 0.8}, {0.5, 0.3}}, 0.4, "person"});
    }
    return job;
}

void run(benchmark::State& state, const std::string& command) {
    for (auto _ : state) {
        int status = 0;
        testing::commandOutput(command, &status);
        if (status != 0) state.SkipWithError(("failed: " + command).c_str());
    }
}

void BM_MP4_Ours(benchmark::State& state) {
    const RenderJob render = job();
    const std::string out = recording().folder.file("ours.mp4");
    for (auto _ : state) {
        FramePictures pictures(render.input);
        MovieWriter::write(pictures, render, out);
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out));
}

void BM_MP4_FFmpeg(benchmark::State& state) {
    const std::string out = recording().folder.file("ffmpeg.mp4");
    run(state, "ffmpeg -v error -y -r 30 -i '" + recording().stream +
                   "' -c:v libx264 -preset veryfast -g 60 -b:v " +
                   std::to_string(MovieWriter::bitRate(width, height)) +
                   " -pix_fmt yuv420p -movflags +faststart '" + out + "'");
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out));
}

void BM_GIF_Ours(benchmark::State& state) {
    const RenderJob render = job();
    const std::string out = recording().folder.file("ours.gif");
    for (auto _ : state) {
        FramePictures pictures(render.input);
        GIFWriter::write(pictures, render, out);
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out));
}

void BM_GIF_FFmpeg(benchmark::State& state) {
    const std::string out = recording().folder.file("ffmpeg.gif");
    run(state, "ffmpeg -v error -y -r 30 -i '" + recording().stream +
                   "' -filter_complex 'fps=15,scale=400:-2:flags=area,split[a][b];"
                   "[a]palettegen[p];[b][p]paletteuse' '" +
                   out + "'");
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out));
}

BENCHMARK(BM_MP4_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_MP4_FFmpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_GIF_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_GIF_FFmpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
}  // namespace tavrel
