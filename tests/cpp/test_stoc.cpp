#include "quillon/stoc.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

#include "quillon/internal_error.hpp"
#include "quillon/site.hpp"
#include "stop_message.hpp"

// The replacement operator new below is paired with free(); GCC cannot see that and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts heap allocations while `counting` is set, to check that one ray's chain allocates
// nothing once its scratch and plans exist.
namespace {
std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using quillon::InternalError;
using quillon::rng::DrawSource;
using quillon::rng::Pcg;
using quillon::stoc::PlanCache;
using quillon::stoc::RayPath;
using quillon::stoc::SourceModel;
using quillon::stoc::SpectrumPlan;
using quillon::stoc::SpectrumShape;
using Complex = std::complex<float>;

using quillon::testing::stop_message;

constexpr float eps = 0.2f;
constexpr float eta = 0.05f;

double exponent_b() { return -0.2 * std::log(0.05) / ((std::log(0.2) - 1.0) * 0.2 + 1.0); }

RayPath typical_ray() {
    return RayPath{.distance_km = 30.0f,
                   .window_s = 8.0f,
                   .shear_velocity_km_s = 3.5f,
                   .density_g_cm3 = 2.8f,
                   .corner_frequency_hz = 1.5f,
                   .subevent_moment = 1.0e22f,
                   .moment_scale = 1.0f,
                   .fmax_hz = 10.0f,
                   .qbar = 0.05f};
}

// ---------------------------------------------------------------- plans

TEST(SpectrumPlan, BadLengthsStop) {
    for (const std::size_t np2 : {0u, 1u, 7u}) {
        EXPECT_EQ(stop_message([np2] { SpectrumPlan::create(np2, 0.01f, 0.0f, eps, eta); }),
                  "a spectrum plan needs an even length of at least 2, got " + std::to_string(np2));
    }
}

TEST(SpectrumPlan, ShortestPlan) {
    const float dt = 0.01f;
    const SpectrumPlan plan = SpectrumPlan::create(2, dt, 0.0f, eps, eta);
    EXPECT_EQ(plan.fold_count, 2u);
    EXPECT_EQ(plan.frequency_hz, (std::vector<float>{0.0f, 1.0f / (2.0f * dt)}));
    ASSERT_EQ(plan.envelope_power.size(), 2u);
    EXPECT_EQ(plan.envelope_power[0], 0.0f);
    EXPECT_NEAR(plan.envelope_power[1], std::pow(0.01, exponent_b()), 1e-7);
}

TEST(SpectrumPlan, GridsAndPowers) {
    const float dt = 0.005f;
    const std::size_t np2 = 4096;
    const double b = exponent_b();
    EXPECT_NEAR(quillon::stoc::window_exponent(eps, eta), b, 1e-6);
    EXPECT_NEAR(b, 1.25, 0.01);

    // q exponent → the frequency power of the path attenuation, including its value at 0 Hz.
    struct Case {
        float q_exponent;
        float at_zero;
    };
    for (const Case c : {Case{0.0f, 0.0f}, Case{0.6f, 0.0f}, Case{1.0f, 1.0f},
                         Case{1.5f, std::numeric_limits<float>::infinity()}}) {
        const SpectrumPlan plan = SpectrumPlan::create(np2, dt, c.q_exponent, eps, eta);
        ASSERT_EQ(plan.fold_count, np2 / 2 + 1);
        EXPECT_EQ(plan.path_exponent[0], c.at_zero) << c.q_exponent;
        EXPECT_EQ(plan.log_frequency_hz[0], -std::numeric_limits<float>::infinity());
        EXPECT_NEAR(plan.frequency_hz[plan.fold_count - 1], 1.0 / (2.0 * dt), 1e-3);
        for (std::size_t k = 1; k < plan.fold_count; ++k) {
            const double f = static_cast<double>(k) / (np2 * static_cast<double>(dt));
            ASSERT_NEAR(plan.frequency_hz[k], f, 2e-6 * f);
            ASSERT_NEAR(plan.log_frequency_hz[k], std::log(f), 2e-6);
            ASSERT_NEAR(plan.path_exponent[k], std::pow(f, 1.0 - c.q_exponent),
                        5e-6 * std::pow(f, 1.0 - c.q_exponent));
        }
        if (c.q_exponent == 0.0f) {
            EXPECT_EQ(plan.path_exponent, plan.frequency_hz);
        }
        ASSERT_EQ(plan.envelope_power.size(), np2);
        EXPECT_EQ(plan.envelope_power[0], 0.0f);
        for (std::size_t i = 1; i < np2; i += 97) {
            const double expected = std::pow(i * static_cast<double>(dt), b);
            ASSERT_NEAR(plan.envelope_power[i], expected, 2e-6 * expected + 1e-12);
        }
    }
}

TEST(SpectrumPlan, LengthForWindow) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, std::size_t> cases[] = {
        {0.0f, 2}, {10.0f, 2048}, {0.5f, 112}, {-5.0f, 2}, {nan, 2}, {0.004f, 2}, {0.016f, 4},
    };
    for (const auto& [window_s, expected] : cases) EXPECT_EQ(SpectrumPlan::length_for(window_s, 0.01f), expected) << window_s;
    EXPECT_THROW(SpectrumPlan::length_for(std::numeric_limits<float>::infinity(), 0.01f), InternalError);
}

TEST(SpectrumPlan, LengthForArrival) {
    struct Case {
        std::int32_t start_sample;
        std::size_t expected;
    };
    // A 10 s window at 0.01 s asks for 2048; the record has 4000 samples.
    const Case cases[] = {
        {-50, 2048}, {0, 2048}, {1, 2048}, {2000, 2048},  // room for the full transform
        {3901, 224},                                       // 100 samples left: good_length(200)
        {3999, 4},  {4000, 2},                             // 2 and 1 samples left
        {5000, 2},  {INT32_MAX, 2},                        // beyond the record
    };
    for (const Case c : cases) {
        EXPECT_EQ(SpectrumPlan::length_for_arrival(10.0f, 0.01f, c.start_sample, 4000), c.expected) << c.start_sample;
    }
    EXPECT_EQ(SpectrumPlan::length_for_arrival(0.0f, 0.01f, 1, 4000), 2u);
    EXPECT_THROW(SpectrumPlan::length_for_arrival(10.0f, 0.01f, 1, std::numeric_limits<std::size_t>::max()),
                 InternalError);
}

TEST(PlanCache, BuildsOncePerLengthAndKeepsReferences) {
    PlanCache cache = PlanCache::create(0.01f, 0.6f, eps, eta);
    const SpectrumPlan& first = cache.for_length(2048);
    EXPECT_EQ(&cache.for_length(2048), &first);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.for_length(1024).np2, 1024u);
    EXPECT_EQ(cache.size(), 2u);
    // Many more lengths later, the first plan is still where it was, unchanged.
    for (std::size_t np2 = 2; np2 <= 200; np2 += 2) cache.for_length(np2);
    EXPECT_EQ(&cache.for_length(2048), &first);
    EXPECT_EQ(first.np2, 2048u);
    const SpectrumPlan fresh = SpectrumPlan::create(2048, 0.01f, 0.6f, eps, eta);
    EXPECT_EQ(first.path_exponent, fresh.path_exponent);
    EXPECT_EQ(first.envelope_power, fresh.envelope_power);
}

// ---------------------------------------------------------------- spectrum shape

