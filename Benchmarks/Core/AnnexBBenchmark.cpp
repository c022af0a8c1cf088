// Packaging a key frame runs once per encoded frame on the encoder's output path; it should
// cost little more than copying the frame's bytes once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel {
namespace {

constexpr std::size_t frameSize = 200 * 1024;

/// A length-prefixed key frame of about 200 KB: an SEI unit and `slices` slices.
Bytes keyFrame(std::size_t slices) {
    Bytes avcc;
    avcc.reserve(frameSize);
    const auto addUnit = [&avcc](std::uint8_t header, std::size_t size) {
        for (int shift = 24; shift >= 0; shift -= 8)
            avcc.push_back(static_cast<std::uint8_t>(size >> shift));
        avcc.push_back(header);
        for (std::size_t i = 1; i < size; ++i) avcc.push_back(static_cast<std::uint8_t>(i * 131));
    };
    addUnit(0x06, 700);
    const std::size_t slice = (frameSize - avcc.size()) / slices - 4;
    for (std::size_t i = 0; i < slices; ++i) addUnit(0x65, slice);
    return avcc;
}

const std::vector<Bytes> parameterSets = {{0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50},
                                          {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0}};

void AccessUnit(benchmark::State& state) {
    const Bytes avcc = keyFrame(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        Bytes unit = AnnexB::accessUnit(avcc, 4, parameterSets);
        benchmark::DoNotOptimize(unit.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * avcc.size()));
}
BENCHMARK(AccessUnit)->Arg(1)->Arg(4)->Arg(64);

/// The floor: the same bytes copied once into a buffer that already exists.
void Memcpy(benchmark::State& state) {
    const Bytes avcc = keyFrame(1);
    Bytes target(avcc.size() + 64);
    for (auto _ : state) {
        std::memcpy(target.data(), avcc.data(), avcc.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * avcc.size()));
}
BENCHMARK(Memcpy);

/// The same bytes copied once into a new buffer, as the packaging must allocate its output.
void CopyIntoNewBuffer(benchmark::State& state) {
    const Bytes avcc = keyFrame(1);
    for (auto _ : state) {
        Bytes copy(avcc.begin(), avcc.end());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * avcc.size()));
}
BENCHMARK(CopyIntoNewBuffer);

/// Splitting a recorded access unit back into its NAL units (copied out).
void NalUnits(benchmark::State& state) {
    const Bytes unit = AnnexB::accessUnit(keyFrame(4), 4, parameterSets);
    for (auto _ : state) {
        auto units = AnnexB::nalUnits(unit);
        benchmark::DoNotOptimize(units.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * unit.size()));
}
BENCHMARK(NalUnits);

}  // namespace
}  // namespace tavrel
