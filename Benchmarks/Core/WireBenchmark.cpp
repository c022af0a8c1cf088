// Frame decoding against a plain memcpy of the same bytes: the decoder copies each byte once
// into its frame part, so large frames should run close to memcpy, and small frames show the
// per-frame cost.
//
//   WireBenchmark --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cstring>

#include "HelperCore/Server/Wire.hpp"

namespace tavrel {
namespace {

constexpr std::size_t readSize = 64 * 1024;  // a typical socket read

Bytes streamOf(std::size_t count, const Frame& frame) {
    const Bytes one = Wire::encode(frame);
    Bytes stream;
    stream.reserve(count * one.size());
    for (std::size_t i = 0; i < count; ++i) stream.insert(stream.end(), one.begin(), one.end());
    return stream;
}

// 64 frames of 64 KiB each, as a stream answer's chunks would come.
const Bytes& largeFrames() {
    static const Bytes stream = streamOf(64, Frame{FrameKind::chunk, 1, {}, Bytes(65536, 0x42)});
    return stream;
}

// 100 000 frames of 20 bytes: 13 of header and a 7-byte JSON part.
const Bytes& smallFrames() {
    static const Bytes stream =
        streamOf(100000, Frame{FrameKind::request, 1, bytesOf(R"({"a":1})"), {}});
    return stream;
}

// The largest frame the decoder accepts.
const Bytes& largestFrame() {
    static const Bytes stream =
        streamOf(1, Frame{FrameKind::chunk, 1, {}, Bytes(Wire::maxFrame - 9, 0x42)});
    return stream;
}

void decodeInReads(benchmark::State& state, const Bytes& stream, std::size_t frameCount) {
    for (auto _ : state) {
        FrameDecoder decoder;
        std::size_t frames = 0;
        for (std::size_t at = 0; at < stream.size(); at += readSize) {
            auto got =
                decoder.push(std::span(stream).subspan(at, std::min(readSize, stream.size() - at)));
            frames += got.size();
            benchmark::DoNotOptimize(got.data());
        }
        if (frames != frameCount) state.SkipWithError("wrong frame count");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * stream.size()));
    state.SetItemsProcessed(std::int64_t(state.iterations() * frameCount));
}

void decodeInOnePush(benchmark::State& state, const Bytes& stream, std::size_t frameCount) {
    for (auto _ : state) {
        FrameDecoder decoder;
        auto frames = decoder.push(stream);
        if (frames.size() != frameCount) state.SkipWithError("wrong frame count");
        benchmark::DoNotOptimize(frames.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * stream.size()));
    state.SetItemsProcessed(std::int64_t(state.iterations() * frameCount));
}

// The floor: copying the same bytes once into a buffer made for them.
void copyOnce(benchmark::State& state, const Bytes& stream, std::size_t frameCount) {
    for (auto _ : state) {
        Bytes copy;
        copy.reserve(stream.size());
        copy.insert(copy.end(), stream.begin(), stream.end());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * stream.size()));
    state.SetItemsProcessed(std::int64_t(state.iterations() * frameCount));
}

void BM_Decode64KiBFrames(benchmark::State& state) {
    decodeInReads(state, largeFrames(), 64);
}
void BM_Memcpy64KiBFrames(benchmark::State& state) {
    copyOnce(state, largeFrames(), 64);
}
void BM_Decode20ByteFrames(benchmark::State& state) {
    decodeInOnePush(state, smallFrames(), 100000);
}
void BM_Memcpy20ByteFrames(benchmark::State& state) {
    copyOnce(state, smallFrames(), 100000);
}
void BM_DecodeLargestFrameIn64KiBReads(benchmark::State& state) {
    decodeInReads(state, largestFrame(), 1);
}
void BM_MemcpyLargestFrame(benchmark::State& state) {
    copyOnce(state, largestFrame(), 1);
}

BENCHMARK(BM_Decode64KiBFrames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy64KiBFrames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode20ByteFrames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy20ByteFrames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeLargestFrameIn64KiBReads)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyLargestFrame)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavrel
