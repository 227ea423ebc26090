#include "quillon/site.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "quillon/internal_error.hpp"
#include "quillon/stoc.hpp"
#include "stop_message.hpp"

namespace {

using quillon::InternalError;
using quillon::input::Layer;
using quillon::site::apply_site_amplification;
using quillon::site::site_amplification_factors;
using quillon::site::site_gain_curve;
using Complex = std::complex<float>;

using quillon::testing::stop_message;

// The engine's table: 0.01 … 70 Hz.
std::vector<float> engine_table() {
    const float hz[] = {0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f, 0.3f, 0.5f, 0.7f,
                        1.0f,  2.0f,  3.0f,  5.0f,  7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};
    std::vector<float> table;
    for (const float f : hz) table.push_back(std::log(f));
    return table;
}

Layer layer(double thickness_km, double vs_km_s, double density_g_cm3) {
    return Layer{0.0, thickness_km, vs_km_s * 1.73, vs_km_s, density_g_cm3, 200.0f, 100.0f};
}

// Air on top, then soft sediment over progressively stiffer rock.
std::vector<Layer> layered_crust() {
    return {layer(0.0001, 0.001, 0.0013), layer(0.05, 0.4, 1.9), layer(0.5, 1.5, 2.3),
            layer(2.0, 3.0, 2.6), layer(20.0, 3.6, 2.8)};
}

// The quarter-wavelength average written out in double: go down through the layers (the
// source layer extended as needed) until a quarter period of vertical shear travel is used
// up; vbar is the depth reached over that time, rbar the time-weighted density.
double reference_factor(const std::vector<Layer>& vmod, std::size_t source_layer, double f_hz) {
    const double target = 0.25 / f_hz;
    double time = 0.0, depth = 0.0, mass = 0.0;
    for (std::size_t l = 1;; ++l) {
        const double t_layer = vmod[l].thickness_km / vmod[l].vsh_km_s;
        if (l == source_layer || time + t_layer >= target) {
            const double rem = target - time;
            depth += rem * vmod[l].vsh_km_s;
            mass += rem * vmod[l].density_g_cm3;
            break;
        }
        time += t_layer;
        depth += vmod[l].thickness_km;
        mass += t_layer * vmod[l].density_g_cm3;
    }
    const double vbar = depth / target, rbar = mass / target;
    const Layer& s = vmod[source_layer];
    return 0.5 * std::log(s.vsh_km_s * s.density_g_cm3 / (vbar * rbar));
}

// ---------------------------------------------------------------- factors

TEST(SiteFactors, MatchQuarterWavelengthAverages) {
    const std::vector<Layer> vmod = layered_crust();
    const std::vector<float> table = engine_table();
    std::vector<float> factors(table.size());
    for (const std::size_t source_layer : {2u, 3u, 4u}) {
        site_amplification_factors(vmod, source_layer, table, factors);
        for (std::size_t i = 0; i < table.size(); ++i) {
            const double expected = reference_factor(vmod, source_layer, std::exp(double(table[i])));
            ASSERT_NEAR(factors[i], expected, 1e-5) << "layer " << source_layer << " entry " << i;
        }
        // Soft material above a stiff source amplifies, more at high frequency; at 70 Hz the
        // quarter wavelength stays in the top layer.
        EXPECT_GT(factors.back(), factors.front());
        const Layer& s = vmod[source_layer];
        EXPECT_NEAR(factors.back(), 0.5 * std::log(s.vsh_km_s * s.density_g_cm3 / (0.4 * 1.9)), 1e-5);
    }
}

// No impedance contrast between the source and the surface: no amplification.
TEST(SiteFactors, NoContrastGivesNoAmplification) {
    const std::vector<float> table = engine_table();
    std::vector<float> factors(table.size());
    const std::vector<Layer> crust = layered_crust();
    site_amplification_factors(crust, 1, table, factors);  // source in the top real layer
    for (const float factor : factors) EXPECT_NEAR(factor, 0.0f, 1e-6f);

    const std::vector<Layer> homogeneous = {layer(0.0001, 0.001, 0.0013), layer(1.0, 3.2, 2.7), layer(4.0, 3.2, 2.7),
                                            layer(10.0, 3.2, 2.7), layer(0.0, 3.2, 2.7)};
    for (const std::size_t source_layer : {1u, 2u, 3u, 4u}) {
        site_amplification_factors(homogeneous, source_layer, table, factors);
        for (const float factor : factors) EXPECT_NEAR(factor, 0.0f, 1e-6f) << source_layer;
    }
}

TEST(SiteFactors, SourceLayerZeroIsTheFirstRealLayer) {
    const std::vector<Layer> vmod = layered_crust();
    const std::vector<float> table = engine_table();
    std::vector<float> at_zero(table.size()), at_one(table.size());
    site_amplification_factors(vmod, 0, table, at_zero);
    site_amplification_factors(vmod, 1, table, at_one);
    EXPECT_EQ(at_zero, at_one);
}

TEST(SiteFactors, BadArgumentsStop) {
    const std::vector<Layer> vmod = layered_crust();
    const std::vector<float> table = engine_table();
    std::vector<float> factors(table.size()), short_factors(table.size() - 1);
    EXPECT_THROW(site_amplification_factors(vmod, vmod.size(), table, factors), InternalError);
    EXPECT_THROW(site_amplification_factors({layer(0.0001, 0.001, 0.0013)}, 0, table, factors), InternalError);
    EXPECT_THROW(site_amplification_factors(vmod, 2, table, short_factors), InternalError);
    EXPECT_THROW(site_amplification_factors(vmod, 2, std::span<const float>(), std::span<float>()), InternalError);
}

// ---------------------------------------------------------------- gain curve

struct Curve {
    quillon::stoc::SpectrumPlan plan;
    std::vector<float> table, factors, gain;

