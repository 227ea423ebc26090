// The station run end to end on the engine: seeds, placement of arrivals in the record, the
// run's accounts, and reproducibility of records across repeated and concurrent runs.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "quillon/internal_error.hpp"
#include "quillon/sim.hpp"
#include "quillon/sim/pass.hpp"
#include "quillon/sim/records.hpp"
#include "quillon/sim/run.hpp"

using namespace quillon;

namespace {

// A 3 x 2 vertical strike-slip segment of 2 km subfaults at 35 N, 120 W, rupturing outward
// from its first column.
input::Segment test_segment(float top_depth_km = 2.0f) {
    std::vector<input::Subfault> subfaults;
    for (std::size_t r = 0; r < 2; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            subfaults.push_back(input::Subfault{{100.0f + 20.0f * c}, 1.0f, 0.6f * c, 50.0f});
    return input::SegmentBuilder{
        .fault_lon_deg = -120.0f, .fault_lat_deg = 35.0f, .along_strike_count = 3, .down_dip_count = 2,
        .subfault_length_km = 2.0f, .subfault_width_km = 2.0f, .strike_deg = 0.0f, .dip_deg = 90.0f,
        .rake_deg = 0.0f, .top_depth_km = top_depth_km, .hypocentre_along_strike_km = 1.0f,
        .hypocentre_down_dip_km = 2.0f, .subfaults = std::move(subfaults)}
        .build();
}

std::vector<input::InputLayer> crust() {
    return {{1.0f, 1.0f, 3.5, 2.0, 2.4, 200.0f, 100.0f},
            {8.0f, 7.0f, 6.0, 3.5, 2.7, 600.0f, 300.0f},
            {30.0f, 22.0f, 6.6, 3.8, 2.9, 1000.0f, 500.0f},
            {30.0f, 0.0f, 8.0, 4.6, 3.3, 1000.0f, 500.0f}};
}

config::HfConfig config_of(std::vector<config::RayType> rayset, float duration_s = 20.48f, float fmax_hz = 25.0f) {
    return config::HfConfig{
        .source = {.czero = 2.0f, .calpha = 0.0f, .rupture_velocity = {0.8f, 0.7f, 1.2f, 0.1f}},
        .path = {.rayset = std::move(rayset), .path_duration = config::PathDurationModel::Gp2010},
        .site = {.f_max_hz = fmax_hz},
        .record = {.duration_s = duration_s, .dt_s = 0.01f}};
}

sim::Simulator simulator(const config::HfConfig& config) {
    auto built = sim::Simulator::create(config, input::StochModel::create({test_segment()}), crust());
    return std::get<sim::Simulator>(std::move(built));
}

// A station about `km` east of the fault.
input::Station station_east(float km, float kappa_s = 0.04f) {
    return input::Station{-120.0f + km / 91.3f, 35.0f, kappa_s, 0.6f};
}

}  // namespace

TEST(Seeds, MixAndStreamSeeds) {
    EXPECT_EQ(sim::mix64(0), 0u);
    EXPECT_EQ(sim::mix64(1), 0x5692161D100B05E5ULL);
    EXPECT_EQ(sim::mix64(sim::golden_gamma), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(sim::substream_seed(0, 0, 0), 0u);
    EXPECT_EQ(sim::substream_seed(0, 0, 1), 0x5692161D100B05E5ULL);
    EXPECT_EQ(sim::substream_seed(1, 0, 0), 0x7AB40E090F363A7DULL);
    EXPECT_EQ(sim::substream_seed(0, 1, 0), 0x48218226FF3CD4BFULL);
    EXPECT_EQ(sim::ray_stream_seed(0, 0), 0xE220A8397B1DCDAFULL);
}

TEST(Placement, ClipsSeriesToTheRecord) {
    struct Case {
        std::int32_t start_sample;
        std::size_t np2, ndata;
        std::optional<std::array<std::int32_t, 3>> expected;  // skip, offset, count
    };
    const std::vector<Case> cases = {
        {-5, 64, 1000, {{6, 0, 58}}},   {990, 64, 1000, {{0, 989, 11}}}, {-70, 64, 1000, std::nullopt},
        {1000, 64, 1000, {{0, 999, 1}}}, {1001, 64, 1000, std::nullopt},  {1, 64, 1000, {{0, 0, 64}}},
        {-62, 64, 1000, {{63, 0, 1}}},   {-63, 64, 1000, std::nullopt},   {5, 64, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto placement = sim::Placement::clip(c.start_sample, c.np2, c.ndata);
        ASSERT_EQ(placement.has_value(), c.expected.has_value()) << c.start_sample;
        if (placement) {
            EXPECT_EQ(placement->skip, (*c.expected)[0]) << c.start_sample;
            EXPECT_EQ(placement->offset, (*c.expected)[1]) << c.start_sample;
            EXPECT_EQ(placement->count, (*c.expected)[2]) << c.start_sample;
        }
    }
    EXPECT_THROW(sim::Placement::clip(2147483600, 128, 2147483647), InternalError);
}

TEST(Records, CutOffsAccountsAndLayerLookup) {
    EXPECT_EQ(sim::capped_fmax(sim::Component::E090, 25.0f), 25.0f);
    EXPECT_EQ(sim::capped_fmax(sim::Component::N000, 25.0f), 25.0f);
    EXPECT_EQ(sim::capped_fmax(sim::Component::Vertical, 25.0f), 15.0f);
    for (auto c : sim::components) EXPECT_EQ(sim::capped_fmax(c, 10.0f), 10.0f);
    EXPECT_EQ(sim::capped_fmax(sim::Component::Vertical, NAN), 15.0f);

    sim::Clipping a{1, 0.2f};
    a.merge({2, 0.5f});
    EXPECT_EQ(a.peaks_lost, 3u);
    EXPECT_EQ(a.worst_overrun_s, 0.5f);
    a.merge({});
    EXPECT_EQ(a.peaks_lost, 3u);
    EXPECT_EQ(a.worst_overrun_s, 0.5f);

    const auto vmod = simulator(config_of({{1}})).vmod;  // air, 1, 8, 30 km bases, half-space
    EXPECT_EQ(sim::source_layer_for(vmod, 1.0f), 1u);     // on the interface: the layer above
    EXPECT_EQ(sim::source_layer_for(vmod, 1.5f), 2u);
    EXPECT_EQ(sim::source_layer_for(vmod, 45.0f), vmod.size() - 1);
}

TEST(Records, PeakBeyondTheRecordIsCountedAsLost) {
    sim::RunScalars run{};
    run.ndata = 1000;
    run.dt = 0.01f;
    run.window_peak_fraction = 0.2f;
    // Window of 10 s: the peak comes 2 s = 200 samples after the start.
    const auto lost = sim::Clipping::for_arrival(850, 10.0f, run);
    EXPECT_EQ(lost.peaks_lost, 1u);
    EXPECT_NEAR(lost.worst_overrun_s, 0.5f, 1e-5f);
    EXPECT_EQ(sim::Clipping::for_arrival(700, 10.0f, run).peaks_lost, 0u);
}

TEST(StationRun, RecordIsFiniteQuietBeforeTheFirstArrivalAndReproducible) {
    const sim::Simulator s = simulator(config_of({{1}, {2}}));
    const auto station = station_east(20.0f);
    const sim::Simulation a = s.run_station(station, 42);
    ASSERT_EQ(a.acc.size(), 3 * s.ndata());
    EXPECT_EQ(a.ndata, 2048u);
    double energy = 0;
    for (float v : a.acc) {
        ASSERT_TRUE(std::isfinite(v));
        energy += double(v) * v;
    }
    EXPECT_GT(energy, 0.0);
    // S waves need more than 20 km / 4.6 km/s = 4.3 s minus the window lead; the first second is quiet.
    for (auto c : sim::components)
        for (std::size_t k = 0; k < 100; ++k) EXPECT_EQ(a.row(c)[k], 0.0f);

    EXPECT_EQ(a.census.pairs_attempted, 12u);  // 6 subfaults x 2 rays
    EXPECT_EQ(a.census.pairs_outside_record, 0u);
    EXPECT_GE(a.census.transform_lengths, 1u);
    EXPECT_GE(a.census.samples_computed, a.census.samples_accumulated);

    // Same inputs, same record, whatever ran in between.
    (void)s.run_station(station_east(50.0f), 7);
    const sim::Simulation b = s.run_station(station, 42);
    EXPECT_EQ(a.acc, b.acc);
    const sim::Simulation other_seed = s.run_station(station, 43);
    EXPECT_NE(a.acc, other_seed.acc);
}

TEST(StationRun, ConcurrentRunsOnOneSimulatorGiveTheSameRecords) {
    const sim::Simulator s = simulator(config_of({{1}, {2}}));
    const std::vector<float> distances_km = {5.0f, 15.0f, 40.0f, 80.0f};
    std::vector<std::vector<float>> sequential, parallel(distances_km.size());
    for (std::size_t k = 0; k < distances_km.size(); ++k)
        sequential.push_back(s.run_station(station_east(distances_km[k]), 1000 + k).acc);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t k = t; k < distances_km.size(); k += 2)
                parallel[k] = s.run_station(station_east(distances_km[k]), 1000 + k).acc;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(sequential, parallel);
}

TEST(StationRun, StationBeyondTheRecordAddsNothing) {
    const sim::Simulator s = simulator(config_of({{1}, {2}}, 5.12f));
    const sim::Simulation far = s.run_station(station_east(300.0f), 3);
    EXPECT_EQ(far.census.pairs_attempted, 12u);
    EXPECT_EQ(far.census.pairs_outside_record, far.census.pairs_attempted);
    EXPECT_EQ(far.census.samples_computed, 0u);
    EXPECT_EQ(far.clipping.peaks_lost, 12u);
    EXPECT_GT(far.clipping.worst_overrun_s, 50.0f);
    for (float v : far.acc) EXPECT_EQ(v, 0.0f);
}

TEST(StationRun, EmptyRaysetAndEmptyRecord) {
    const sim::Simulation no_rays = simulator(config_of({})).run_station(station_east(20.0f), 1);
    EXPECT_EQ(no_rays.census.pairs_attempted, 0u);
    EXPECT_EQ(no_rays.census.samples_computed, 0u);
    EXPECT_EQ(no_rays.census.transform_lengths, 1u);  // the segment's largest plan is still built
    for (float v : no_rays.acc) EXPECT_EQ(v, 0.0f);

    const sim::Simulation no_samples = simulator(config_of({{1}}, 0.0f)).run_station(station_east(20.0f), 1);
    EXPECT_EQ(no_samples.ndata, 0u);
    EXPECT_TRUE(no_samples.acc.empty());
    EXPECT_EQ(no_samples.census.pairs_outside_record, no_samples.census.pairs_attempted);
}

TEST(StationRun, StraightRayNeedsNoRayTracingAndNegativeCodesStop) {
    const sim::Simulation straight = simulator(config_of({{0}})).run_station(station_east(20.0f), 5);
    EXPECT_EQ(straight.census.pairs_attempted, 6u);
    double energy = 0;
    for (float v : straight.acc) energy += double(v) * v;
    EXPECT_GT(energy, 0.0);
    try {
        (void)simulator(config_of({{1}, {-1}})).run_station(station_east(20.0f), 5);
        FAIL() << "a negative ray type must stop the run";
    } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "ray type -1 is negative; th1 would be undefined");
    }
}
