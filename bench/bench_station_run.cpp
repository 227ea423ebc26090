// The station run on a whole scenario (the bundled example by default), against the bare
// transforms it contains and against itself on two threads.
//
// Reads the text export of bench/export_scenario.py, builds the engine's records the way the
// Python classes do, and measures in one run, in interleaved rounds so that the machine's
// load shifts touch every figure alike:
//   * every station on one worker thread;
//   * every station on two worker threads sharing the simulator, each thread taking whole
//     station runs from a common queue;
//   * the six transforms (three forward, three inverse) of every synthesised (subfault, ray)
//     pair, at the pair's transform length, replayed in the pass's order.
// The transform lengths are reconstructed from the pass's public pieces and checked against
// the census (pair count and summed lengths) before anything is timed, and every record of
// every timed run is compared bit for bit with the first run of its station.
//
//   make bench
//   bench_station_run [SCENARIO.txt] [--rounds N]   (default: the export next to the binary)
#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <functional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "quillon/config.hpp"
#include "quillon/fft.hpp"
#include "quillon/geom.hpp"
#include "quillon/input.hpp"
#include "quillon/sim.hpp"
#include "quillon/sim/pass.hpp"
#include "quillon/sim/records.hpp"
#include "quillon/sim/run.hpp"
#include "quillon/stoc.hpp"

#ifndef BRANTLE_BENCH_SCENARIO
#define BRANTLE_BENCH_SCENARIO "example_scenario.txt"
#endif

namespace {

using namespace quillon;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- the scenario file

struct StationEntry {
    std::string name;
    input::Station station;
    std::uint64_t seed;
};

struct Scenario {
    config::HfConfig config;
    std::vector<input::Segment> segments;
    std::vector<input::InputLayer> layers;  // as given, before the Moho cut
    double vs_moho_km_s = 0.0;
    std::vector<StationEntry> stations;
};

class Tokens {
public:
    Tokens(const std::string& path) : path_(path) {
        std::ifstream file(path);
        if (!file) throw std::runtime_error(path + ": cannot be read (run bench/export_scenario.py first)");
        std::string line, text;
        while (std::getline(file, line)) {
            const auto first = line.find_first_not_of(" \t\r");
            if (first != std::string::npos && line[first] != '#') text += line + '\n';
        }
        in_.str(text);
    }

