// Building a simulator: segment consistency, the source normalisation, the run scalars and the
// errors of construction.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quillon/sim.hpp"

using namespace quillon;

namespace {

input::Segment segment_of(std::vector<float> slip_cm, std::size_t along_strike, std::size_t down_dip,
                          float length_km = 2.0f, float width_km = 2.0f) {
    std::vector<input::Subfault> subfaults;
    for (float slip : slip_cm) subfaults.push_back(input::Subfault{{slip}, 1.0f, 0.0f, 50.0f});
    return input::SegmentBuilder{
        .fault_lon_deg = 0.0f, .fault_lat_deg = 0.0f, .along_strike_count = along_strike,
        .down_dip_count = down_dip, .subfault_length_km = length_km, .subfault_width_km = width_km,
        .strike_deg = 0.0f, .dip_deg = 90.0f, .rake_deg = 0.0f, .top_depth_km = 0.0f,
        .hypocentre_along_strike_km = 0.0f, .hypocentre_down_dip_km = 4.0f, .subfaults = std::move(subfaults)}
        .build();
}

// Two crustal layers (base at 2 km and 10 km) over a half-space.
std::vector<input::InputLayer> crust() {
    return {{2.0f, 2.0f, 4.0, 2.0, 2.5, 200.0f, 100.0f},
            {10.0f, 8.0f, 6.0, 3.5, 2.8, 400.0f, 200.0f},
            {10.0f, 0.0f, 8.0, 4.5, 3.3, 800.0f, 400.0f}};
}

config::HfConfig config_of(float duration_s = 40.96f, float dt_s = 0.01f) {
    return config::HfConfig{
        .source = {.czero = 1.0f, .calpha = 0.5f, .rupture_velocity = {0.8f, 0.7f, 1.2f, 0.0f}},
        .path = {.rayset = {{1}, {2}}, .path_duration = config::PathDurationModel::Gp2010},
        .site = {.f_max_hz = 25.0f},
        .record = {.duration_s = duration_s, .dt_s = dt_s}};
}

sim::Simulator build(const config::HfConfig& config, std::vector<input::Segment> segments,
                     const std::vector<input::InputLayer>& layers = crust()) {
    auto result = sim::Simulator::create(config, input::StochModel::create(std::move(segments)), layers);
    if (auto* error = std::get_if<sim::SimError>(&result)) ADD_FAILURE() << sim::display(*error);
    return std::get<sim::Simulator>(std::move(result));
}

std::string error_text(const config::HfConfig& config, std::vector<input::Segment> segments) {
    auto result = sim::Simulator::create(config, input::StochModel::create(std::move(segments)), crust());
    if (auto* error = std::get_if<sim::SimError>(&result)) return sim::display(*error);
    return "<built>";
}

}  // namespace

TEST(SimulatorCreate, RefusesSegmentsDicedDifferently) {
    auto a = segment_of({1}, 1, 1, 2.0f, 2.0f);
    auto wider = segment_of({1}, 1, 1, 2.0f, 2.5f);
    auto longer_and_wider = segment_of({1}, 1, 1, 3.0f, 2.5f);
    auto nan_length = segment_of({1}, 1, 1, std::numeric_limits<float>::quiet_NaN(), 2.0f);
    const std::string tail =
        " km; every segment must be diced the same way because the subfault size is one quantity for the whole run";
    EXPECT_EQ(error_text(config_of(), {a, wider}), "segment 1 has subfault_width_km = 2.5 km, but segment 0 has 2" + tail);
    EXPECT_EQ(error_text(config_of(), {a, longer_and_wider}),
              "segment 1 has subfault_length_km = 3 km, but segment 0 has 2" + tail);
    EXPECT_EQ(error_text(config_of(), {a, a, wider}), "segment 2 has subfault_width_km = 2.5 km, but segment 0 has 2" + tail);
    EXPECT_EQ(error_text(config_of(), {a, nan_length}),
              "segment 1 has subfault_length_km = NaN km, but segment 0 has 2" + tail);
    EXPECT_EQ(error_text(config_of(), {wider}), "<built>");  // one segment is always consistent
}

TEST(SimulatorCreate, RefusesASlipModelWithNoActiveSubfault) {
    EXPECT_EQ(error_text(config_of(), {segment_of({0, 0, 0, 0}, 2, 2)}),
              "the slip model has no active subfault: every moment weight is at most 0.001, so every record would be NaN");
}

TEST(SimulatorCreate, RecordLengthInSamples) {
    EXPECT_EQ(build(config_of(40.96f, 0.01f), {segment_of({1}, 1, 1)}).ndata(), 4096u);
    for (float dt : {-0.01f, std::numeric_limits<float>::quiet_NaN()})
        EXPECT_EQ(build(config_of(40.96f, dt), {segment_of({1}, 1, 1)}).ndata(), 0u) << dt;
    EXPECT_EQ(error_text(config_of(40.96f, 1e-9f), {segment_of({1}, 1, 1)}),
              "duration_s / dt gives 40960000000 samples; a record holds at most 2147483647");
    EXPECT_EQ(error_text(config_of(40.96f, 0.0f), {segment_of({1}, 1, 1)}),
              "duration_s / dt gives 18446744073709551615 samples; a record holds at most 2147483647");
    EXPECT_EQ(sim::record_samples(2147483647.0f, 1.0f), 2147483648u);
}

TEST(SimulatorCreate, MomentWeightsFollowSlipAndRigidityAndAverageOne) {
    // Rows of 2 km on a vertical fault: centres at 1, 3, 5 km. The first row lies in the 2 km
    // layer, the others in the second layer; rigidity differs by (3.5^2 * 2.8) / (2^2 * 2.5).
    const sim::Simulator s = build(config_of(), {segment_of({1, 1, 1, 1, 1, 1}, 2, 3)});
    const auto& w = s.weights[0];
    ASSERT_EQ(w.size(), 6u);
    const double mu_top = 2.0 * 2.0 * 2.5, mu_below = 3.5 * 3.5 * 2.8;
    const double mean = (2 * mu_top + 4 * mu_below) / 6;
    EXPECT_NEAR(w[0].value, mu_top / mean, 1e-6);
    EXPECT_NEAR(w[1].value, mu_top / mean, 1e-6);
    EXPECT_NEAR(w[2].value, mu_below / mean, 1e-6);
    EXPECT_NEAR(w[5].value, mu_below / mean, 1e-6);
    float sum = 0;
    for (auto weight : w) sum += weight.value;
    EXPECT_NEAR(sum / 6, 1.0f, 1e-6f);
    // Total moment in dyne.cm: slip 1 cm x rigidity x (2 km)^2 area, with 1e20 for the units.
    const float expected_moment = static_cast<float>((2 * mu_top + 4 * mu_below) * 4.0 * 1e20);
    EXPECT_NEAR(s.strengths[0][0].moment_scale,
                expected_moment / (std::sqrt(6.0f) * s.strengths[0][0].subevent_moment), 1e-3);
}

TEST(SimulatorCreate, ARowCentredOnAnInterfaceBelongsToTheLayerAbove) {
    // 4 km rows on a vertical fault starting at 0 km: the first centre is at 2 km, the base of
    // the top layer.
    const sim::Simulator s = build(config_of(), {segment_of({1, 1}, 1, 2, 4.0f, 4.0f)});
    const double mu_top = 2.0 * 2.0 * 2.5, mu_below = 3.5 * 3.5 * 2.8;
    EXPECT_NEAR(s.weights[0][1].value / s.weights[0][0].value, mu_below / mu_top, 1e-5);
}

TEST(SimulatorCreate, InactiveSubfaultsStayZeroButKeepAStrength) {
    const sim::Simulator s = build(config_of(), {segment_of({0, 1, 1, 1}, 4, 1)});
    EXPECT_EQ(s.weights[0][0].value, 0.0f);
    ASSERT_EQ(s.strengths[0].size(), 4u);
    EXPECT_GT(s.strengths[0][0].subevent_moment, 0.0f);
    for (std::size_t k = 1; k < 4; ++k) EXPECT_NEAR(s.weights[0][k].value, 1.0f, 1e-6f);
}

