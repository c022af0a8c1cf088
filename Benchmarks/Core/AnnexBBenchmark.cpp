// Packaging a key frame runs once per encoded frame on the encoder's output path; it should
// cost little more than copying the frame's bytes once. The frame is split as it comes from the
// encoder, then packaged from views into it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel {
namespace {

constexpr std::size_t frameSize = 200 * 1024;

/// An Annex B key frame of about 200 KB: an SEI unit and `slices` slices. The slice bytes hold
/// no start code (a real encoder escapes them).
Bytes keyFrame(std::size_t slices) {
    Bytes annexB;
    annexB.reserve(frameSize);
    const auto addUnit = [&annexB](std::uint8_t header, std::size_t size) {
        annexB.insert(annexB.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
        annexB.push_back(header);
        for (std::size_t i = 1; i < size; ++i)
            annexB.push_back(static_cast<std::uint8_t>(2 + i * 131 % 250));
    };
    addUnit(0x06, 700);
    const std::size_t slice = (frameSize - annexB.size()) / slices - 4;
    for (std::size_t i = 0; i < slices; ++i) addUnit(0x65, slice);
    return annexB;
}

const std::vector<Bytes> parameterSets = {{0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50},
                                          {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0}};

void AccessUnit(benchmark::State& state) {
    const Bytes frame = keyFrame(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const auto units = AnnexB::nalUnitViews(frame);
        Bytes unit = AnnexB::accessUnit(units, parameterSets);
        benchmark::DoNotOptimize(unit.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(AccessUnit)->Arg(1)->Arg(4)->Arg(64);

/// The floor: the same bytes copied once into a buffer that already exists.
void Memcpy(benchmark::State& state) {
    const Bytes frame = keyFrame(1);
    Bytes target(frame.size() + 64);
    for (auto _ : state) {
        std::memcpy(target.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(Memcpy);

/// The same bytes copied once into a new buffer, as the packaging must allocate its output.
void CopyIntoNewBuffer(benchmark::State& state) {
    const Bytes frame = keyFrame(1);
    for (auto _ : state) {
        Bytes copy(frame.begin(), frame.end());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(CopyIntoNewBuffer);

/// Splitting a frame into its NAL units (views into it).
void NalUnitViews(benchmark::State& state) {
    const Bytes frame = keyFrame(4);
    for (auto _ : state) {
        auto units = AnnexB::nalUnitViews(frame);
        benchmark::DoNotOptimize(units.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(NalUnitViews);

}  // namespace
}  // namespace tavrel