TEST(SpectrumShape, EnvelopeHasUnitEnergyAndPeaksAtItsFraction) {
    const float dt = 0.01f;
    const SpectrumPlan plan = SpectrumPlan::create(2048, dt, 0.6f, eps, eta);
    SpectrumShape shape = SpectrumShape::with_capacity(4096);
    RayPath ray = typical_ray();
    ray.window_s = 10.0f;
    shape.refresh(plan, SourceModel{dt, eps, eta, 0.0f}, ray);
    EXPECT_EQ(shape.dt, dt);

    const double b = exponent_b();
    const double c = b / 0.2 / 10.0;
    const double norm = std::sqrt(std::pow(2.0 * c, 2.0 * b + 1.0) / std::tgamma(2.0 * b + 1.0));
    double energy = 0.0;
    std::size_t peak = 0;
    EXPECT_EQ(shape.envelope[0], 0.0f);
    for (std::size_t i = 0; i < plan.np2; ++i) {
        const double t = i * static_cast<double>(dt);
        const double expected = norm * std::pow(t, b) * std::exp(-c * t);
        ASSERT_NEAR(shape.envelope[i], expected, 1e-4 * expected + 1e-12) << i;
        energy += double(shape.envelope[i]) * shape.envelope[i] * dt;
        if (shape.envelope[i] > shape.envelope[peak]) peak = i;
    }
    EXPECT_NEAR(energy, 1.0, 1e-3);
    EXPECT_NEAR(static_cast<double>(peak), 0.2 * 10.0 / dt, 1.0);
    // Only the plan's length is written.
    EXPECT_EQ(shape.envelope[plan.np2], 0.0f);
}

// The target amplitude against the physics written out in double: an omega-squared source
// with subevent scaling, 1/R spreading, path attenuation and one of the two high cuts.
TEST(SpectrumShape, AmplitudeMatchesSourcePathAndHighCut) {
    const float dt = 0.01f;
    const float q_exponent = 0.6f;
    const SpectrumPlan plan = SpectrumPlan::create(1024, dt, q_exponent, eps, eta);
    struct Case {
        float kappa_s, moment_scale, fmax_hz;
    };
    for (const Case c : {Case{0.0f, 1.0f, 10.0f}, Case{0.0f, 4.0f, 5.0f}, Case{0.04f, 1.0f, 10.0f},
                         Case{0.04f, 2.5f, 10.0f}}) {
        RayPath ray = typical_ray();
        ray.moment_scale = c.moment_scale;
        ray.fmax_hz = c.fmax_hz;
        SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
        shape.amplitude[0] = 123.0;  // bin 0 is never written
        shape.refresh(plan, SourceModel{dt, eps, eta, c.kappa_s}, ray);
        EXPECT_EQ(shape.amplitude[0], 123.0);

        const double beta_cm_s = 3.5e5, rho = 2.8, r_cm = 30.0e5, fc = 1.5, m0 = 1.0e22;
        const double cc = 0.8946 / (4.0 * std::numbers::pi * rho * beta_cm_s * beta_cm_s * beta_cm_s);
        for (std::size_t k = 1; k < plan.fold_count; ++k) {
            const double f = plan.frequency_hz[k];
            const double w = 2.0 * std::numbers::pi * f;
            const double source = cc * m0 * w * w / (1.0 + (f / fc) * (f / fc));
            const double scaling = (f * f + fc * fc) * c.moment_scale / (f * f * c.moment_scale + fc * fc);
            const double path = std::exp(-std::numbers::pi * std::pow(f, 1.0 - q_exponent) * 0.05) / r_cm;
            const double high_cut = c.kappa_s > 0.0f ? std::exp(-std::numbers::pi * c.kappa_s * f)
                                                     : 1.0 / (1.0 + f / c.fmax_hz);
            const double expected = scaling * source * path * high_cut;
            ASSERT_NEAR(shape.amplitude[k], expected, 2e-5 * expected) << k << " kappa " << c.kappa_s;
        }
    }
}

