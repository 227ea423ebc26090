// Which high cut shapes each component of a station record. With a kappa the high cut is
// exp(-pi kappa f) for every component and fmax changes nothing; without one, the horizontals
// are cut at fmax and the vertical at min(fmax, 15 Hz). The subfault pass shares one target
// shape between components whenever their cut is the same, so a wrong sharing shows up here
// as a component that follows the wrong cut-off.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "quillon/sim.hpp"
#include "quillon/sim/records.hpp"

using namespace quillon;

namespace {

// A 2 x 2 vertical strike-slip segment of 2 km subfaults at 35 N, 120 W.
input::Segment segment() {
    std::vector<input::Subfault> subfaults;
    for (std::size_t k = 0; k < 4; ++k) subfaults.push_back(input::Subfault{{100.0f + 30.0f * k}, 1.0f, 0.5f * k, 50.0f});
    return input::SegmentBuilder{
        .fault_lon_deg = -120.0f, .fault_lat_deg = 35.0f, .along_strike_count = 2, .down_dip_count = 2,
        .subfault_length_km = 2.0f, .subfault_width_km = 2.0f, .strike_deg = 0.0f, .dip_deg = 90.0f,
        .rake_deg = 0.0f, .top_depth_km = 2.0f, .hypocentre_along_strike_km = 1.0f,
        .hypocentre_down_dip_km = 2.0f, .subfaults = std::move(subfaults)}
        .build();
}

sim::Simulation record(float fmax_hz, float kappa_s) {
    const config::HfConfig config{
        .source = {.czero = 2.0f, .calpha = 0.0f, .rupture_velocity = {0.8f, 0.7f, 1.2f, 0.1f}},
        .path = {.rayset = {{1}, {2}}, .path_duration = config::PathDurationModel::Gp2010},
        .site = {.f_max_hz = fmax_hz},
        .record = {.duration_s = 20.48f, .dt_s = 0.01f}};
    const std::vector<input::InputLayer> crust = {{1.0f, 1.0f, 3.5, 2.0, 2.4, 200.0f, 100.0f},
                                                  {8.0f, 7.0f, 6.0, 3.5, 2.7, 600.0f, 300.0f},
                                                  {30.0f, 0.0f, 8.0, 4.6, 3.3, 1000.0f, 500.0f}};
    auto built = sim::Simulator::create(config, input::StochModel::create({segment()}), crust);
    const sim::Simulator simulator = std::get<sim::Simulator>(std::move(built));
    return simulator.run_station(input::Station{-120.0f + 20.0f / 91.3f, 35.0f, kappa_s, 0.6f}, 77);
}

std::vector<float> component(const sim::Simulation& s, sim::Component c) {
    return std::vector<float>(s.row(c), s.row(c) + s.ndata);
}

}  // namespace

TEST(StationCutoffs, EachComponentFollowsItsOwnHighCut) {
    struct Case {
        const char* what;
        float kappa_s;
        float fmax_a_hz, fmax_b_hz;
        bool horizontals_equal, vertical_equal;
    };
    const std::vector<Case> cases = {
        // Without a kappa both rows follow fmax up to 15 Hz, then only the horizontals do.
        {"no kappa, fmax 25 or 15", 0.0f, 25.0f, 15.0f, false, true},
        {"no kappa, fmax 25 or 40", 0.0f, 25.0f, 40.0f, false, true},
        {"no kappa, fmax 10 or 12", 0.0f, 10.0f, 12.0f, false, false},
        {"a NaN kappa is no kappa", NAN, 25.0f, 15.0f, false, true},
        // With a kappa, fmax is never read.
        {"kappa, fmax 25 or 15", 0.04f, 25.0f, 15.0f, true, true},
        {"kappa, fmax 25 or 8", 0.04f, 25.0f, 8.0f, true, true},
    };
    for (const Case& c : cases) {
        const sim::Simulation a = record(c.fmax_a_hz, c.kappa_s);
        const sim::Simulation b = record(c.fmax_b_hz, c.kappa_s);
        ASSERT_EQ(a.census.pairs_attempted - a.census.pairs_outside_record, 8u) << c.what;  // all in the record
        EXPECT_EQ(component(a, sim::Component::E090) == component(b, sim::Component::E090), c.horizontals_equal)
            << c.what;
        EXPECT_EQ(component(a, sim::Component::N000) == component(b, sim::Component::N000), c.horizontals_equal)
            << c.what;
        EXPECT_EQ(component(a, sim::Component::Vertical) == component(b, sim::Component::Vertical), c.vertical_equal)
            << c.what;
    }
}
