// Cost of one component's spectrum work against the bare transforms it contains.
//
//   fft_pair/N        forward + inverse transform of N complex f32 values (plans warm)
//   spectrum_chain/N  SpectrumShape::refresh + stochastic_spectrum + radiate_and_invert for one
//                     component at transform length N (plan, shape and FFT plans warm)
//
// After the runs a table gives, per length, both times and their ratio: the share of a
// component's synthesis that is not the FFT itself.
//
//   make bench        (or build with -DBRANTLE_BENCH=ON and run build/bench/bench/bench_spectrum)
#include <benchmark/benchmark.h>

#include <complex>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "quillon/fft.hpp"
#include "quillon/rng.hpp"
#include "quillon/stoc.hpp"

namespace {

constexpr float dt = 0.01f;
constexpr long lengths[] = {1024, 4096, 16384};

void fft_pair(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<std::complex<float>> data(n);
    quillon::rng::DrawSource rng(quillon::rng::Pcg::seed(1));
    for (auto& value : data) value = {rng.normal(), rng.normal()};
    quillon::fft::forward(data);
    quillon::fft::inverse(data);
    for (auto _ : state) {
        // The values grow by n per pair; FFTW's codelets are branch-free, so their cost does
        // not depend on the values (and growth never produces subnormals).
        quillon::fft::forward(data);
        quillon::fft::inverse(data);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
}

void spectrum_chain(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    quillon::stoc::PlanCache cache = quillon::stoc::PlanCache::create(dt, 0.6f, 0.2f, 0.05f);
    const quillon::stoc::SpectrumPlan& plan = cache.for_length(n);
    quillon::stoc::SpectrumShape shape = quillon::stoc::SpectrumShape::with_capacity(n);
    const quillon::stoc::SourceModel model{dt, 0.2f, 0.05f, 0.0f};
    const quillon::stoc::RayPath ray{.distance_km = 30.0f,
                                     .window_s = static_cast<float>(n) * dt / 2.0f,
                                     .shear_velocity_km_s = 3.5f,
                                     .density_g_cm3 = 2.8f,
                                     .corner_frequency_hz = 1.5f,
                                     .subevent_moment = 1.0e22f,
                                     .moment_scale = 3.0f,
                                     .fmax_hz = 10.0f,
                                     .qbar = 0.05f};
    std::vector<std::complex<float>> spectrum(n);
    std::vector<float> radiation(plan.fold_count, 0.6f);
    std::vector<float> series(n);
    quillon::rng::DrawSource rng(quillon::rng::Pcg::seed(2));
    for (auto _ : state) {
        shape.refresh(plan, model, ray);
        quillon::stoc::stochastic_spectrum(rng, plan, shape, spectrum);
        quillon::stoc::radiate_and_invert(spectrum, radiation, series);
        benchmark::DoNotOptimize(series.data());
        benchmark::ClobberMemory();
    }
}

// The console output, then a summary table of the two families and their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            times_us_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%8s  %14s  %18s  %8s\n", "length", "fft pair (us)", "spectrum work (us)", "ratio");
        for (const long n : lengths) {
            const std::string suffix = "/" + std::to_string(n);
            const auto fft = times_us_.find("fft_pair" + suffix);
            const auto chain = times_us_.find("spectrum_chain" + suffix);
            if (fft == times_us_.end() || chain == times_us_.end()) continue;
            std::printf("%8ld  %14.2f  %18.2f  %8.2f\n", n, fft->second, chain->second, chain->second / fft->second);
        }
    }

private:
    std::map<std::string, double> times_us_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const long n : lengths) {
        benchmark::RegisterBenchmark("fft_pair", fft_pair)->Arg(n)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("spectrum_chain", spectrum_chain)->Arg(n)->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