// Subevent scaling raises the low frequencies by the moment scale and leaves the high ones;
// with a scale of 1 it is exactly neutral. The kappa filter ignores fmax entirely.
TEST(SpectrumShape, SubeventScalingAndKappaIgnoresFmax) {
    const float dt = 0.01f;
    const SpectrumPlan plan = SpectrumPlan::create(8192, dt, 0.6f, eps, eta);
    auto amplitude = [&](float moment_scale, float fmax_hz, float kappa_s) {
        RayPath ray = typical_ray();
        ray.moment_scale = moment_scale;
        ray.fmax_hz = fmax_hz;
        ray.corner_frequency_hz = 0.5f;
        SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
        shape.refresh(plan, SourceModel{dt, eps, eta, kappa_s}, ray);
        return shape.amplitude;
    };
    const std::vector<double> unit = amplitude(1.0f, 10.0f, 0.0f);
    const std::vector<double> scaled = amplitude(9.0f, 10.0f, 0.0f);
    EXPECT_NEAR(scaled[1] / unit[1], 9.0, 0.05);                                  // 0.0122 Hz
    EXPECT_NEAR(scaled[plan.fold_count - 1] / unit[plan.fold_count - 1], 1.0, 0.01);  // 50 Hz

    // Without scaling the spectrum is the plain one: its ratio to the scaled spectrum is the
    // scaling factor itself, at every bin.
    for (std::size_t k = 1; k < plan.fold_count; k += 37) {
        const double f = plan.frequency_hz[k];
        const double frank = (f * f + 0.25) * 9.0 / (f * f * 9.0 + 0.25);
        ASSERT_NEAR(scaled[k] / unit[k], frank, 1e-5 * frank);
    }

    EXPECT_EQ(amplitude(1.0f, 5.0f, 0.04f), amplitude(1.0f, 25.0f, 0.04f));
    EXPECT_NE(amplitude(1.0f, 5.0f, 0.0f), amplitude(1.0f, 25.0f, 0.0f));
}

TEST(SpectrumShape, PlanLongerThanCapacityStops) {
    const SpectrumPlan plan = SpectrumPlan::create(512, 0.01f, 0.6f, eps, eta);
    SpectrumShape shape = SpectrumShape::with_capacity(256);
    EXPECT_THROW(shape.refresh(plan, SourceModel{0.01f, eps, eta, 0.0f}, typical_ray()), InternalError);
}

// ---------------------------------------------------------------- synthesis

struct Synthesis {
    SpectrumPlan plan;
    SpectrumShape shape;
    std::vector<Complex> spectrum;

    explicit Synthesis(std::size_t np2, float kappa_s = 0.0f)
        : plan(SpectrumPlan::create(np2, 0.01f, 0.6f, eps, eta)),
          shape(SpectrumShape::with_capacity(np2)),
          spectrum(np2) {
        shape.refresh(plan, SourceModel{0.01f, eps, eta, kappa_s}, typical_ray());
    }
};

TEST(StochasticSpectrum, HermitianZeroMeanAndUnitMeanPower) {
    Synthesis s(2048);
    DrawSource rng(Pcg::seed(5));
    quillon::stoc::stochastic_spectrum(rng, s.plan, s.shape, s.spectrum);

    EXPECT_EQ(s.spectrum[0], Complex(0.0f, 0.0f));
    const std::size_t np2 = s.plan.np2;
    for (std::size_t k = 1; k < np2 / 2; ++k) ASSERT_EQ(s.spectrum[np2 - k], std::conj(s.spectrum[k])) << k;

    // Divided by the target amplitude, the noise has a mean power of 1/dt² over the bins
    // 0 … Nyquist (bin 0 counts in the mean but is then zeroed, hence the tolerance).
    double power = 0.0;
    for (std::size_t k = 1; k < s.plan.fold_count; ++k) power += std::norm(std::complex<double>(s.spectrum[k])) /
                                                                 (s.shape.amplitude[k] * s.shape.amplitude[k]);
    power /= static_cast<double>(s.plan.fold_count);
    EXPECT_NEAR(power * 0.01 * 0.01, 1.0, 0.01);
}

