// The call center recomputes the output on every feed event and every second's tick.
#include <OstralShellKit/CallRegistry.h>
#include <OstralShellKit/ShellConfig.h>

#include <benchmark/benchmark.h>

#include <array>
#include <string>

namespace {

using namespace ostral;

void callRegistryOutput(benchmark::State& state) {
    const auto count = static_cast<int>(state.range(0));
    const ShellConfig config = ShellConfig::standard();
    const std::array<std::string, 5> lineKeys = {"recruiting", "tamrell_fleet", "sablon_fleet",
                                                 "maintenance", "test"};
    const Date now = dateFromUnixSeconds(1714571110);

    CallRegistry registry;
    for (int i = 0; i < count; ++i) {
        LiveCall call{Uuid::random(),
                      now,
                      lineKeys[static_cast<std::size_t>(i) % lineKeys.size()],
                      "+15551234567",
                      Uuid::random(),
                      "Dana Reyes",
                      {},
                      {},
                      {},
                      {},
                      {}};
        registry.insert(call, now, static_cast<double>(i % 25));
    }
    const std::set<std::string> lines(lineKeys.begin(), lineKeys.end());
    const std::map<std::string, LineMode> modes = {{"sablon_fleet", LineMode::silent},
                                                   {"test", LineMode::off}};
    for (auto _ : state) {
        benchmark::DoNotOptimize(registry.output(config, lines, modes));
    }
    state.SetLabel(std::to_string(registry.active.size()) + " active calls");
}
BENCHMARK(callRegistryOutput)
    ->Name("CallRegistry.output")
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Unit(benchmark::kMicrosecond);

} // namespace
