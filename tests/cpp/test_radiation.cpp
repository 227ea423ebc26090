#include "quillon/radiation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <numbers>
#include <string>
#include <vector>

#include "quillon/internal_error.hpp"
#include "quillon/rng.hpp"
#include "stop_message.hpp"

namespace {

using quillon::InternalError;
using quillon::radiation::horizontal_radiation_spectrum;
using quillon::radiation::RadiationAngles;
using quillon::radiation::vertical_radiation_spectrum;
using quillon::rng::DrawSource;
using quillon::rng::FixtureDraws;
using quillon::rng::Pcg;

constexpr double pi = std::numbers::pi;
constexpr double degree = pi / 180.0;

using quillon::testing::stop_message;

RadiationAngles angles_deg(double strike, double dip, double rake, double azimuth, double takeoff) {
    return RadiationAngles{static_cast<float>(strike * degree), static_cast<float>(dip * degree),
                           static_cast<float>(rake * degree), static_cast<float>(azimuth * degree),
                           static_cast<float>(takeoff * degree)};
}

// The far-field shear radiation of a double couple in its textbook form, in f64.
struct Pattern {
    double sv;
    double sh;
};
Pattern double_couple(double strike, double dip, double rake, double azimuth, double takeoff) {
    const double phi = azimuth - strike;
    const double i = takeoff;
    const double sv = std::sin(rake) * std::cos(2 * dip) * std::cos(2 * i) * std::sin(phi) -
                      std::cos(rake) * std::cos(dip) * std::cos(2 * i) * std::cos(phi) +
                      0.5 * std::cos(rake) * std::sin(dip) * std::sin(2 * i) * std::sin(2 * phi) -
                      0.5 * std::sin(rake) * std::sin(2 * dip) * std::sin(2 * i) * (1 + std::sin(phi) * std::sin(phi));
    const double sh = std::cos(rake) * std::cos(dip) * std::cos(i) * std::sin(phi) +
                      std::cos(rake) * std::sin(dip) * std::sin(i) * std::cos(2 * phi) +
                      std::sin(rake) * std::cos(2 * dip) * std::cos(i) * std::cos(phi) -
                      0.5 * std::sin(rake) * std::sin(2 * dip) * std::sin(i) * std::sin(2 * phi);
    return {sv, sh};
}
Pattern double_couple(const RadiationAngles& a) {
    return double_couple(a.strike_rad, a.dip_rad, a.rake_rad, a.azimuth_rad, a.takeoff_rad);
}

// ---------------------------------------------------------------- patterns

TEST(RadiationPattern, MatchesTheDoubleCouple) {
    const double takeoffs[] = {10.0, 60.0, 90.0, 120.0, 170.0};
    const double from_strike[] = {0.0, 30.0, 90.0, 135.0, 250.0};
    const double strike = 20.0;
    for (const double takeoff : takeoffs) {
        for (const double phi : from_strike) {
            const double i = takeoff * degree;
            const double f = phi * degree;
            // Vertical strike-slip: SH = sin i cos 2phi, SV = sin 2i sin 2phi / 2.
            const auto strike_slip = quillon::radiation::radiation_pattern(angles_deg(strike, 90, 0, strike + phi, takeoff));
            EXPECT_NEAR(strike_slip.sh, std::sin(i) * std::cos(2 * f), 1e-6) << takeoff << ", " << phi;
            EXPECT_NEAR(strike_slip.sv, 0.5 * std::sin(2 * i) * std::sin(2 * f), 1e-6) << takeoff << ", " << phi;
            // 45-degree thrust: SH = -sin i sin 2phi / 2, SV = -sin 2i (1 + sin^2 phi) / 2.
            const auto thrust = quillon::radiation::radiation_pattern(angles_deg(strike, 45, 90, strike + phi, takeoff));
            EXPECT_NEAR(thrust.sh, -0.5 * std::sin(i) * std::sin(2 * f), 1e-6) << takeoff << ", " << phi;
            EXPECT_NEAR(thrust.sv, -0.5 * std::sin(2 * i) * (1 + std::sin(f) * std::sin(f)), 1e-6)
                << takeoff << ", " << phi;
            // An oblique mechanism, where every term of both patterns contributes.
            const RadiationAngles oblique = angles_deg(strike, 60, 30, strike + phi, takeoff);
            const auto got = quillon::radiation::radiation_pattern(oblique);
            const Pattern want = double_couple(oblique);
            EXPECT_NEAR(got.sh, want.sh, 2e-6) << takeoff << ", " << phi;
            EXPECT_NEAR(got.sv, want.sv, 2e-6) << takeoff << ", " << phi;
        }
    }
    // Horizontally along the strike of a vertical strike-slip fault: pure SH.
    const auto along = quillon::radiation::radiation_pattern(angles_deg(0, 90, 0, 0, 90));
    EXPECT_NEAR(along.sh, 1.0f, 1e-7f);
    EXPECT_NEAR(along.sv, 0.0f, 1e-7f);
}

// ---------------------------------------------------------------- horizontal components

const std::vector<float> frequencies = {0.0f, 0.1f, 0.5f, 1.0f, 2.0f, 10.0f};

TEST(HorizontalRadiation, EveryBinCarriesTheConicalRmsWithTheTheoreticalSign) {
    struct Case {
        const char* name;
        DrawSource rng;
        RadiationAngles angles;
        float component_rad;
    };
    const float east = -1.5707964f;
    const float north = 0.0f;
    const Case cases[] = {
        {"thrust, east, pcg", DrawSource(Pcg::seed(11)), angles_deg(10, 45, 90, 100, 120), east},
        {"thrust, north, pcg", DrawSource(Pcg::seed(12)), angles_deg(10, 45, 90, 100, 120), north},
        {"oblique, east, fixture", DrawSource(FixtureDraws::seed(-7)), angles_deg(200, 70, -40, 30, 150), east},
        {"oblique, north, fixture", DrawSource(FixtureDraws::seed(8)), angles_deg(200, 70, -40, 30, 150), north},
        {"strike-slip, north, pcg", DrawSource(Pcg::seed(13)), angles_deg(0, 90, 0, 60, 100), north},
    };
    const std::size_t samples = 1000;
    bool saw_negative = false;
    bool saw_positive = false;
    for (const Case& c : cases) {
        DrawSource rng = c.rng;
        DrawSource replay = c.rng;
        std::vector<float> gain(frequencies.size(), 99.0f);
        horizontal_radiation_spectrum(rng, c.angles, frequencies, c.component_rad, samples, gain);

        // Replay the same draws in f64: five per sample, take-off, azimuth, strike, dip, rake.
        double sum_of_squares = 0.0;
        for (std::size_t k = 0; k < samples; ++k) {
            const double u1 = replay.uniform(), u2 = replay.uniform(), u3 = replay.uniform();
            const double u4 = replay.uniform(), u5 = replay.uniform();
            const double q = pi / 2.0;
            const double takeoff = c.angles.takeoff_rad + (0.5 - u1) * q;
            const double azimuth = c.angles.azimuth_rad + (0.5 - u2) * q;
            const Pattern p = double_couple(c.angles.strike_rad + (0.5 - u3) * q, c.angles.dip_rad + (0.5 - u4) * q,
                                            c.angles.rake_rad + (0.5 - u5) * q, azimuth, takeoff);
            const double v = p.sv * std::cos(c.component_rad - azimuth) + p.sh * std::sin(c.component_rad - azimuth);
            sum_of_squares += v * v;
        }
        const double rms = std::sqrt(sum_of_squares / samples);
        const Pattern theory = double_couple(c.angles);
        const double projected = theory.sv * std::cos(c.component_rad - c.angles.azimuth_rad) +
                                 theory.sh * std::sin(c.component_rad - c.angles.azimuth_rad);
        const double sign = projected < 0 ? -1.0 : 1.0;
        (projected < 0 ? saw_negative : saw_positive) = true;

        for (std::size_t k = 0; k < gain.size(); ++k) {
            EXPECT_EQ(gain[k], gain[0]) << c.name << ", bin " << k;
        }
        EXPECT_NEAR(gain[0], sign * rms, 2e-5 * rms) << c.name;
        // Exactly 5 uniforms per sample were used: both streams are at the same place.
        EXPECT_EQ(rng.uniform(), replay.uniform()) << c.name;
    }
    EXPECT_TRUE(saw_negative);
    EXPECT_TRUE(saw_positive);
}

TEST(HorizontalRadiation, EqualSeedsGiveEqualGains) {
    for (const DrawSource station : {DrawSource::for_station(42), DrawSource(FixtureDraws::seed(42))}) {
        const RadiationAngles angles = angles_deg(30, 60, 45, 80, 130);
        std::vector<float> first(frequencies.size());
        std::vector<float> second(frequencies.size());
        std::vector<float> other(frequencies.size());
        DrawSource a = station.respawn(0x1234);
        DrawSource b = station.respawn(0x1234);
        DrawSource c = station.respawn(0x1235);
        horizontal_radiation_spectrum(a, angles, frequencies, 0.0f, 1000, first);
        horizontal_radiation_spectrum(b, angles, frequencies, 0.0f, 1000, second);
        horizontal_radiation_spectrum(c, angles, frequencies, 0.0f, 1000, other);
        EXPECT_EQ(first, second);
        EXPECT_NE(first, other);
    }
}

// ---------------------------------------------------------------- vertical component

std::vector<float> uniforms(std::uint64_t seed, std::size_t n) {
    std::vector<float> out(n);
    DrawSource(Pcg::seed(seed)).fill_uniform(out);
    return out;
}

TEST(VerticalRadiation, TheoreticalBelowTheBlendConicalAboveIt) {
    const RadiationAngles angles = angles_deg(15, 50, 70, 140, 125);
    const std::size_t samples = 1000;
    const auto ua = uniforms(1, samples);
    const auto ub = uniforms(2, samples);
    const std::vector<float> f = {0.0f, 0.001f, 0.005f, 0.01f, 0.02f, 3.0f};
    std::vector<float> gain(f.size());
    vertical_radiation_spectrum(angles, f, ua, ub, samples, gain);

    // Signed vertical part of the SV motion at the arrival's own angles.
    const double theoretical = double_couple(angles).sv * std::sin(angles.takeoff_rad);
    // Half the mean magnitude over the cone 90 ... 165 degrees (125 +- 40, cut at horizontal),
    // uniform in cos(take-off).
    const double lo = 90.0 * degree;
    const double hi = (125.0 + 40.0) * degree;
    double sum = 0.0;
    for (std::size_t k = 0; k < samples; ++k) {
        const double takeoff = std::acos(ua[k] * std::cos(hi) + (1.0 - ua[k]) * std::cos(lo));
        const double azimuth = ub[k] * 2.0 * pi;
        sum += std::fabs(double_couple(angles.strike_rad, angles.dip_rad, angles.rake_rad, azimuth, takeoff).sv *
                         std::sin(takeoff));
    }
    const double conical = 0.5 * sum / samples;
    ASSERT_GT(std::fabs(conical - theoretical), 0.05);  // the blend is visible

    EXPECT_NEAR(gain[0], theoretical, 1e-6);
    EXPECT_EQ(gain[1], gain[0]);
    EXPECT_NEAR(gain[2], theoretical + (0.004 / 0.009) * (conical - theoretical), 2e-5);
    EXPECT_NEAR(gain[3], conical, 2e-5);
    EXPECT_NEAR(gain[4], conical, 2e-5 * conical);
    EXPECT_EQ(gain[5], gain[4]);
}

TEST(VerticalRadiation, ConeOfTakeoffsStaysInTheUpperHalfSpace) {
    // With every deviate alike, all samples sit at one end of the cone: ua = 0 at its lower
    // bound, ua = 1 at its upper bound; ub = 0.25 puts every sample due east.
    struct Case {
        double takeoff_deg;
        float ua;
        double sampled_deg;
    };
    const Case cases[] = {
        {170.0, 0.0f, 130.0}, {170.0, 1.0f, 180.0},  // up-going: cut at straight up
        {30.0, 0.0f, 90.0},   {30.0, 1.0f, 70.0},    // down-going: cut at horizontal, bounds swap
        {120.0, 0.0f, 90.0},  {120.0, 1.0f, 160.0},
    };
    const std::size_t samples = 16;
    const std::vector<float> ub(samples, 0.25f);
    const std::vector<float> f = {0.0f, 1.0f};
    for (const Case& c : cases) {
        const RadiationAngles angles = angles_deg(20, 60, 35, 200, c.takeoff_deg);
        const std::vector<float> ua(samples, c.ua);
        std::vector<float> gain(f.size());
        vertical_radiation_spectrum(angles, f, ua, ub, samples, gain);
        const double takeoff = c.sampled_deg * degree;
        const double expected =
            0.5 * std::fabs(double_couple(angles.strike_rad, angles.dip_rad, angles.rake_rad, pi / 2.0, takeoff).sv *
                            std::sin(takeoff));
        EXPECT_NEAR(gain[1], expected, 1e-5) << c.takeoff_deg << ", ua " << c.ua;
    }
}

TEST(Radiation, MismatchedBuffersStopTheRun) {
    const RadiationAngles angles = angles_deg(0, 45, 90, 30, 120);
    const auto ua = uniforms(1, 1000);
    const auto ub = uniforms(2, 1000);
    const std::vector<float> f = {0.0f, 1.0f, 2.0f};
    std::vector<float> short_gain(2);
    std::vector<float> gain(3);
    EXPECT_EQ(stop_message([&] { vertical_radiation_spectrum(angles, f, ua, ub, 1000, short_gain); }),
              "radiation has 2 bins but frequency_hz has 3");
    DrawSource rng(Pcg::seed(1));
    EXPECT_EQ(stop_message([&] { horizontal_radiation_spectrum(rng, angles, f, 0.0f, 1000, short_gain); }),
              "radiation has 2 bins but frequency_hz has 3");
    const std::vector<float> few(999, 0.5f);
    EXPECT_EQ(stop_message([&] { vertical_radiation_spectrum(angles, f, few, ub, 1000, gain); }),
              "vertical_radiation_spectrum needs 1000 deviates in each vector but has 999 and 1000");
    // A short second vector would silently average over fewer samples than it divides by.
    EXPECT_EQ(stop_message([&] { vertical_radiation_spectrum(angles, f, ua, few, 1000, gain); }),
              "vertical_radiation_spectrum needs 1000 deviates in each vector but has 1000 and 999");
}

}  // namespace
