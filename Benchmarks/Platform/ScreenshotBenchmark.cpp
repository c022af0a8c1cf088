// Screenshots through the whole feed (hold, picture, plan, crop, scale, JPEG, let go) against
// the bare TurboJPEG call on the same pixels, interleaved in one run so that load from other
// processes hits both alike.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "HelperPlatform/Media/AVOwners.hpp"
#include "HelperPlatform/Media/ScreenFeed.hpp"
#include "HelperPlatform/Support/SyntheticPixelSource.hpp"
#include "ServingAllocator.hpp"

namespace tavrel {
namespace {

using Clock = std::chrono::steady_clock;
using testing::SyntheticPixelSource;

const ScreenGeometry phone = ScreenGeometry::of(1179, 2556, 3);

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double ms(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

void FullScreenshotVsBareTurboJPEG(benchmark::State& state) {
    const auto source = SyntheticPixelSource::phoneScreen();
    ScreenFeed feed(source, std::make_shared<Pictures>(), false, 2,
                    Log(Log::Level::error, nullptr));
    const ScreenshotRequest request{};  // whole screen, quality 75
    tjhandle bare = tjInitCompress();
    unsigned long capacity = tjBufSize(1179, 2556, TJSAMP_420);
    unsigned char* buffer = tjAlloc(static_cast<int>(capacity));
    const Surface& surface = source->surface();
    std::vector<double> feedMs, bareMs;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto jpeg = feed.screenshot(request, phone);
        const auto middle = Clock::now();
        unsigned long size = capacity;
        tjCompress2(bare, surface.pixels(), surface.width(),
                    static_cast<int>(surface.bytesPerRow()), surface.height(), TJPF_BGRA, &buffer,
                    &size, TJSAMP_420, 75, TJFLAG_NOREALLOC);
        const auto end = Clock::now();
        benchmark::DoNotOptimize(jpeg.data.data());
        bytes = jpeg.data.size();
        feedMs.push_back(ms(middle - start));
        bareMs.push_back(ms(end - middle));
        state.SetIterationTime(std::chrono::duration<double>(middle - start).count());
    }
    tjFree(buffer);
    tjDestroy(bare);
    state.counters["feed_median_ms"] = median(feedMs);
    state.counters["bare_median_ms"] = median(bareMs);
    state.counters["ratio"] = median(feedMs) / median(bareMs);
    state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(FullScreenshotVsBareTurboJPEG)
    ->UseManualTime()
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

void Thumbnail160Quality40(benchmark::State& state) {
    const auto source = SyntheticPixelSource::phoneScreen();
    ScreenFeed feed(source, std::make_shared<Pictures>(), false, 2,
                    Log(Log::Level::error, nullptr));
    const ScreenshotRequest request{160, 40, std::nullopt};
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto jpeg = feed.screenshot(request, phone);
        const auto end = Clock::now();
        benchmark::DoNotOptimize(jpeg.data.data());
        times.push_back(ms(end - start));
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["median_ms"] = median(times);
}
BENCHMARK(Thumbnail160Quality40)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

// Scaling and conversion of a phone screen into an encoder frame: argument 50 is the half-size
// stream (590x1278, box filter), 100 the full size (1180x2556, copied and padded).
void DrawIntoEncoderFrame(benchmark::State& state) {
    const auto source = SyntheticPixelSource::phoneScreen();
    Pictures pictures;
    AVFramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = state.range(0) == 100 ? 1180 : 590;
    frame->height = state.range(0) == 100 ? 2556 : 1278;
    av_frame_get_buffer(frame.get(), 0);
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = Clock::now();
        pictures.draw(source->surface(), frame.get());
        const auto end = Clock::now();
        times.push_back(ms(end - start));
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["median_ms"] = median(times);
}
BENCHMARK(DrawIntoEncoderFrame)
    ->Arg(50)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavrel
