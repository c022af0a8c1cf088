// Packaging one encoded frame for the wire, on real libx264 output of a phone-sized screen:
// straight from the encoder's Annex B, each byte copied once.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "HelperCore/Video/AnnexB.hpp"
#include "HelperPlatform/Media/H264Stream.hpp"
#include "HelperPlatform/Support/SyntheticPixelSource.hpp"

namespace tavrel {
namespace {

struct Encoded {
    AVPacketPtr packet{av_packet_alloc()};
    std::vector<Bytes> parameterSets;

    EncodedSample sample() const {
        EncodedSample sample;
        sample.outcome = EncodedSample::Outcome::encoded;
        sample.packet = packet.get();
        sample.parameterSets = parameterSets;
        return sample;
    }
};

// The first frame (a key frame) and the tenth (a P frame) of a changing 1180x2556 screen.
const std::vector<Encoded>& frames() {
    static const std::vector<Encoded> encoded = [] {
        const auto source = testing::SyntheticPixelSource::phoneScreen();
        const auto plan = EncoderPlan::make(StreamSettings{60, 1, 10, 8000000},
                                            source->picture()->surface->width(),
                                            source->picture()->surface->height());
        auto session = H264Stream::session(plan);
        Pictures pictures;
        std::vector<Encoded> all(10);
        std::mutex mutex;
        std::condition_variable done;
        int outputs = 0;
        for (int i = 0; i < 10; ++i) {
            source->redraw();
            auto frame = session->pixelBuffer();
            if (!frame) throw std::runtime_error("no frame from the encoder's pool");
            pictures.draw(*source->picture()->surface, frame.get());
            session->submit(std::move(frame), i / 60.0, i == 0,
                            [&, i](const EncodedSample& sample) {
                                if (sample.outcome == EncodedSample::Outcome::encoded) {
                                    av_packet_ref(all[i].packet.get(), sample.packet);
                                    all[i].parameterSets.assign(sample.parameterSets.begin(),
                                                                sample.parameterSets.end());
                                }
                                std::lock_guard lock(mutex);
                                ++outputs;
                                done.notify_all();
                            });
            std::unique_lock lock(mutex);
            done.wait(lock, [&] { return outputs == i + 1; });
        }
        session->complete();
        std::vector<Encoded> chosen;
        chosen.push_back(std::move(all[0]));
        chosen.push_back(std::move(all[9]));
        return chosen;
    }();
    return encoded;
}

// Argument: 0 the key frame, 1 the P frame.
template <Bytes (*Package)(const EncodedSample&)>
void Packaging(benchmark::State& state) {
    const auto& frame = frames().at(static_cast<std::size_t>(state.range(0)));
    const auto sample = frame.sample();
    state.SetLabel(H264Stream::isKeyFrame(sample) ? "key frame" : "P frame");
    for (auto _ : state) {
        Bytes unit = Package(sample);
        benchmark::DoNotOptimize(unit.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * frame.packet->size);
    state.counters["frame_bytes"] = frame.packet->size;
}

BENCHMARK(Packaging<H264Stream::accessUnit>)->Name("OneCopy")->Arg(0)->Arg(1);

}  // namespace
}  // namespace tavrel
