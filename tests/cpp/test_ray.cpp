#include "quillon/ray.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "quillon/internal_error.hpp"
#include "quillon/state.hpp"
#include "stop_message.hpp"

// Counts heap allocations so that the hot path can be shown to allocate nothing.
namespace {
std::atomic<std::size_t> allocation_count{0};
}

void* operator new(std::size_t size) {
    allocation_count.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using quillon::InternalError;
using quillon::input::Layer;
using quillon::ray::green_function;
using quillon::state::Direction;
using quillon::state::RayState;
using quillon::state::WaveMode;

using quillon::testing::stop_message;

const double air_km = static_cast<double>(0.0001f);

Layer layer(double thickness_km, double vp, double vs, float qp = 200.0f, float qs = 100.0f) {
    return Layer{0.0, thickness_km, vp, vs, 2.7, qp, qs};
}

Layer air() { return Layer{air_km, air_km, 0.001, 0.0005, 0.001, 200.0f, 100.0f}; }

// Layers 0 (air) to 5 (half-space).
std::vector<Layer> crust() {
    return {air(), layer(2.0, 4.0, 2.0), layer(3.0, 5.0, 3.0), layer(5.0, 6.0, 3.5), layer(10.0, 6.5, 3.7),
            layer(0.0, 8.0, 4.5)};
}

double top_of(const std::vector<Layer>& vmod, std::size_t k) {
    double top = 0.0;
    for (std::size_t i = 0; i < k; ++i) top += vmod[i].thickness_km;
    return top;
}

std::vector<std::size_t> indices(const RayState& state) { return state.rays.layer_indices; }

// ---------------------------------------------------------------- source placement

TEST(SourcePlacement, MovesSourcesOffInterfacesAndOutOfTheHalfSpace) {
    const auto vmod = crust();
    const double eps = static_cast<double>(0.02f);
    ASSERT_EQ(eps, 0.019999999552965164);
    const double face = top_of(vmod, 2);  // between layers 1 and 2
    const double base = top_of(vmod, 5);  // the Moho
    struct Case {
        const char* name;
        double depth_km;
        std::size_t layer;
        double placed_km;
    };
    const Case cases[] = {
        {"inside layer 3", 7.5, 3, 7.5},
        {"on an interface", face, 2, face + eps},
        {"just below an interface", face + 0.01, 2, face + eps},
        {"just above an interface", face - 0.01, 1, face - eps},
        {"margin above an interface", face - 0.03, 1, face - 0.03},
        {"below the Moho", 100.0, 4, base - eps},
        {"on the Moho", base, 4, base - eps},
    };
    for (const Case& c : cases) {
        const auto placed = quillon::ray::place_source(vmod, c.depth_km);
        EXPECT_EQ(placed.layer, c.layer) << c.name;
        EXPECT_DOUBLE_EQ(placed.depth_km, c.placed_km) << c.name;
    }
    EXPECT_FALSE(quillon::ray::source_layer(vmod, 100.0).has_value());
    const auto deepest = quillon::ray::deepest_layer_with_thickness(vmod);
    EXPECT_EQ(deepest.deepest, 4u);
    EXPECT_DOUBLE_EQ(deepest.base_km, base);
}

// ---------------------------------------------------------------- layer sequences and counts

TEST(LayerSequence, RayCodesFromASourceInLayerThree) {
    const auto vmod = crust();
    const float depth = static_cast<float>(top_of(vmod, 3) + 2.0);
    struct Case {
        std::int32_t code;
        std::vector<std::size_t> sequence;
    };
    const Case cases[] = {
        {1, {3, 2, 1}},
        {2, {3, 4, 4, 3, 2, 1}},
        {3, {3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}},
        {4, {3, 4, 4, 3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}},
        {6, {3, 4, 4, 3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}},
    };
    RayState state;
    for (const Case& c : cases) {
        green_function(state, vmod, depth, 10.0f, c.code, WaveMode::Sh);
        EXPECT_EQ(indices(state), c.sequence) << "code " << c.code;
        EXPECT_EQ(state.rays.wave_modes, std::vector<WaveMode>(c.sequence.size(), WaveMode::Sh));
    }
}

TEST(LayerSequence, CodeTwoDirectionsAndTrimmedCounts) {
    const auto vmod = crust();
    const double source_km = top_of(vmod, 3) + 0.4 * 5.0;  // 40 % down layer 3
    RayState state;
    green_function(state, vmod, static_cast<float>(source_km), 10.0f, 2, WaveMode::Sh);

    using enum Direction;
    EXPECT_EQ(state.coefficients.directions, (std::vector<Direction>{Down, Down, Up, Up, Up, Up}));
    const std::vector<float> shear = {0.0f, 1.0f, 1.0f, 1.6f, 2.0f, 0.0f};
    ASSERT_EQ(state.travel.s_traversals.size(), shear.size());
    for (std::size_t k = 0; k < shear.size(); ++k) {
        EXPECT_NEAR(state.travel.s_traversals[k], shear[k], 1e-6f) << "layer " << k;
        EXPECT_EQ(state.travel.p_traversals[k], 0.0f) << "layer " << k;
    }
    EXPECT_EQ(state.travel.deepest_layer, 4u);
}

TEST(LayerSequence, UpGoingSourceLegTrimsBelowTheSource) {
    const auto vmod = crust();
    const double source_km = top_of(vmod, 3) + 0.25 * 5.0;
    RayState state;
    green_function(state, vmod, static_cast<float>(source_km), 10.0f, 1, WaveMode::P);
    using enum Direction;
    EXPECT_EQ(state.coefficients.directions, (std::vector<Direction>{Up, Up, Up}));
    EXPECT_NEAR(state.travel.p_traversals[3], 0.25f, 1e-6f);  // only the part above the source
    EXPECT_EQ(state.travel.p_traversals[2], 1.0f);
    EXPECT_EQ(state.travel.p_traversals[1], 1.0f);
    EXPECT_EQ(state.travel.s_traversals[3], 0.0f);
}

TEST(LayerSequence, SourceInTheReceiverLayerIsOneUpwardLeg) {
    const auto vmod = crust();
    const float depth = 1.5f;
    RayState state;
    green_function(state, vmod, depth, 3.0f, 1, WaveMode::Sh);
    EXPECT_EQ(indices(state), (std::vector<std::size_t>{1}));
    EXPECT_EQ(state.coefficients.directions, (std::vector<Direction>{Direction::Up}));
    EXPECT_NEAR(state.travel.s_traversals[1], (static_cast<double>(depth) - air_km) / 2.0, 1e-6);
}

TEST(LayerSequence, SourceInTheDeepestFiniteLayerReflectsInIt) {
    const auto vmod = crust();
    const double source_km = top_of(vmod, 4) + 0.5 * 10.0;
    RayState state;
    green_function(state, vmod, static_cast<float>(source_km), 10.0f, 2, WaveMode::Sh);
    EXPECT_EQ(indices(state), (std::vector<std::size_t>{4, 4, 3, 2, 1}));
    // Two crossings of layer 4, less the half above the down-going source.
    EXPECT_NEAR(state.travel.s_traversals[4], 1.5f, 1e-6f);
}

TEST(LayerSequence, EveryMultipleAddsTwoCrossingsDownToTheReflector) {
    const auto vmod = crust();
    const float depth = static_cast<float>(top_of(vmod, 3) + 2.0);
    for (const std::int32_t code : {1, 2}) {
        RayState base;
        RayState more;
        green_function(base, vmod, depth, 10.0f, code, WaveMode::Sh);
        green_function(more, vmod, depth, 10.0f, code + 4, WaveMode::Sh);  // two more multiples
        for (std::size_t k = 0; k < vmod.size(); ++k) {
            const float extra = (k >= 1 && k <= 4) ? 4.0f : 0.0f;
            EXPECT_NEAR(more.travel.s_traversals[k] - base.travel.s_traversals[k], extra, 1e-6f)
                << "code " << code << ", layer " << k;
        }
    }
}

TEST(LayerSequence, ZeroThicknessLayerInsideTheStackReflectsLikeTheMoho) {
    auto vmod = crust();
    vmod[3].thickness_km = 0.0;
    RayState state;
    green_function(state, vmod, 1.0f, 5.0f, 2, WaveMode::Sh);
    EXPECT_EQ(indices(state), (std::vector<std::size_t>{1, 2, 2, 1}));
    green_function(state, vmod, 1.0f, 5.0f, 3, WaveMode::Sh);
    EXPECT_EQ(indices(state), (std::vector<std::size_t>{1, 1, 2, 2, 1}));
}

TEST(LayerSequence, InvalidRaysStopCleanly) {
    const auto vmod = crust();
    RayState state;
    EXPECT_EQ(stop_message([&] { green_function(state, vmod, 5.0f, 10.0f, -1, WaveMode::Sh); }),
              "ray type -1 is negative; th1 would be undefined");
    EXPECT_EQ(stop_message([&] {
                  green_function(state, vmod, 5.0f, 10.0f, std::numeric_limits<std::int32_t>::min(), WaveMode::Sh);
              }),
              "ray type -2147483648 is negative; th1 would be undefined");
    // A source in the air layer: an up-going ray has no leg at all ...
    EXPECT_EQ(stop_message([&] { green_function(state, vmod, 0.0f, 10.0f, 1, WaveMode::Sh); }),
              "build_ray_path needs at least one ray segment");
    // ... and a down-going one has no top of its source layer to measure the first leg from.
    EXPECT_EQ(stop_message([&] { green_function(state, vmod, 0.0f, 10.0f, 2, WaveMode::Sh); }),
              "geometric_spreading needs the source below layer 0; a source in layer 0 leaves the layer "
              "range 1 ... -1 of its first leg undefined");
    // A model without a layer 1 cannot hold the receiver.
    const std::vector<Layer> one_layer = {layer(0.0, 6.0, 3.5)};
    EXPECT_EQ(stop_message([&] { green_function(state, one_layer, 5.0f, 10.0f, 4, WaveMode::Sh); }),
              "ray segment 0 is in layer 1, outside the model of 1 layers");
    EXPECT_EQ(stop_message([&] { green_function(state, {}, 5.0f, 10.0f, 1, WaveMode::Sh); }),
              "green_function needs a velocity model with at least one layer");
}

TEST(TraversedLayers, PairsLayersWithCountsDownToTheDeepestLayer) {
    const auto vmod = crust();
    RayState state;
    EXPECT_NE(stop_message([&] { quillon::ray::traversed_layers(state, vmod); }), "<no internal stop>");

    green_function(state, vmod, 7.0f, 10.0f, 2, WaveMode::Sh);
    const auto view = quillon::ray::traversed_layers(state, vmod);
    ASSERT_EQ(view.size(), 5u);
    std::size_t k = 0;
    for (const quillon::state::TraversedLayer t : view) {
        EXPECT_EQ(&t.layer, &vmod[k]);
        EXPECT_EQ(t.s, state.travel.s_traversals[k]);
        EXPECT_EQ(t.p, state.travel.p_traversals[k]);
        ++k;
    }
    EXPECT_EQ(k, 5u);
    // A model shorter than the ray is an internal stop, not a read past its end.
    const std::vector<Layer> shorter(vmod.begin(), vmod.begin() + 3);
    EXPECT_NE(stop_message([&] { quillon::ray::traversed_layers(state, shorter); }), "<no internal stop>");
}

// ---------------------------------------------------------------- travel time

TEST(VerticalSlowness, BranchIsPositiveRealOrNegativeImaginary) {
    using C = quillon::ray::Complex;
    const double v = 4.0;
    // Propagating: the positive real root.
    const C below = quillon::ray::vertical_slowness(C(0.1, 0.0), v);
    EXPECT_DOUBLE_EQ(below.real(), std::sqrt(1.0 / 16.0 - 0.01));
    EXPECT_EQ(below.imag(), 0.0);
    // Evanescent: -i sqrt(p^2 - 1/v^2).
    const C above = quillon::ray::vertical_slowness(C(0.5, 0.0), v);
    EXPECT_NEAR(above.imag(), -std::sqrt(0.25 - 1.0 / 16.0), 1e-15);
    EXPECT_NEAR(above.real(), 0.0, 1e-15);
    // Complex ray parameters: a square root of 1/v^2 - p^2 with non-positive imaginary part.
    for (const C p : {C(0.1, 0.05), C(0.3, -0.02), C(0.2, 0.2), C(0.05, -0.3)}) {
        const C eta = quillon::ray::vertical_slowness(p, v);
        const C square = 1.0 / (v * v) - p * p;
        EXPECT_NEAR((eta * eta).real(), square.real(), 1e-14) << p;
        EXPECT_NEAR((eta * eta).imag(), square.imag(), 1e-14) << p;
        EXPECT_LE(eta.imag(), 1e-8) << p;
    }
}

TEST(CagniardTime, DerivativeMatchesTheSlopeOfTheTime) {
    const auto vmod = crust();
    RayState state;
    green_function(state, vmod, 9.0f, 20.0f, 4, WaveMode::Sh);
    using C = quillon::ray::Complex;
    for (const double p : {0.02, 0.1, 0.2, 0.26}) {
        const double h = 1e-7;
        const double slope = (quillon::ray::cagniard_time(state, vmod, C(p + h, 0.0), 20.0).real() -
                              quillon::ray::cagniard_time(state, vmod, C(p - h, 0.0), 20.0).real()) /
                             (2.0 * h);
        const double derivative = quillon::ray::cagniard_time_derivative(state, vmod, C(p, 0.0), 20.0).real();
        EXPECT_NEAR(derivative, slope, 1e-5 * (1.0 + std::fabs(slope))) << "p = " << p;
    }
}

// One finite layer over the half-space: the direct ray is a straight line.
std::vector<Layer> uniform_crust() { return {air(), layer(50.0, 6.0, 3.5, 300.0f, 150.0f), layer(0.0, 8.0, 4.5)}; }

TEST(GreenFunction, DirectRayInAUniformLayerMatchesTheStraightLine) {
    const auto vmod = uniform_crust();
    const double v = 3.5;
    const float depth = 12.0f;
    const double z = static_cast<double>(depth) - air_km;  // vertical extent, source to receiver
    RayState state;
    for (const float range : {0.0f, 1.0f, 5.0f, 12.0f, 40.0f, 150.0f}) {
        const auto g = green_function(state, vmod, depth, range, 1, WaveMode::Sh);
        const double r = range;
        const double straight = std::sqrt(r * r + z * z);
        EXPECT_NEAR(g.stime, straight / v, 1e-5 * straight / v) << "range " << r;
        // rpath is measured from the top of layer 1, 0.1 m above the receiver.
        EXPECT_NEAR(g.rpath, straight, 0.012) << "range " << r;
        // The ray with parameter rp0 lands within the 0.01 km tolerance of the range.
        const double sine = static_cast<double>(g.rp0) * v;
        const double landing = z * sine / std::sqrt(1.0 - sine * sine);
        EXPECT_NEAR(landing, r, 0.012) << "range " << r;
        EXPECT_NEAR(g.qbar, g.rpath / (v * 150.0), 1e-6 * g.qbar) << "range " << r;
    }
}

TEST(GreenFunction, RangeZeroGivesTheVerticalTravelTime) {
    const auto vmod = crust();
    const double source_km = top_of(vmod, 3) + 2.0;
    RayState state;
    const auto g = green_function(state, vmod, static_cast<float>(source_km), 0.0f, 1, WaveMode::Sh);
    const double vertical = 2.0 / 3.5 + 3.0 / 3.0 + 2.0 / 2.0;  // layer 1 is crossed whole
    EXPECT_NEAR(g.stime, vertical, 1e-5);
    EXPECT_LT(g.rp0, 1e-3f);
    EXPECT_NEAR(g.rpath, source_km, 1e-4);
}

TEST(GreenFunction, BeyondReachTheRayGrazesTheFastestLayer) {
    const auto vmod = uniform_crust();
    const float depth = 12.0f;
    const double z = static_cast<double>(depth) - air_km;
    const double range = 1.0e6;
    RayState state;
    const auto g = green_function(state, vmod, depth, static_cast<float>(range), 1, WaveMode::Sh);
    const double ptest = 1.0 / 3.5 - 1e-9;
    EXPECT_EQ(g.rp0, static_cast<float>(ptest));
    EXPECT_FLOAT_EQ(g.stime, static_cast<float>(ptest * range + z * std::sqrt(1.0 / (3.5 * 3.5) - ptest * ptest)));
    EXPECT_TRUE(std::isfinite(g.rpath));
}

TEST(GreenFunction, QbarIsPathOverSpeedTimesQOnAOneSpeedPath) {
    // One shear speed and Q throughout, P properties differing so that a mix-up shows.
    std::vector<Layer> vmod = {air(), layer(2.0, 4.0, 3.0, 50.0f, 120.0f), layer(3.0, 5.0, 3.0, 60.0f, 120.0f),
                               layer(6.0, 5.5, 3.0, 70.0f, 120.0f), layer(0.0, 8.0, 4.5, 80.0f, 400.0f)};
    RayState state;
    for (const std::int32_t code : {1, 2, 3, 4}) {
        const auto g = green_function(state, vmod, 7.0f, 25.0f, code, WaveMode::Sh);
        EXPECT_NEAR(g.qbar, g.rpath / (3.0 * 120.0), 2e-6 * g.qbar) << "code " << code;
    }
}

TEST(GeometricSpreading, LegLengthsAndTheirLimits) {
    const auto vmod = crust();
    using quillon::ray::geometric_spreading;
    using quillon::state::Takeoff;
    RayState state;
    state.rays.layer_indices = {3, 4, 4, 3, 2, 1};
    state.rays.wave_modes.assign(6, WaveMode::Sh);
    const double top3 = 5.0;  // layers 1 and 2, without the air layer
    const double source_km = top3 + 1.5;

    // Vertical ray: the first leg runs from the source to the base of layer 3, then whole layers.
    const auto vertical = geometric_spreading(state, vmod, source_km, 0.0, Takeoff::Down);
    EXPECT_DOUBLE_EQ(vertical.path_length_km, 3.5 + 10.0 + 10.0 + 5.0 + 3.0 + 2.0);
    const double q = 3.5 / 3.5 / 100.0 + 2.0 * 10.0 / 3.7 / 100.0 + 5.0 / 3.5 / 100.0 + 3.0 / 3.0 / 100.0 +
                     2.0 / 2.0 / 100.0;
    EXPECT_NEAR(vertical.qbar, q, 1e-6);

    // Up-going: the first leg is the part of layer 3 above the source.
    state.rays.layer_indices = {3, 2, 1};
    state.rays.wave_modes.assign(3, WaveMode::Sh);
    EXPECT_DOUBLE_EQ(geometric_spreading(state, vmod, source_km, 0.0, Takeoff::Up).path_length_km, 1.5 + 3.0 + 2.0);

    // Past grazing in a layer the sine is held just below 1 and the secant stays finite.
    const double p = 0.35;  // beyond 1/3.5 and 1/3 (layers 3 and 2) but below 1/2 (layer 1)
    const double capped = 1.0 / std::sqrt(1.0 - static_cast<double>(0.999999f) * static_cast<double>(0.999999f));
    const auto grazing = geometric_spreading(state, vmod, source_km, p, Takeoff::Up);
    const double expected = 1.5 * capped + capped * 3.0 + 2.0 / std::sqrt(1.0 - 0.49);
    EXPECT_NEAR(grazing.path_length_km, expected, 1e-9 * expected);

    // A path of no length at all is given 1 m, so spreading never divides by zero.
    state.rays.layer_indices = {1};
    state.rays.wave_modes.assign(1, WaveMode::Sh);
    EXPECT_EQ(geometric_spreading(state, vmod, 0.0, 0.1, Takeoff::Up).path_length_km, static_cast<double>(0.001f));
}

TEST(GreenFunction, ReusedStateAllocatesNothing) {
    const auto vmod = crust();
    RayState state;
    const std::size_t fresh = allocation_count.load();
    green_function(state, vmod, 1.0f, 30.0f, 6, WaveMode::Sh);  // the longest ray first
    EXPECT_GT(allocation_count.load() - fresh, 0u);              // the counter sees the state grow
    const std::size_t before = allocation_count.load();
    float sink = 0.0f;
    for (const std::int32_t code : {1, 2, 3, 4, 6}) {
        for (const float range : {0.0f, 10.0f, 80.0f}) {
            for (const float depth : {1.0f, 6.0f, 14.0f, 40.0f}) {
                sink += green_function(state, vmod, depth, range, code, WaveMode::Sh).stime;
            }
        }
    }
    EXPECT_EQ(allocation_count.load() - before, 0u);
    EXPECT_TRUE(std::isfinite(sink));
}

}  // namespace