TEST(SimulatorCreate, SourceStrengthUnits) {
    const auto strength = sim::SourceStrength::create(50.0f, 2.0f, 8e24f, 4);
    EXPECT_FLOAT_EQ(strength.subevent_moment, 50.0f * 8.0f * 1e21f);
    EXPECT_FLOAT_EQ(strength.moment_scale, 8e24f / (2.0f * 4e23f));
}

TEST(SimulatorCreate, CornerFrequencyAlphaOfDipAndRake) {
    const float calpha = 0.5f;
    struct Case {
        float dip_deg, rake_deg, alpha;
    };
    const std::vector<Case> cases = {
        {90, 0, 1.0f},  {30, 90, 1.0f / 1.5f}, {45, 90, 1.0f / 1.5f}, {67.5f, 90, 1.0f / 1.25f},
        {30, -90, 1.0f}, {30, 270, 1.0f},      {30, 450, 1.0f / 1.5f}, {30, 45, 1.0f / 1.25f},
        {-10, 90, 1.0f}, {std::numeric_limits<float>::quiet_NaN(), 90, 1.0f}};
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(sim::alpha_t(c.dip_deg, c.rake_deg, calpha), c.alpha) << c.dip_deg << " " << c.rake_deg;

    auto segment = segment_of({1}, 1, 1);
    segment.dip_deg = 30.0f;
    segment.rake_deg = 90.0f;
    const auto angles = sim::SegmentAngles::for_segment(segment, 2.0f, calpha);
    EXPECT_FLOAT_EQ(angles.corner_coeff, 2.0f * 1.5f);
    EXPECT_FLOAT_EQ(angles.rake_rad, 90.0f * 0.017453292f);
}

TEST(SimulatorCreate, RunScalarsTaperAndLayers) {
    auto deep = segment_of({1}, 1, 1);
    deep.hypocentre_down_dip_km = 18.0f;  // vertical fault from 0 km: hypocentre at 18 km
    const std::vector<std::pair<input::Segment, std::pair<float, float>>> cases = {
        {segment_of({1}, 1, 1), {15.0f, 20.0f}}, {deep, {18.0f, 23.0f}}};
    for (const auto& [segment, ramp] : cases) {
        const sim::Simulator s = build(config_of(), {segment});
        EXPECT_FLOAT_EQ(s.rupture.deep_top_km, ramp.first);
        EXPECT_FLOAT_EQ(s.rupture.deep_base_km, ramp.second);
        EXPECT_EQ(s.rupture.shallow_top_km, 5.0f);
        EXPECT_EQ(s.rupture.shallow_base_km, 8.0f);
    }

    const sim::Simulator s = build(config_of(), {segment_of({1}, 1, 1)});
    EXPECT_EQ(s.siteamp_log_freq.front(), std::log(0.01f));
    EXPECT_EQ(s.siteamp_log_freq.back(), std::log(70.0f));
    ASSERT_EQ(s.vmod.size(), 4u);  // air layer on top
    EXPECT_EQ(s.vmod[0].thickness_km, static_cast<double>(0.0001f));
    EXPECT_EQ(s.run.max_shear_velocity_km_s, 4.5f);
    EXPECT_EQ(s.run.conical_sample_count, 1000u);
    EXPECT_EQ(s.run.site_table_len, 20u);
    EXPECT_EQ(s.run.window_peak_fraction, 0.2f);
    EXPECT_EQ(s.run.window_end_fraction, 0.05f);
    EXPECT_EQ(s.run.fmax_hz, 25.0f);
    EXPECT_FLOAT_EQ(s.run.avg_subfault_km, 2.0f);
    EXPECT_EQ(s.rayset.size(), 2u);
    EXPECT_EQ(s.path_duration.size(), 1u);
}
