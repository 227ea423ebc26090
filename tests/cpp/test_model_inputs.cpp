// Configuration records, slip model, velocity model, path-duration tables and message numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quillon/config.hpp"
#include "quillon/input.hpp"
#include "quillon/internal_error.hpp"
#include "quillon/number_format.hpp"
#include "quillon/sim/duration.hpp"
#include "stop_message.hpp"

using namespace quillon;

namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();

using quillon::testing::stop_message;

input::Segment grid_segment(std::size_t along_strike, std::size_t down_dip, float length_km = 2.0f,
                            float width_km = 2.0f) {
    std::vector<input::Subfault> subfaults(along_strike * down_dip,
                                           input::Subfault{{1.0f}, 1.0f, 0.0f, 50.0f});
    return input::SegmentBuilder{
        .fault_lon_deg = 0.0f, .fault_lat_deg = 0.0f, .along_strike_count = along_strike,
        .down_dip_count = down_dip, .subfault_length_km = length_km, .subfault_width_km = width_km,
        .strike_deg = 0.0f, .dip_deg = 90.0f, .rake_deg = 0.0f, .top_depth_km = 0.0f,
        .hypocentre_along_strike_km = 0.0f, .hypocentre_down_dip_km = 0.0f,
        .subfaults = std::move(subfaults)}
        .build();
}

input::InputLayer layer_of(float thickness_km, double vsh_km_s) {
    return input::InputLayer{0.0f, thickness_km, 2.0 * vsh_km_s, vsh_km_s, 2.7, 200.0f, 100.0f};
}

}  // namespace