    Curve(std::size_t np2, float dt)
        : plan(quillon::stoc::SpectrumPlan::create(np2, dt, 0.6f, 0.2f, 0.05f)),
          table(engine_table()),
          factors(table.size()),
          gain(plan.fold_count) {
        for (std::size_t i = 0; i < factors.size(); ++i) factors[i] = 0.05f * static_cast<float>(i) + 0.01f * (i % 3);
        site_gain_curve(plan.log_frequency_hz, table, factors, gain);
    }
};

TEST(SiteGainCurve, EndsTakeTheTableEnds) {
    // dt 0.01 s, 16384 points: df ≈ 0.0061 Hz, so bin 1 lies below the first table frequency,
    // and the 50 Hz Nyquist bin takes the 70 Hz value.
    const Curve c(16384, 0.01f);
    const float first = std::exp(c.factors.front()), last = std::exp(c.factors.back());
    EXPECT_EQ(c.gain[0], first);
    EXPECT_EQ(c.gain[1], first);
    EXPECT_EQ(c.gain.back(), last);

    // Just below Nyquist: between the 30 Hz and 50 Hz points.
    const std::size_t k = c.plan.fold_count - 2;
    const double x = c.plan.log_frequency_hz[k];
    const double lo = std::log(30.0), hi = std::log(50.0);
    const double y = c.factors[17] + (x - lo) * (c.factors[18] - c.factors[17]) / (hi - lo);
    EXPECT_NEAR(c.gain[k], std::exp(y), 1e-5);
    EXPECT_LT(c.gain[k], std::exp(c.factors[18]) + 1e-6);
}

// Linear in log frequency between the table points, each bin in the segment that contains it
// (a bin exactly on a table point takes that point's value).
TEST(SiteGainCurve, InterpolatesInLogLog) {
    for (const auto& [np2, dt] : {std::pair{1024u, 0.01f}, std::pair{5120u, 0.005f}, std::pair{16384u, 0.02f}}) {
        const Curve c(np2, dt);
        for (std::size_t k = 1; k + 1 < c.plan.fold_count; ++k) {
            const double x = c.plan.log_frequency_hz[k];
            double expected;
            if (x <= c.table.front()) {
                expected = c.factors.front();
            } else if (x > c.table.back()) {
                expected = c.factors.back();
            } else {
                std::size_t p = 1;
                while (x > c.table[p]) ++p;
                expected = c.factors[p - 1] +
                           (x - c.table[p - 1]) * (c.factors[p] - c.factors[p - 1]) / (c.table[p] - c.table[p - 1]);
            }
            ASSERT_NEAR(c.gain[k], std::exp(expected), 2e-6 * std::exp(expected)) << np2 << " bin " << k;
        }
    }
}

// A table that starts at exactly 1 Hz (ln f = 0) must not turn the flat part below it into 0/0.
TEST(SiteGainCurve, TableStartingAtOneHertz) {
    const quillon::stoc::SpectrumPlan plan = quillon::stoc::SpectrumPlan::create(1000, 0.01f, 0.6f, 0.2f, 0.05f);
    const std::vector<float> table = {0.0f, std::log(10.0f)};  // bin 10 is exactly 1 Hz
    const std::vector<float> factors = {0.3f, 0.7f};
    std::vector<float> gain(plan.fold_count);
    site_gain_curve(plan.log_frequency_hz, table, factors, gain);
    for (std::size_t k = 0; k <= 10; ++k) EXPECT_EQ(gain[k], std::exp(0.3f)) << k;
    EXPECT_GT(gain[11], std::exp(0.3f));
}

TEST(SiteGainCurve, BadArgumentsStop) {
    const quillon::stoc::SpectrumPlan plan = quillon::stoc::SpectrumPlan::create(64, 0.01f, 0.6f, 0.2f, 0.05f);
    const std::vector<float> table = engine_table();
    std::vector<float> factors(table.size()), gain(plan.fold_count), long_gain(plan.fold_count + 1);
    EXPECT_THROW(site_gain_curve(plan.log_frequency_hz, table, factors, std::span<float>()), InternalError);
    EXPECT_THROW(site_gain_curve(plan.log_frequency_hz, table, factors, long_gain), InternalError);
    EXPECT_THROW(site_gain_curve(plan.log_frequency_hz, table, std::span(factors).first(5), gain), InternalError);
    EXPECT_THROW(site_gain_curve(plan.log_frequency_hz, std::span<const float>(), std::span<const float>(), gain),
                 InternalError);
}

// ---------------------------------------------------------------- applying the gains

std::vector<Complex> hermitian(std::size_t n) {
    std::vector<Complex> s(n);
    s[0] = Complex(0.7f, 0.0f);
    s[n / 2] = Complex(-0.3f, 0.0f);
    for (std::size_t k = 1; k < n / 2; ++k) {
        s[k] = Complex(std::sin(0.9f * k), std::cos(1.3f * k));
        s[n - k] = std::conj(s[k]);
    }
    return s;
}

TEST(ApplySiteAmplification, UnitGainsKeepAHermitianSpectrum) {
    const std::vector<Complex> spectrum = hermitian(64);
    std::vector<Complex> amplified = spectrum;
    apply_site_amplification(amplified, std::vector<float>(33, 1.0f));
    EXPECT_EQ(amplified, spectrum);
}

TEST(ApplySiteAmplification, ScalesPositiveBinsAndRebuildsNegativeOnes) {
    const std::size_t n = 16;
    std::vector<Complex> spectrum(n);
    for (std::size_t k = 0; k < n; ++k) spectrum[k] = Complex(1.0f + k, -2.0f * k);  // not Hermitian
    const std::vector<Complex> input = spectrum;
    std::vector<float> gain(n / 2 + 1);
    for (std::size_t k = 0; k < gain.size(); ++k) gain[k] = 1.0f + 0.25f * k;

    apply_site_amplification(spectrum, gain);
    for (std::size_t k = 0; k <= n / 2; ++k) EXPECT_EQ(spectrum[k], input[k] * gain[k]) << k;
    for (std::size_t k = 1; k < n / 2; ++k) EXPECT_EQ(spectrum[n - k], std::conj(spectrum[k])) << k;
}

TEST(ApplySiteAmplification, LengthsStop) {
    std::vector<Complex> spectrum(8);
    std::vector<float> gain(4);
    EXPECT_EQ(stop_message([&] { apply_site_amplification(spectrum, gain); }),
              "a gain curve covers the positive half plus Nyquist, 5 bins for a 8-point transform: got 4 gains, "
              "expected 5");
    std::vector<Complex> odd(7), empty;
    EXPECT_THROW(apply_site_amplification(odd, gain), InternalError);
    // An empty spectrum with the one gain its count would ask for has no bin 0 to scale.
    EXPECT_THROW(apply_site_amplification(empty, std::vector<float>(1, 1.0f)), InternalError);
}

}  // namespace
