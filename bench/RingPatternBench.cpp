// The ring engine renders every sample of the tone on the audio thread.
#include <OstralShellKit/RingTone.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using namespace ostral;

// One second of 48 kHz mono audio per iteration, starting at a different point of the cycle
// each time so bursts and silences both count.
void ringPatternSecond(benchmark::State& state) {
    constexpr int kRate = 48000;
    const RingPattern pattern = RingTone(RingTone::fleet).pattern();
    std::vector<float> buffer(kRate);
    double start = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRate; ++i) {
            buffer[static_cast<std::size_t>(i)] = pattern.sample(start + i / double(kRate), 0.8);
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
        start += 1.0;
    }
    state.SetItemsProcessed(state.iterations() * kRate);
    state.SetLabel("1 s of 48 kHz mono per iteration");
}
BENCHMARK(ringPatternSecond)->Name("RingPattern.sample/second")->Unit(benchmark::kMillisecond);

} // namespace