    std::string word() {
        std::string w;
        if (!(in_ >> w)) fail("ends early");
        return w;
    }
    void expect(const std::string& keyword) {
        const std::string w = word();
        if (w != keyword) fail("expected '" + keyword + "', got '" + w + "'");
    }
    // Every real is read as a double; the engine's single-precision fields round it, as the
    // Python classes do with a Python float.
    double real() {
        const std::string w = word();
        char* end = nullptr;
        const double value = std::strtod(w.c_str(), &end);
        if (end == w.c_str() || *end != '\0') fail("expected a number, got '" + w + "'");
        return value;
    }
    float f32() { return static_cast<float>(real()); }
    std::uint64_t unsigned_integer() {
        const std::string w = word();
        if (w.empty() || w.find_first_not_of("0123456789") != std::string::npos) fail("expected a count, got '" + w + "'");
        errno = 0;
        const unsigned long long value = std::strtoull(w.c_str(), nullptr, 10);
        if (errno == ERANGE) fail("'" + w + "' is out of range");
        return value;
    }
    std::int32_t i32() {
        const std::string w = word();
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(w.c_str(), &end, 10);
        if (end == w.c_str() || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
            fail("expected a 32-bit integer, got '" + w + "'");
        return static_cast<std::int32_t>(value);
    }
    void end() {
        std::string w;
        if (in_ >> w) fail("has trailing text '" + w + "'");
    }
    [[noreturn]] void fail(const std::string& what) { throw std::runtime_error(path_ + ": " + what); }

private:
    std::string path_;
    std::istringstream in_;
};

Scenario read_scenario(const std::string& path) {
    Tokens t(path);
    t.expect("brantle-scenario");
    if (t.unsigned_integer() != 1) t.fail("unknown format version");
    Scenario s;

    t.expect("source");
    s.config.source.czero = t.f32();
    s.config.source.calpha = t.f32();
    s.config.source.rupture_velocity.frac = t.f32();
    s.config.source.rupture_velocity.shallow = t.f32();
    s.config.source.rupture_velocity.deep = t.f32();
    s.config.source.rupture_velocity.rv_sig1 = t.f32();

    t.expect("path");
    const auto model = config::path_duration_from_deck(t.i32());
    if (!model) t.fail("unknown path duration model");
    s.config.path.path_duration = *model;
    const std::uint64_t ray_count = t.unsigned_integer();
    for (std::uint64_t r = 0; r < ray_count; ++r) s.config.path.rayset.push_back(config::RayType{t.i32()});

    t.expect("site");
    s.config.site.f_max_hz = t.f32();
    t.expect("record");
    s.config.record.duration_s = t.f32();
    s.config.record.dt_s = t.f32();

    t.expect("layers");
    const std::uint64_t layer_count = t.unsigned_integer();
    s.vs_moho_km_s = t.real();
    for (std::uint64_t k = 0; k < layer_count; ++k) {
        input::InputLayer layer{};
        layer.depth_km = 0.0f;  // accumulated by the Moho cut
        layer.thickness_km = t.f32();
        layer.vp_km_s = t.real();
        layer.vsh_km_s = t.real();
        layer.density_g_cm3 = t.real();
        layer.attenuation_p = t.f32();
        layer.attenuation_s = t.f32();
        s.layers.push_back(layer);
    }

    t.expect("segments");
    const std::uint64_t segment_count = t.unsigned_integer();
    for (std::uint64_t k = 0; k < segment_count; ++k) {
        t.expect("segment");
        float scalar[10];
        for (float& value : scalar) value = t.f32();
        const std::uint64_t rows = t.unsigned_integer();
        const std::uint64_t columns = t.unsigned_integer();
        if (rows == 0 || columns == 0 || rows > 100000 || columns > 100000) t.fail("implausible grid size");
        std::vector<float> grid[4];
        for (auto& g : grid) {
            g.resize(rows * columns);
            for (float& value : g) value = t.f32();
        }
        std::vector<input::Subfault> subfaults;
        for (std::size_t n = 0; n < rows * columns; ++n)  // row by row from the top edge
            subfaults.push_back(input::Subfault{input::Slip{grid[0][n]}, grid[1][n], grid[2][n], grid[3][n]});
        s.segments.push_back(input::SegmentBuilder{
            .fault_lon_deg = scalar[0],
            .fault_lat_deg = scalar[1],
            .along_strike_count = columns,
            .down_dip_count = rows,
            .subfault_length_km = scalar[6],
            .subfault_width_km = scalar[7],
            .strike_deg = scalar[2],
            .dip_deg = scalar[3],
            .rake_deg = scalar[4],
            .top_depth_km = scalar[5],
            .hypocentre_along_strike_km = scalar[8],
            .hypocentre_down_dip_km = scalar[9],
            .subfaults = std::move(subfaults),
        }.build());
    }

    t.expect("stations");
    const std::uint64_t station_count = t.unsigned_integer();
    for (std::uint64_t k = 0; k < station_count; ++k) {
        t.expect("station");
        StationEntry entry;
        entry.name = t.word();
        const float latitude = t.f32();
        const float longitude = t.f32();
        const float kappa_s = t.f32();
        const float q_exponent = t.f32();
        entry.station = input::Station{longitude, latitude, kappa_s, q_exponent};
        entry.seed = t.unsigned_integer();
        s.stations.push_back(entry);
    }
    t.end();
    if (s.stations.empty()) t.fail("has no station");
    return s;
}

sim::Simulator make_simulator(const Scenario& s) {
    auto cut = input::build_velocity_model(s.layers, s.vs_moho_km_s);
    if (const auto* error = std::get_if<input::ModelError>(&cut)) throw std::runtime_error(input::display(*error));
    auto built = sim::Simulator::create(s.config, input::StochModel::create(s.segments),
                                        std::get<std::vector<input::InputLayer>>(cut));
    if (const auto* error = std::get_if<sim::SimError>(&built)) throw std::runtime_error(sim::display(*error));
    return std::get<sim::Simulator>(std::move(built));
}

// ---------------------------------------------------------------- transform lengths of the pairs

// The transform length of every (subfault, ray) pair the station run synthesises, in the
// order of the pass: segments, then subfaults along strike (outer) and down dip (inner), then
// ray types. Same seeds, same skips as the pass.
std::vector<std::size_t> synthesised_lengths(const sim::Simulator& simulator, const StationEntry& entry) {
    const sim::RunScalars& run = simulator.run;
    auto [deviates, rng] = sim::seed_and_predraw(entry.seed, run.conical_sample_count);
    const sim::RunContext ctx{simulator.vmod,     simulator.rupture,         run,
                              simulator.rayset,   deviates,                  simulator.siteamp_log_freq,
                              entry.station.kappa_s, entry.seed};
    const geom::GeoPoint station_point{entry.station.latitude, entry.station.longitude};
    const auto ndata_i32 = static_cast<std::int32_t>(run.ndata);
    state::RayState ray_state;
    std::vector<std::size_t> lengths;

    for (std::size_t index = 0; index < simulator.slip.segments.size(); ++index) {
        const input::Segment& segment = simulator.slip.segments[index];
        const geom::SubfaultGeometry geom = geom::subfault_geometry(sim::fault_plane(segment), station_point);
        const sim::WindowPass windows =
            simulator.time_window_pass(segment, geom, simulator.angles[index], simulator.strengths[index]);
        const sim::SegmentPass pass{segment, geom, windows, simulator.angles[index], simulator.weights[index],
                                    simulator.strengths[index], index};
        for (std::size_t i = 1; i <= segment.along_strike_count; ++i) {
            for (std::size_t j = 1; j <= segment.down_dip_count; ++j) {
                const std::uint64_t subfault_seed = sim::substream_seed(entry.seed, index, segment.grid_index(i, j));
                rng::DrawSource subfault_rng = rng.respawn(subfault_seed);
                const auto source = sim::SubfaultSource::gather(subfault_rng, pass, i, j, ctx);
                if (!source || source->earliest_start_sample(run, ctx.rayset) > ndata_i32) continue;
                for (const config::RayType ray_type : ctx.rayset) {
                    const sim::TracedRay ray = sim::trace_ray(ray_state, *source, ray_type, ctx);
                    const sim::Arrival arrival = sim::arrival_time_and_angles(ray, *source, pass.angles, run);
                    if (arrival.start_sample > ndata_i32) continue;
                    const std::size_t np2 =
                        stoc::SpectrumPlan::length_for_arrival(source->window_s, run.dt, arrival.start_sample, run.ndata);
                    if (!arrival.placement(np2, run.ndata)) continue;
                    lengths.push_back(np2);
                }
            }
        }
    }
    return lengths;
}

// ---------------------------------------------------------------- timing

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: it stops while another process has the core, so the CPU
// time per station tells contention inside the engine apart from cores taken by others.
double thread_cpu_s() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Persistent worker threads, so that every timed round runs on threads whose transform plans
// already exist (the engine keeps them per thread). A round hands out jobs from one queue to
// the first `active` workers and returns its wall time.
class Workers {
public:
    explicit Workers(std::size_t count) : start_(static_cast<std::ptrdiff_t>(count + 1)),
                                          done_(static_cast<std::ptrdiff_t>(count + 1)) {
        cpu_s_.assign(count, 0.0);
        for (std::size_t w = 0; w < count; ++w) threads_.emplace_back([this, w] { loop(w); });
    }
    ~Workers() {
        quit_ = true;
        start_.arrive_and_wait();
        for (auto& thread : threads_) thread.join();
    }