TEST(NumberFormat, ShortestPositionalText) {
    const std::vector<std::pair<float, std::string>> cases = {
        {2.5f, "2.5"}, {2.0f, "2"}, {0.1f, "0.1"}, {-1.5f, "-1.5"}, {1e-7f, "0.0000001"},
        {3.4028235e38f, "340282350000000000000000000000000000000"}, {nan_f, "NaN"},
        {inf_f, "inf"}, {-inf_f, "-inf"}, {-0.0f, "-0"}, {0.0f, "0"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(format_number(value), text) << text;
    // Doubles keep their own shortest digits: a float-rounded text would read back differently.
    EXPECT_EQ(format_number(3.5000001), "3.5000001");
    EXPECT_EQ(format_number(4.0), "4");
    EXPECT_EQ(format_shape(2, 3), "(2, 3)");
    const std::vector<std::size_t> lengths = {3, 3, 2};
    EXPECT_EQ(format_lengths(lengths), "[3, 3, 2]");
}

TEST(RayType, KindFollowsParityWithNegativeCodesDowngoing) {
    const std::vector<std::pair<int, config::RayKind>> cases = {
        {0, config::RayKind::StraightRay}, {1, config::RayKind::Upgoing}, {3, config::RayKind::Upgoing},
        {7, config::RayKind::Upgoing},     {2, config::RayKind::Downgoing}, {4, config::RayKind::Downgoing},
        {-1, config::RayKind::Downgoing},  {-2, config::RayKind::Downgoing}};
    for (const auto& [code, kind] : cases) EXPECT_EQ(config::RayType{code}.kind(), kind) << code;
}

TEST(PathDurationModel, DeckCodes) {
    using config::PathDurationModel;
    EXPECT_EQ(config::path_duration_from_deck(-7), PathDurationModel::Gp2010);
    EXPECT_EQ(config::path_duration_from_deck(0), PathDurationModel::Gp2010);
    EXPECT_EQ(config::path_duration_from_deck(1), PathDurationModel::Wus);
    EXPECT_EQ(config::path_duration_from_deck(2), PathDurationModel::Ena);
    EXPECT_EQ(config::path_duration_from_deck(11), PathDurationModel::Bt2014Wus);
    EXPECT_EQ(config::path_duration_from_deck(12), PathDurationModel::Bt2015Ena);
    for (int code : {3, 10, 13, 1000}) EXPECT_FALSE(config::path_duration_from_deck(code)) << code;
}

TEST(RuptureVelocityTaper, RampsBetweenShallowAndDeepFactors) {
    const config::RuptureVelocityTaper taper{0.8f, 0.7f, 1.2f, 5.0f, 8.0f, 15.0f, 20.0f};
    const std::vector<std::pair<float, float>> cases = {
        {2.0f, 0.56f}, {5.0f, 0.56f}, {6.5f, 0.68f}, {8.0f, 0.8f}, {10.0f, 0.8f},
        {15.0f, 0.8f}, {17.5f, 0.88f}, {20.0f, 0.96f}, {25.0f, 0.96f}, {nan_f, 0.56f}};
    for (const auto& [depth_km, factor] : cases) EXPECT_FLOAT_EQ(taper.factor(depth_km), factor) << depth_km;
}

TEST(Segment, GridIndexAndVisitingOrders) {
    const input::Segment segment = grid_segment(3, 2);
    std::vector<std::size_t> strike_major, depth_major;
    for (auto [i, j] : segment.strike_major()) strike_major.push_back(segment.grid_index(i, j));
    for (auto [i, j] : segment.depth_major()) depth_major.push_back(segment.grid_index(i, j));
    EXPECT_EQ(strike_major, (std::vector<std::size_t>{0, 3, 1, 4, 2, 5}));
    EXPECT_EQ(depth_major, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(stop_message([&] { segment.grid_index(4, 1); }), "subfault (4,1) is outside the 3x2 grid");
    EXPECT_EQ(stop_message([&] { segment.grid_index(0, 1); }), "subfault (0,1) is outside the 3x2 grid");
    EXPECT_EQ(stop_message([&] { segment.grid_index(1, 3); }), "subfault (1,3) is outside the 3x2 grid");

    const input::Segment single = grid_segment(1, 1);
    EXPECT_EQ(single.strike_major(), single.depth_major());
}

TEST(Segment, BuilderRefusesAGridOfTheWrongSize) {
    EXPECT_EQ(stop_message([] {
                  input::SegmentBuilder{.fault_lon_deg = 0, .fault_lat_deg = 0, .along_strike_count = 3,
                                        .down_dip_count = 2, .subfault_length_km = 1, .subfault_width_km = 1,
                                        .strike_deg = 0, .dip_deg = 0, .rake_deg = 0, .top_depth_km = 0,
                                        .hypocentre_along_strike_km = 0, .hypocentre_down_dip_km = 0,
                                        .subfaults = std::vector<input::Subfault>(5)}
                      .build();
              }),
              "subfault grid holds 5 entries, expected 3x2");
    // Dimensions whose product overflows describe no grid at all.
    EXPECT_EQ(stop_message([] {
                  input::SegmentBuilder{.fault_lon_deg = 0, .fault_lat_deg = 0,
                                        .along_strike_count = std::numeric_limits<std::size_t>::max(),
                                        .down_dip_count = 2, .subfault_length_km = 1, .subfault_width_km = 1,
                                        .strike_deg = 0, .dip_deg = 0, .rake_deg = 0, .top_depth_km = 0,
                                        .hypocentre_along_strike_km = 0, .hypocentre_down_dip_km = 0,
                                        .subfaults = std::vector<input::Subfault>(2)}
                      .build();
              }),
              "subfault grid holds 2 entries, expected 18446744073709551615x2");
}

TEST(StochModel, DerivedTotals) {
    input::Segment segment = grid_segment(4, 2, 2.5f, 3.0f);
    EXPECT_FLOAT_EQ(segment.along_strike_offset_km, 5.0f);
    segment.top_depth_km = 2.0f;
    segment.hypocentre_down_dip_km = 10.0f;
    input::Segment flat = segment;
    flat.dip_deg = 0.0f;

    const input::StochModel model = input::StochModel::create({segment, flat});
    EXPECT_EQ(model.subfault_count, 16u);
    EXPECT_FLOAT_EQ(model.fault_area_km2, 120.0f);
    EXPECT_FLOAT_EQ(model.max_hypocentre_depth_km, 12.0f);
    EXPECT_FLOAT_EQ(input::StochModel::create({flat}).max_hypocentre_depth_km, 2.0f);

    input::Segment above_sea_level = flat;
    above_sea_level.top_depth_km = -3.0f;
    EXPECT_EQ(input::StochModel::create({above_sea_level}).max_hypocentre_depth_km, 0.0f);
}

TEST(VelocityModel, CutAtTheMohoAndHalfSpaceBelow) {
    const std::vector<input::InputLayer> given = {layer_of(1, 1.0), layer_of(2, 2.0), layer_of(3, 3.5),
                                                  layer_of(4, 4.0)};
    struct Case {
        double vs_moho_km_s;
        std::vector<float> depths_km, thicknesses_km;
    };
    const std::vector<Case> cases = {
        {3.5, {1, 3, 3}, {1, 2, 0}},
        {10.0, {1, 3, 6, 10}, {1, 2, 3, 0}},
        {std::numeric_limits<double>::quiet_NaN(), {1, 3, 6, 10}, {1, 2, 3, 0}},
    };
    for (const Case& c : cases) {
        auto result = input::build_velocity_model(given, c.vs_moho_km_s);
        ASSERT_TRUE(std::holds_alternative<std::vector<input::InputLayer>>(result));
        const auto& layers = std::get<std::vector<input::InputLayer>>(result);
        std::vector<float> depths, thicknesses;
        for (const auto& layer : layers) {
            depths.push_back(layer.depth_km);
            thicknesses.push_back(layer.thickness_km);
        }
        EXPECT_EQ(depths, c.depths_km) << c.vs_moho_km_s;
        EXPECT_EQ(thicknesses, c.thicknesses_km) << c.vs_moho_km_s;
    }
    // The half-space carries the properties of the first layer that reached the threshold.
    const auto cut = std::get<std::vector<input::InputLayer>>(input::build_velocity_model(given, 3.5));
    EXPECT_EQ(cut.back().vsh_km_s, 3.5);

    const auto one = std::get<std::vector<input::InputLayer>>(input::build_velocity_model({layer_of(2, 1.0)}, 4.0));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].depth_km, 2.0f);
    EXPECT_EQ(one[0].thickness_km, 0.0f);
}

TEST(VelocityModel, ErrorsAndTheirTexts) {
    const std::vector<input::InputLayer> given = {layer_of(1, 1.0), layer_of(2, 2.0)};
    EXPECT_EQ(input::display(std::get<input::ModelError>(input::build_velocity_model({}, 3.5))),
              "velocity model has no layers");
    EXPECT_EQ(input::display(std::get<input::ModelError>(input::build_velocity_model(given, 1.0))),
              "the first layer already reaches vs_moho = 1 km/s, so there is no model above the Moho to simulate");
    EXPECT_EQ(input::display(std::get<input::ModelError>(input::build_velocity_model(given, 0.5))),
              "the first layer already reaches vs_moho = 0.5 km/s, so there is no model above the Moho to simulate");
}

TEST(VelocityModel, AirLayerOnTopUnlessTheTopIsAirAlready) {
    auto layers = std::get<std::vector<input::InputLayer>>(
        input::build_velocity_model({layer_of(1, 1.0), layer_of(2, 2.0), layer_of(3, 3.5)}, 3.5));
    input::insert_air_layer(layers);
    ASSERT_EQ(layers.size(), 4u);
    EXPECT_EQ(layers[0].thickness_km, 0.0001f);
    EXPECT_EQ(layers[0].depth_km, 0.0001f);
    EXPECT_EQ(layers[0].vp_km_s, 0.0010000000474974513);
    EXPECT_EQ(layers[0].vsh_km_s, 0.0005000000237487257);
    EXPECT_EQ(layers[0].attenuation_s, layers[1].attenuation_s);
    EXPECT_EQ(layers[1].depth_km, 1.0f);  // depths stay measured from the caller's top
    EXPECT_EQ(layers[3].depth_km, 3.0f);

    auto thin_top = std::vector<input::InputLayer>{layer_of(0.0005f, 1.0)};
    thin_top[0].depth_km = 0.0005f;
    auto slow_top = std::vector<input::InputLayer>{layer_of(1.0f, 0.001)};
    slow_top[0].depth_km = 1.0f;
    for (auto* list : {&thin_top, &slow_top}) {
        input::insert_air_layer(*list);
        EXPECT_EQ(list->size(), 1u);
    }
    std::vector<input::InputLayer> empty;
    EXPECT_EQ(stop_message([&] { input::insert_air_layer(empty); }), "insert_air_layer needs at least one layer");
}

TEST(PathDuration, ConstantSlopeModels) {
    using config::PathDurationModel;
    const std::vector<std::pair<PathDurationModel, float>> cases = {
        {PathDurationModel::Gp2010, 6.3f}, {PathDurationModel::Wus, 7.0f}, {PathDurationModel::Ena, 10.0f}};
    for (const auto& [model, at_100_km] : cases) {
        const auto table = sim::path_duration_table(model);
        EXPECT_EQ(table.size(), 1u);
        EXPECT_NEAR(sim::path_duration_s(table, 100.0f), at_100_km, 1e-5f);
        EXPECT_EQ(sim::path_duration_s(table, 0.0f), 0.0f);
        EXPECT_EQ(sim::path_duration_s(table, -5.0f), 0.0f);
    }
}

TEST(PathDuration, BreakpointTablesAreContinuousAndExtrapolate) {
    struct Case {
        config::PathDurationModel model;
        std::vector<float> start_km, duration_s;
        float far_km, far_s;
    };
    const std::vector<Case> cases = {
        {config::PathDurationModel::Bt2014Wus, {0, 7, 45, 125, 175, 270}, {0, 2.4f, 8.4f, 10.9f, 17.4f, 34.2f},
         370.0f, 34.2f + 16.8f / 95.0f * 100.0f},
        {config::PathDurationModel::Bt2015Ena, {0, 15, 35, 50, 125, 200, 392, 600},
         {0, 2.6f, 17.5f, 25.1f, 25.1f, 28.5f, 46.0f, 69.1f}, 800.0f, 69.1f + 23.1f / 208.0f * 200.0f},
    };
    for (const Case& c : cases) {
        const auto table = sim::path_duration_table(c.model);
        ASSERT_EQ(table.size(), c.start_km.size());
        for (std::size_t k = 0; k < table.size(); ++k) {
            EXPECT_EQ(table[k].start_km, c.start_km[k]);
            // At a breakpoint the strict test picks the piece before it; both pieces agree there.
            EXPECT_NEAR(sim::path_duration_s(table, c.start_km[k]), c.duration_s[k], 2e-5f * (1 + c.duration_s[k]));
        }
        EXPECT_EQ(table.back().slope_s_per_km, table[table.size() - 2].slope_s_per_km);
        EXPECT_NEAR(sim::path_duration_s(table, c.far_km), c.far_s, 1e-4f);
    }
    const auto ena = sim::path_duration_table(config::PathDurationModel::Bt2015Ena);
    for (float r : {50.5f, 80.0f, 124.0f}) EXPECT_FLOAT_EQ(sim::path_duration_s(ena, r), 25.1f) << r;
}
