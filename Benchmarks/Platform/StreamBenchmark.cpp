// A live stream over a screen that changes every 1/60 s: sustained frame rate, and the time
// from a new picture to its access unit leaving `emit` against the encoder's own time for the
// same frames. One iteration each: these are end-to-end timings, not micro benchmarks.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "HelperPlatform/Media/H264Stream.hpp"
#include "HelperPlatform/Support/SyntheticPixelSource.hpp"
#include "ServingAllocator.hpp"

namespace tavrel {
namespace {

using Clock = std::chrono::steady_clock;
using testing::SyntheticPixelSource;

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = std::min(
        values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())));
    return values[index];
}

double ms(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

struct Run {
    std::vector<double> latencyMs;   // new picture to access unit emitted
    std::vector<double> encoderMs;   // inside libavcodec, same frames
    std::vector<double> pipelineMs;  // decided to emitted: draw, hand-over, encoder, packaging
    std::vector<double> drawMs;      // decided to submitted (scaling and conversion)
    std::vector<double> scheduleMs;  // published to decided (queue hop, frame-rate ceiling)
    std::vector<double> handOverMs;  // submitted to the encoder thread taking it up
    std::vector<double> outputMs;    // encoder done to emitted (packaging, yield)
    double fps = 0;
    std::string encoder;
};

// Streams for `seconds`, measuring after the first second.
Run stream(double scale, std::int64_t fps, double seconds,
           const std::function<void(double)>& everySecond = nullptr) {
    const auto source = SyntheticPixelSource::phoneScreen();
    source->animate(60);
    std::mutex mutex;
    Run run;
    std::size_t frames = 0;
    const auto start = Clock::now();
    const auto measureFrom = start + std::chrono::seconds(1);
    AsyncStream<Bytes> units;
    auto& producer =
        units.adopt(H264Stream::make(source, std::make_shared<Pictures>(), {fps, scale, 2, 4000000},
                                     false, 2, Log(Log::Level::error, nullptr)));
    run.encoder = producer.encoderName();
    producer.setTrace([&](const H264Stream::FrameTiming& timing) {
        if (timing.decided < measureFrom) return;
        const auto published = source->publishedAt(timing.version);
        std::lock_guard lock(mutex);
        ++frames;
        if (published) run.latencyMs.push_back(ms(timing.emitted - *published));
        run.encoderMs.push_back(ms(timing.encoderTime));
        run.pipelineMs.push_back(ms(timing.emitted - timing.decided));
        run.drawMs.push_back(ms(timing.submitted - timing.decided));
        if (published) run.scheduleMs.push_back(ms(timing.decided - *published));
        run.handOverMs.push_back(ms(timing.encoderStarted - timing.submitted));
        run.outputMs.push_back(ms(timing.emitted - timing.encoderStarted - timing.encoderTime));
    });
    producer.units(units);
    std::jthread consumer([units] {
        while (units.next()) {
        }
    });
    for (int second = 1; second <= static_cast<int>(seconds); ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        if (everySecond) everySecond(second);
    }
    units.cancel();
    consumer.join();
    source->stopAnimating();
    std::lock_guard lock(mutex);
    run.fps = static_cast<double>(frames) / (seconds - 1);
    return run;
}

void report(benchmark::State& state, const Run& run) {
    state.counters["fps"] = run.fps;
    state.counters["latency_median_ms"] = percentile(run.latencyMs, 0.5);
    state.counters["latency_p99_ms"] = percentile(run.latencyMs, 0.99);
    state.counters["encoder_median_ms"] = percentile(run.encoderMs, 0.5);
    state.counters["draw_median_ms"] = percentile(run.drawMs, 0.5);
    state.counters["schedule_median_ms"] = percentile(run.scheduleMs, 0.5);
    state.counters["handover_median_ms"] = percentile(run.handOverMs, 0.5);
    state.counters["output_median_ms"] = percentile(run.outputMs, 0.5);
    state.counters["latency_over_encoder"] =
        percentile(run.latencyMs, 0.5) / std::max(1e-9, percentile(run.encoderMs, 0.5));
    state.counters["pipeline_median_ms"] = percentile(run.pipelineMs, 0.5);
    state.counters["pipeline_p99_ms"] = percentile(run.pipelineMs, 0.99);
    state.counters["pipeline_over_encoder"] =
        percentile(run.pipelineMs, 0.5) / std::max(1e-9, percentile(run.encoderMs, 0.5));
    state.SetLabel(run.encoder);
}

// Arguments: scale in percent, stream fps. At fps 60 the frame-rate ceiling equals the
// source's rate, so a new picture often waits for the next slot; at 120 it never does.
void Stream(benchmark::State& state) {
    const double scale = static_cast<double>(state.range(0)) / 100;
    for (auto _ : state) report(state, stream(scale, state.range(1), 6));
}
BENCHMARK(Stream)
    ->Args({50, 60})
    ->Args({100, 60})
    ->Args({50, 120})
    ->Args({100, 120})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Resident memory, sampled every second of a 60 s stream: after the first 5 s of warming up
// it must not grow, so the report gives the samples at 5, 30 and 60 s and the largest.
void StreamMemory60s(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<long> samples;
        const auto run =
            stream(0.5, 60, 60, [&](double) { samples.push_back(residentKilobytes()); });
        const auto at = [&](std::size_t second) {
            return static_cast<double>(samples.at(std::min(second, samples.size()) - 1));
        };
        state.counters["rss_at_5s_kb"] = at(5);
        state.counters["rss_at_30s_kb"] = at(30);
        state.counters["rss_at_60s_kb"] = at(60);
        state.counters["rss_peak_after_5s_kb"] =
            static_cast<double>(*std::max_element(samples.begin() + 4, samples.end()));
        state.counters["fps"] = run.fps;
        state.SetLabel(run.encoder);
    }
}
BENCHMARK(StreamMemory60s)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tavrel