    struct Timing {
        double wall_s;  // from handing out the first job to the last worker's finish
        double cpu_s;   // CPU time of the active workers over the same span, summed
    };

    Timing round(std::size_t active, std::size_t job_count, const std::function<void(std::size_t)>& job) {
        active_ = std::min(active, threads_.size());
        job_count_ = job_count;
        job_ = &job;
        next_.store(0);
        for (auto& cpu : cpu_s_) cpu = 0.0;
        const Clock::time_point t0 = Clock::now();
        start_.arrive_and_wait();
        done_.arrive_and_wait();
        const double wall_s = seconds_since(t0);
        double cpu_s = 0.0;
        for (double cpu : cpu_s_) cpu_s += cpu;
        return {wall_s, cpu_s};
    }

private:
    void loop(std::size_t w) {
        for (;;) {
            start_.arrive_and_wait();
            if (quit_) return;
            if (w < active_) {
                const double cpu0 = thread_cpu_s();
                for (std::size_t k; (k = next_.fetch_add(1)) < job_count_;) (*job_)(k);
                cpu_s_[w] = thread_cpu_s() - cpu0;
            }
            done_.arrive_and_wait();
        }
    }

    std::barrier<> start_;
    std::barrier<> done_;
    std::vector<std::thread> threads_;
    std::vector<double> cpu_s_;  // per worker, written by that worker only
    std::atomic<std::size_t> next_{0};
    std::size_t active_ = 0;
    std::size_t job_count_ = 0;
    const std::function<void(std::size_t)>* job_ = nullptr;
    bool quit_ = false;
};

struct Options {
    std::string scenario = BRANTLE_BENCH_SCENARIO;
    int rounds = 7;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--rounds" && k + 1 < argc) {
            options.rounds = std::max(1, std::atoi(argv[++k]));
        } else if (!arg.empty() && arg[0] != '-') {
            options.scenario = arg;
        } else {
            throw std::runtime_error("usage: bench_station_run [SCENARIO.txt] [--rounds N]");
        }
    }
    return options;
}

