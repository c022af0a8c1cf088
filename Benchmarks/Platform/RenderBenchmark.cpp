// A 10-second 1180x2556 recording with touches rendered to MP4 and to a 400-wide 15 fps GIF,
// each against ffmpeg doing the same job on the same recording in the same run:
//   MP4: ffmpeg transcoding to H.264 at the same size, bit rate, preset and key-frame interval;
//   GIF: ffmpeg with palettegen/paletteuse at the same width and rate.
// ffmpeg cannot draw our touch marks, and the marks are most of what the files hold (they
// change every frame they are on, while the screen under them mostly stands still), so times
// and sizes are also compared on the same pictures: ours without marks against ffmpeg on the
// recording, and ours with marks against ffmpeg encoding our own composed frames, piped to it
// raw ("SameFrames", for its size; one run each).
// Every other benchmark repeats; the program ends with one JSON line of medians and same-run
// ratios.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "HelperCore/Render/Ticks.hpp"
#include "HelperPlatform/Render/FramePictures.hpp"
#include "HelperPlatform/Render/Frames.hpp"
#include "HelperPlatform/Render/GIFWriter.hpp"
#include "HelperPlatform/Render/MovieWriter.hpp"
#include "HelperPlatform/Support/Recordings.hpp"

namespace tavrel {
namespace {

constexpr int width = 1180;
constexpr int height = 2556;
constexpr int repetitions = 3;

struct Folder {
    std::filesystem::path path;
    Folder() {
        char pattern[] = "/tmp/tavrel-render-bench.XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

void shell(const std::string& command) {
    int status = 0;
    testing::commandOutput(command, &status);
    if (status != 0) throw std::runtime_error("failed: " + command);
}

// A screen-like recording: a still background with a block scrolling through it, 30 fps; the
// same access units in an MP4 for ffmpeg. (Read as a bare stream, ffmpeg would time it by the
// stream's own clock of 1000 ticks a second, or with -r 30 make 750 GIF frames of it.)
struct Recording {
    Folder folder;
    std::string frames = folder.file("r.tvrf");
    std::string stream = folder.file("r.h264");
    std::string movie = folder.file("r.mp4");
    Recording() {
        testing::writeH264Recording(frames, width, height, 300, 30, [](int index, auto& p) {
            p.fill(0, 0, p.width, p.height, {235, 235, 240});
            p.fill(0, (index * 8) % (p.height - 400), p.width, 400, {40, 110, 200});
        });
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
        out.close();
        shell("ffmpeg -v error -y -r 30 -i '" + stream + "' -c copy '" + movie + "'");
    }
};

Recording& recording() {
    static Recording shared;
    return shared;
}

RenderJob job(bool marked) {
    RenderJob job;
    job.input = recording().frames;
    job.codec = "h264";
    job.speed = 1;
    job.gifFps = 15;
    job.gifWidth = 400;
    for (int second = 0; marked && second < 10; ++second) {
        job.touches.push_back({second + 0.2, "tap", {{0.5, 0.3}}, 0.05, "agent"});
        job.touches.push_back({second + 0.5, "swipe", {{0.5, 0.8}, {0.5, 0.3}}, 0.4, "person"});
    }
    return job;
}

// Seconds and bytes of every run, by benchmark, for the summary.
struct Samples {
    std::vector<double> seconds;
    double bytes = 0;
};
std::map<std::string, Samples>& samples() {
    static std::map<std::string, Samples> shared;
    return shared;
}

// Times `body` once per iteration; `out` is the file it writes.
template <typename Body>
void measure(benchmark::State& state, const std::string& name, const std::string& out, Body body) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        try {
            body();
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
        samples()[name].seconds.push_back(elapsed.count());
    }
    const auto bytes = static_cast<double>(std::filesystem::file_size(out));
    samples()[name].bytes = bytes;
    state.counters["bytes"] = bytes;
}

// Our composed frames (as the writers make them: 4:2:0 for the MP4, BGRA for the GIF) piped raw
// into an ffmpeg command that reads them from its standard input.
void pipeComposedFrames(const RenderJob& render, std::optional<int> widthLimit, std::int64_t fps,
                        bool movie, const std::string& command) {
    FramePictures pictures(render.input);
    const auto [w, h] = renderedSize(pictures.width(), pictures.height(), widthLimit);
    const std::string input = "ffmpeg -v error -y -f rawvideo -pix_fmt " +
                              std::string(movie ? "yuv420p" : "bgra") + " -s " + std::to_string(w) +
                              "x" + std::to_string(h) + " -framerate " + std::to_string(fps) +
                              " -i - ";
    std::FILE* pipe = ::popen((input + command).c_str(), "w");
    if (pipe == nullptr) throw std::runtime_error("cannot start ffmpeg");
    Frames frames;
    Canvas canvas;
    for (const Ticks::Tick tick : Ticks::make(pictures.duration(), render.speed, fps)) {
        const RecordedPicture picture = pictures.picture(tick.source);
        if (!picture) continue;
        if (!movie) {
            frames.compose(*picture, render.touches, tick.source, w, h, canvas);
            std::fwrite(canvas.pixels.data(), 1, canvas.pixels.size(), pipe);
            continue;
        }
        const AVFramePtr frame = frames.movieFrame(*picture, render.touches, tick.source, w, h);
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? h : (h + 1) / 2;
            const int bytes = plane == 0 ? w : (w + 1) / 2;
            for (int row = 0; row < rows; ++row)
                std::fwrite(frame->data[plane] + row * frame->linesize[plane], 1, bytes, pipe);
        }
    }
    if (::pclose(pipe) != 0) throw std::runtime_error("ffmpeg failed: " + command);
}

// As many frames as our MP4 has: one per tick (the last frame's time, 9.967 s, at 30 fps).
std::size_t movieFrames() {
    FramePictures pictures(recording().frames);
    return static_cast<std::size_t>(Ticks::make(pictures.duration(), 1, MovieWriter::fps).count);
}

std::string mp4Settings() {
    return "-c:v libx264 -preset veryfast -g 60 -b:v " +
           std::to_string(MovieWriter::bitRate(width, height)) +
           " -pix_fmt yuv420p -movflags +faststart ";
}

const std::string gifFilter = "split[a][b];[a]palettegen[p];[b][p]paletteuse";

void BM_MP4_Ours(benchmark::State& state, bool marked) {
    const RenderJob render = job(marked);
    const std::string out = recording().folder.file("ours.mp4");
    measure(state, marked ? "mp4_ours" : "mp4_ours_unmarked", out, [&] {
        FramePictures pictures(render.input);
        MovieWriter::write(pictures, render, out);
    });
}

void BM_MP4_FFmpeg(benchmark::State& state) {
    const std::string out = recording().folder.file("ffmpeg.mp4");
    measure(state, "mp4_ffmpeg", out, [&] {
        shell("ffmpeg -v error -y -i '" + recording().movie + "' -frames:v " +
              std::to_string(movieFrames()) + " " + mp4Settings() + "'" + out + "'");
    });
}

// ffmpeg given the x264 parameters our render adds to the preset: what of the difference is
// those parameters (one run).
void BM_MP4_FFmpegSameParams(benchmark::State& state) {
    const std::string out = recording().folder.file("ffmpeg-params.mp4");
    measure(state, "mp4_ffmpeg_same_params", out, [&] {
        shell("ffmpeg -v error -y -i '" + recording().movie + "' -frames:v " +
              std::to_string(movieFrames()) + " " + mp4Settings() + "-x264-params " +
              MovieWriter::x264Params() + " '" + out + "'");
    });
}

void BM_MP4_FFmpegSameFrames(benchmark::State& state) {
    const std::string out = recording().folder.file("same.mp4");
    measure(state, "mp4_ffmpeg_same_frames", out, [&] {
        pipeComposedFrames(job(true), std::nullopt, MovieWriter::fps, true, mp4Settings() + out);
    });
}

void BM_GIF_Ours(benchmark::State& state, bool marked) {
    const RenderJob render = job(marked);
    const std::string out = recording().folder.file("ours.gif");
    measure(state, marked ? "gif_ours" : "gif_ours_unmarked", out, [&] {
        FramePictures pictures(render.input);
        GIFWriter::write(pictures, render, out);
    });
}

void BM_GIF_FFmpeg(benchmark::State& state) {
    const std::string out = recording().folder.file("ffmpeg.gif");
    measure(state, "gif_ffmpeg", out, [&] {
        shell("ffmpeg -v error -y -i '" + recording().movie +
              "' -filter_complex 'fps=15,scale=400:-2:flags=area," + gifFilter + "' '" + out + "'");
    });
}

void BM_GIF_FFmpegSameFrames(benchmark::State& state) {
    const std::string out = recording().folder.file("same.gif");
    measure(state, "gif_ffmpeg_same_frames", out, [&] {
        const RenderJob render = job(true);
        pipeComposedFrames(render, static_cast<int>(render.gifWidth), render.gifFps, false,
                           "-filter_complex '" + gifFilter + "' " + out);
    });
}

void timed(benchmark::internal::Benchmark* benchmark, int runs = repetitions) {
    benchmark->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(runs)
        ->ReportAggregatesOnly(runs > 1);
}

BENCHMARK_CAPTURE(BM_MP4_Ours, Marked, true)->Apply([](auto* b) { timed(b); });
BENCHMARK_CAPTURE(BM_MP4_Ours, Unmarked, false)->Apply([](auto* b) { timed(b); });
BENCHMARK(BM_MP4_FFmpeg)->Apply([](auto* b) { timed(b); });
BENCHMARK(BM_MP4_FFmpegSameParams)->Apply([](auto* b) { timed(b, 1); });
BENCHMARK(BM_MP4_FFmpegSameFrames)->Apply([](auto* b) { timed(b, 1); });
BENCHMARK_CAPTURE(BM_GIF_Ours, Marked, true)->Apply([](auto* b) { timed(b); });
BENCHMARK_CAPTURE(BM_GIF_Ours, Unmarked, false)->Apply([](auto* b) { timed(b); });
BENCHMARK(BM_GIF_FFmpeg)->Apply([](auto* b) { timed(b); });
BENCHMARK(BM_GIF_FFmpegSameFrames)->Apply([](auto* b) { timed(b, 1); });

double median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const auto middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Medians and the ratios the targets are about, from the benchmarks that ran.
void summarise() {
    const auto& all = samples();
    const double none = std::nan("");
    auto seconds = [&](const std::string& name) {
        return all.contains(name) ? median(all.at(name).seconds) : none;
    };
    auto bytes = [&](const std::string& name) {
        return all.contains(name) ? all.at(name).bytes : none;
    };
    auto rounded = [](double value) { return std::round(value * 1000) / 1000; };
    nlohmann::json summary;
    for (const auto& [name, sample] : all) {
        summary[name + "_s"] = rounded(median(sample.seconds));
        summary[name + "_bytes"] = sample.bytes;
    }
    // The marks change the pictures x264 gets and so its work: the time on the same pictures
    // is the like-for-like one.
    summary["mp4_time_ratio"] = rounded(seconds("mp4_ours") / seconds("mp4_ffmpeg"));
    summary["mp4_time_ratio_same_params"] =
        rounded(seconds("mp4_ours") / seconds("mp4_ffmpeg_same_params"));
    summary["mp4_time_ratio_unmarked"] =
        rounded(seconds("mp4_ours_unmarked") / seconds("mp4_ffmpeg"));
    summary["mp4_size_ratio_unmarked"] = rounded(bytes("mp4_ours_unmarked") / bytes("mp4_ffmpeg"));
    summary["mp4_size_ratio_same_frames"] =
        rounded(bytes("mp4_ours") / bytes("mp4_ffmpeg_same_frames"));
    summary["gif_time_ratio"] = rounded(seconds("gif_ours") / seconds("gif_ffmpeg"));
    summary["gif_time_ratio_unmarked"] =
        rounded(seconds("gif_ours_unmarked") / seconds("gif_ffmpeg"));
    summary["gif_size_ratio_unmarked"] = rounded(bytes("gif_ours_unmarked") / bytes("gif_ffmpeg"));
    summary["gif_size_ratio_same_frames"] =
        rounded(bytes("gif_ours") / bytes("gif_ffmpeg_same_frames"));
    // A ratio of benchmarks left out by a filter is not a number.
    for (auto it = summary.begin(); it != summary.end();) {
        it = std::isnan(it->get<double>()) ? summary.erase(it) : std::next(it);
    }
    std::cout << summary.dump() << "\n";
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tavrel::summarise();
}