TEST(StochasticSpectrum, DrawsExactlyOneNoiseSeriesAndIsReproducible) {
    Synthesis a(1280), b(1280);
    DrawSource rng_a(Pcg::seed(11)), rng_b(Pcg::seed(11));
    quillon::stoc::stochastic_spectrum(rng_a, a.plan, a.shape, a.spectrum);
    quillon::stoc::stochastic_spectrum(rng_b, b.plan, b.shape, b.spectrum);
    EXPECT_EQ(a.spectrum, b.spectrum);

    DrawSource reference(Pcg::seed(11));
    std::vector<float> noise(1280);
    reference.fill_normal(noise);
    EXPECT_EQ(rng_a.normal(), reference.normal());

    // A second component from the same source draws fresh noise.
    quillon::stoc::stochastic_spectrum(rng_b, b.plan, b.shape, b.spectrum);
    EXPECT_NE(a.spectrum, b.spectrum);
}

TEST(StochasticSpectrum, LengthsMustAgreeWithPlanAndRefresh) {
    Synthesis s(512);
    DrawSource rng(Pcg::seed(1));
    std::vector<Complex> short_row(256);
    EXPECT_THROW(quillon::stoc::stochastic_spectrum(rng, s.plan, s.shape, short_row), InternalError);

    // A shape refreshed for 256 bins, used with a 512-bin plan.
    SpectrumShape stale = SpectrumShape::with_capacity(512);
    const SpectrumPlan small = SpectrumPlan::create(256, 0.01f, 0.6f, eps, eta);
    stale.refresh(small, SourceModel{0.01f, eps, eta, 0.0f}, typical_ray());
    EXPECT_THROW(quillon::stoc::stochastic_spectrum(rng, s.plan, stale, s.spectrum), InternalError);

    SpectrumShape never_refreshed = SpectrumShape::with_capacity(512);
    EXPECT_THROW(quillon::stoc::stochastic_spectrum(rng, s.plan, never_refreshed, s.spectrum), InternalError);
}

// ---------------------------------------------------------------- inversion

// Against a direct sum in double on a deliberately non-Hermitian spectrum: checks the gain
// mirroring onto negative frequencies, the inverse sign, the scale and the end taper.
TEST(RadiateAndInvert, MatchesDirectInverseWithMirroredGainsAndTaper) {
    for (const std::size_t n : {2u, 8u, 20u, 64u, 100u}) {
        const std::size_t fold_count = n / 2 + 1;
        std::vector<Complex> spectrum(n);
        std::vector<float> radiation(fold_count);
        for (std::size_t k = 0; k < n; ++k) {
            spectrum[k] = Complex(std::sin(1.7f * k + 0.3f), std::cos(2.3f * k * k + 1.0f));
        }
        for (std::size_t k = 0; k < fold_count; ++k) radiation[k] = 0.5f + 0.1f * static_cast<float>(k % 7);
        const std::vector<Complex> input = spectrum;

        std::vector<float> series(n);
        quillon::stoc::radiate_and_invert(spectrum, radiation, series);

        const std::size_t m = n / 10;
        for (std::size_t j = 0; j < n; ++j) {
            std::complex<double> sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const double gain = k < fold_count ? radiation[k] : radiation[n - k];
                const double angle = 2.0 * std::numbers::pi * static_cast<double>((j * k) % n) / n;
                sum += std::complex<double>(input[k]) * gain * std::polar(1.0, angle);
            }
            double expected = sum.real() / (n * 0.4473);
            if (j >= n - m) {
                const double i = static_cast<double>(j - (n - m));
                expected *= (std::cos((i + 1.0) * std::numbers::pi / m) + 1.0) * 0.5;
            }
            ASSERT_NEAR(series[j], expected, 2e-5 * n) << "n " << n << " j " << j;
        }
        if (n == 20) {
            EXPECT_NEAR(series[19], 0.0f, 1e-6f);
        }
    }
}