int run(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const Scenario scenario = read_scenario(options.scenario);
    const sim::Simulator simulator = make_simulator(scenario);
    const std::size_t station_count = scenario.stations.size();
    std::printf("station run: %zu stations, %zu segments, %zu ray types, %zu samples per record (%s)\n",
                station_count, simulator.slip.segments.size(), simulator.rayset.size(), simulator.ndata(),
                options.scenario.c_str());

    // Reference records and accounts; the lengths of every synthesised pair, checked against
    // the census.
    std::vector<sim::Simulation> reference;
    std::vector<std::size_t> lengths;  // every station's pairs, station after station
    std::size_t pairs_total = 0;
    for (const StationEntry& entry : scenario.stations) {
        reference.push_back(simulator.run_station(entry.station, entry.seed));
        const sim::Census& census = reference.back().census;
        const std::vector<std::size_t> own = synthesised_lengths(simulator, entry);
        const std::size_t synthesised = census.pairs_attempted - census.pairs_outside_record;
        std::size_t summed = 0;
        for (std::size_t n : own) summed += n;
        if (own.size() != synthesised || summed != census.samples_computed) {
            std::fprintf(stderr,
                         "station %s: reconstructed %zu pairs of %zu samples, the census says %zu pairs of %zu\n",
                         entry.name.c_str(), own.size(), summed, synthesised, census.samples_computed);
            return 1;
        }
        pairs_total += synthesised;
        lengths.insert(lengths.end(), own.begin(), own.end());
    }
    if (pairs_total == 0) {
        std::fprintf(stderr, "no station synthesises any pair: nothing to measure\n");
        return 1;
    }
    std::vector<std::size_t> distinct = lengths;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    double mean_length = 0.0;
    for (std::size_t n : lengths) mean_length += static_cast<double>(n);
    mean_length /= static_cast<double>(lengths.size());
    std::printf("pairs synthesised: %zu (%.1f per station); %zu transform lengths from %zu to %zu, mean %.0f\n",
                pairs_total, static_cast<double>(pairs_total) / static_cast<double>(station_count), distinct.size(),
                distinct.front(), distinct.back(), mean_length);
    const std::size_t longest = distinct.back();

    Workers workers(2);

    // Engine rounds: every station `repeats` times, jobs interleaved so that both threads see
    // the same mix of near and far stations. Every record is compared with the reference.
    std::atomic<std::size_t> mismatches{0};
    auto station_job = [&](std::size_t k) {
        const std::size_t s = k % station_count;
        const StationEntry& entry = scenario.stations[s];
        const sim::Simulation result = simulator.run_station(entry.station, entry.seed);
        if (result.acc.size() != reference[s].acc.size() ||
            std::memcmp(result.acc.data(), reference[s].acc.data(), result.acc.size() * sizeof(float)) != 0)
            mismatches.fetch_add(1);
    };
    const std::function<void(std::size_t)> engine_job = station_job;

    // Bare transforms: per pair, three rows of its length, a whole number of 64-byte lines
    // apart in one allocation as in the pass, are refilled with the same noise, then forward x3
    // and inverse x3 are timed. The refill is outside the clock and leaves the rows in cache,
    // as the pass leaves its freshly written spectra. Rows start on a 64-byte boundary, or
    // `offset_bytes` past one: 16 puts them where a plain vector's rows often land, aligned
    // enough for the direct path but not for whole AVX lines.
    std::vector<std::complex<float>> noise(longest);
    {
        rng::DrawSource draws = rng::DrawSource::for_station(12345);
        for (auto& value : noise) value = {draws.normal(), 0.0f};
    }
    constexpr std::size_t per_line = 64 / sizeof(std::complex<float>);
    const std::size_t stride = (longest + per_line - 1) / per_line * per_line;
    std::vector<std::complex<float>> memory(3 * stride + 2 * per_line);
    auto time_transforms = [&](std::size_t offset_bytes) {
        void* start = memory.data();
        std::size_t room = memory.size() * sizeof(std::complex<float>);
        std::align(64, 64, start, room);
        auto* rows = reinterpret_cast<std::complex<float>*>(static_cast<char*>(start) + offset_bytes);
        double total = 0.0;
        for (std::size_t n : lengths) {
            for (std::size_t c = 0; c < 3; ++c) std::copy_n(noise.begin(), n, rows + c * stride);
            const Clock::time_point t0 = Clock::now();
            for (std::size_t c = 0; c < 3; ++c) fft::forward(std::span(rows + c * stride, n));
            for (std::size_t c = 0; c < 3; ++c) fft::inverse(std::span(rows + c * stride, n));
            total += seconds_since(t0);
        }
        return total;
    };
    double fft_seconds = 0.0;
    double fft_offset_seconds = 0.0;
    const std::function<void(std::size_t)> fft_job = [&](std::size_t) {
        fft_seconds = time_transforms(0);
        fft_offset_seconds = time_transforms(16);
    };

    // Warm-up: both workers plan their transforms and fault in their memory.
    workers.round(2, 2 * station_count, engine_job);
    workers.round(1, 1, fft_job);

    // Size the engine rounds to about a second on one thread (at least one pass over the stations).
    const double one_pass_s = workers.round(1, station_count, engine_job).wall_s;
    const std::size_t repeats = std::max<std::size_t>(1, static_cast<std::size_t>(1.0 / std::max(one_pass_s, 1e-6)));
    const std::size_t jobs = repeats * station_count;
    std::printf("rounds: %d, each %zu station runs on 1 thread, the same on 2 threads, and the bare transforms of "
                "every station's pairs\n\n",
                options.rounds, jobs);

    std::vector<double> one_thread_s, two_threads_s, fft_s, fft_offset_s;
    std::vector<double> speedup, cpu_growth, on_core;
    for (int r = 0; r < options.rounds; ++r) {
        const Workers::Timing one = workers.round(1, jobs, engine_job);
        const Workers::Timing two = workers.round(2, jobs, engine_job);
        workers.round(1, 1, fft_job);
        one_thread_s.push_back(one.wall_s);
        two_threads_s.push_back(two.wall_s);
        fft_s.push_back(fft_seconds);
        fft_offset_s.push_back(fft_offset_seconds);
        speedup.push_back(one.wall_s / two.wall_s);
        cpu_growth.push_back(two.cpu_s / one.cpu_s);
        on_core.push_back(two.cpu_s / (2.0 * two.wall_s));
    }

    const double pairs_per_round = static_cast<double>(pairs_total) * static_cast<double>(repeats);
    const double us_per_pair = median(one_thread_s) / pairs_per_round * 1e6;
    const double fft_us_per_pair = median(fft_s) / static_cast<double>(pairs_total) * 1e6;
    const double fft_offset_us_per_pair = median(fft_offset_s) / static_cast<double>(pairs_total) * 1e6;
    auto spread = [](const std::vector<double>& v) {
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        return (*hi - *lo) / median(v) * 100.0;
    };
    std::printf("  %-44s %9.4f   (rounds spread %.0f%%)\n", "seconds per station, 1 thread",
                median(one_thread_s) / static_cast<double>(jobs), spread(one_thread_s));
    std::printf("  %-44s %9.1f\n", "us per (subfault, ray) pair", us_per_pair);
    std::printf("  %-44s %9.1f   (rounds spread %.0f%%)\n", "bare FFT us per pair, 3 forward + 3 inverse",
                fft_us_per_pair, spread(fft_s));
    std::printf("  %-44s %9.1f   (%+.1f%%)\n", "  same, rows 16 B past a 64-byte line",
                fft_offset_us_per_pair, (fft_offset_us_per_pair / fft_us_per_pair - 1.0) * 100.0);
    std::printf("  %-44s %9.2f\n", "ratio engine / bare FFT", us_per_pair / fft_us_per_pair);
    std::printf("  %-44s %9.4f   (rounds spread %.0f%%)\n", "seconds per station, 2 threads",
                median(two_threads_s) / static_cast<double>(jobs), spread(two_threads_s));
    std::printf("  %-44s %9.2f   (target >= 1.8; rounds %.2f to %.2f)\n", "throughput 2 threads / 1 thread",
                median(speedup), *std::min_element(speedup.begin(), speedup.end()),
                *std::max_element(speedup.begin(), speedup.end()));
    std::printf("  %-44s %9.2f   (1.00: no contention inside the engine)\n",
                "CPU time per station, 2 threads / 1 thread", median(cpu_growth));
    std::printf("  %-44s %8.0f%%   (below 100%%: cores taken by other processes)\n",
                "2-thread rounds: workers on a core", median(on_core) * 100.0);
    std::printf("\nrecords of the timed runs identical to the first run of their station: %s\n",
                mismatches.load() == 0 ? "yes" : "NO");
    return mismatches.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_station_run: %s\n", error.what());
        return 1;
    }
}
