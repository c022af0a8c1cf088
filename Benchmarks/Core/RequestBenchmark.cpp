// Reading a request document: a hid request of 20 touch events, the largest request a client
// sends often (a drag), and a hello for the floor.

#include <benchmark/benchmark.h>

#include <string>

#include "HelperCore/Server/Requests.hpp"

namespace tavrel {
namespace {

Bytes hidRequest(int eventCount) {
    std::string text = R"({"op":"hid","events":[)";
    for (int i = 0; i < eventCount; ++i) {
        if (i > 0) text += ",";
        const char* phase = i + 1 == eventCount ? "up" : "down";
        text += R"({"kind":"touch","phase":")" + std::string(phase) + R"(","x":)" +
                std::to_string(100 + i * 3) + ".5," + R"("y":)" + std::to_string(400 - i * 7) +
                ".25}";
    }
    return bytesOf(text + "]}");
}

void BM_DecodeHID20Events(benchmark::State& state) {
    const Bytes document = hidRequest(20);
    for (auto _ : state) {
        Request request = Request::decode(document);
        if (request.asHID()->size() != 20) state.SkipWithError("wrong event count");
        benchmark::DoNotOptimize(request);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * document.size()));
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeHello(benchmark::State& state) {
    const Bytes document = bytesOf(R"({"op":"hello"})");
    for (auto _ : state) benchmark::DoNotOptimize(Request::decode(document));
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DecodeHID20Events);
BENCHMARK(BM_DecodeHello);

}  // namespace
}  // namespace tavrel