TEST(RadiateAndInvert, BadLengthsStop) {
    std::vector<Complex> spectrum(8);
    std::vector<float> series(8);
    std::vector<float> one_bin(1), five_bins(5), four_bins(4);
    EXPECT_EQ(stop_message([&] { quillon::stoc::radiate_and_invert(spectrum, one_bin, series); }),
              "a radiation gain needs at least 2 bins, got 1");
    EXPECT_THROW(quillon::stoc::radiate_and_invert(spectrum, four_bins, series), InternalError);
    std::vector<float> short_series(6);
    EXPECT_THROW(quillon::stoc::radiate_and_invert(spectrum, five_bins, short_series), InternalError);
    EXPECT_NO_THROW(quillon::stoc::radiate_and_invert(spectrum, five_bins, series));
}

// ---------------------------------------------------------------- one ray, end to end

// The whole chain of one ray (three components, site amplification, inversion) allocates
// nothing once the scratch and the plans exist, and its series are real and zero-mean.
TEST(OneRay, ChainAllocatesNothingOnceWarm) {
    const std::size_t np2 = 2048;
    PlanCache cache = PlanCache::create(0.01f, 0.6f, eps, eta);
    SpectrumShape shape = SpectrumShape::with_capacity(np2);
    std::vector<Complex> spectrum(3 * np2);
    std::vector<float> series(3 * np2);
    std::vector<float> radiation(np2 / 2 + 1, 0.6f);
    std::vector<float> factors(20), gain(np2 / 2 + 1);
    std::vector<float> table(20);
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = std::log(0.01f) + i * (std::log(70.0f) - std::log(0.01f)) / 19.0f;
    const std::vector<quillon::input::Layer> vmod = {
        {0.0001, 0.0001, 0.34, 0.001, 0.0013, 1.0f, 1.0f},
        {1.0, 1.0, 4.0, 2.0, 2.3, 100.0f, 50.0f},
        {4.0, 3.0, 5.5, 3.2, 2.6, 300.0f, 150.0f},
        {30.0, 26.0, 6.3, 3.6, 2.8, 600.0f, 300.0f},
    };

    auto one_ray = [&](std::uint64_t seed) {
        DrawSource rng(Pcg::seed(seed));
        const SpectrumPlan& plan = cache.for_length(np2);
        const SourceModel model{0.01f, eps, eta, 0.0f};
        RayPath ray = typical_ray();
        for (std::size_t c = 0; c < 3; ++c) {
            ray.fmax_hz = c == 2 ? 15.0f : 25.0f;
            shape.refresh(plan, model, ray);
            quillon::stoc::stochastic_spectrum(rng, plan, shape, std::span(spectrum).subspan(c * np2, np2));
        }
        quillon::site::site_amplification_factors(vmod, 3, table, factors);
        quillon::site::site_gain_curve(plan.log_frequency_hz, table, factors, gain);
        for (std::size_t c = 0; c < 3; ++c) {
            quillon::site::apply_site_amplification(std::span(spectrum).subspan(c * np2, np2), gain);
        }
        for (std::size_t c = 0; c < 3; ++c) {
            quillon::stoc::radiate_and_invert(std::span(spectrum).subspan(c * np2, np2), radiation,
                                              std::span(series).subspan(c * np2, np2));
        }
    };

    one_ray(1);  // plans the transforms and builds the spectrum plan
    allocations = 0;
    counting = true;
    one_ray(2);
    counting = false;
    EXPECT_EQ(allocations.load(), 0u);

    for (std::size_t c = 0; c < 3; ++c) {
        double sum = 0.0, energy = 0.0;
        // Before the taper of the last tenth the series carries no DC: compare the sum of the
        // untapered part with the series' overall size.
        for (std::size_t i = 0; i < np2; ++i) energy += double(series[c * np2 + i]) * series[c * np2 + i];
        for (std::size_t i = 0; i < np2 - np2 / 10; ++i) sum += series[c * np2 + i];
        ASSERT_GT(energy, 0.0);
        ASSERT_TRUE(std::isfinite(energy));
        EXPECT_LT(std::abs(sum), 1e-3 * std::sqrt(energy * np2)) << c;
    }
}

}  // namespace
