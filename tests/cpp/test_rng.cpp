#include "quillon/rng.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace {

using quillon::rng::DrawSource;
using quillon::rng::FixtureDraws;
using quillon::rng::Pcg;
using quillon::rng::unit_interval_from;

// Sets or clears QUILLON_FIXTURE_RNG for one scope and restores what was there.
class FixtureVariable {
public:
    explicit FixtureVariable(std::optional<std::string> value) {
        if (const char* old = std::getenv(quillon::rng::fixture_variable)) saved_ = old;
        set(value);
    }
    ~FixtureVariable() { set(saved_); }

private:
    static void set(const std::optional<std::string>& value) {
        if (value) setenv(quillon::rng::fixture_variable, value->c_str(), 1);
        else unsetenv(quillon::rng::fixture_variable);
    }
    std::optional<std::string> saved_;
};

template <class D>
std::vector<float> uniforms(D draws, std::size_t count) {
    std::vector<float> out(count);
    for (float& value : out) value = draws.uniform();
    return out;
}

// ---------------------------------------------------------------- uniform mapping

TEST(UnitInterval, EndsAndSteps) {
    EXPECT_EQ(unit_interval_from(0u), 0.0f);
    EXPECT_EQ(unit_interval_from(0xFFu), 0.0f);  // the low 8 bits are dropped
    EXPECT_EQ(unit_interval_from(0x100u), 0x1.0p-24f);
    EXPECT_EQ(unit_interval_from(0x80000000u), 0.5f);
    EXPECT_EQ(unit_interval_from(0xFFFFFFFFu), 1.0f - 0x1.0p-24f);
}

// ---------------------------------------------------------------- fixture generator

TEST(FixtureDraws, SeedingAndSplitMixStream) {
    EXPECT_EQ(FixtureDraws::seed(0).state(), 0x9E3779B97F4A7C15ULL);
    EXPECT_EQ(FixtureDraws::seed(-1).state(), 0x61C8864680B583EAULL);
    EXPECT_EQ(FixtureDraws::seed(1).state(), 0x9E3779B97F4A7C14ULL);

    // Seed 0 starts the SplitMix64 sequence one step in: its words are the published
    // SplitMix64 outputs for state 0 from the second on.
    FixtureDraws draws = FixtureDraws::seed(0);
    EXPECT_EQ(draws.next_word(), 0x6E789E6AA1B965F4ULL);
    EXPECT_EQ(draws.try_next_u64(), 0x06C45D188009454FULL);

    // uniform() is the top 24 bits of the next word.
    FixtureDraws a = FixtureDraws::seed(12345), b = a;
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t word = a.next_word();
        ASSERT_EQ(b.uniform(), static_cast<float>(word >> 40) * 0x1.0p-24f);
    }
}

TEST(FixtureDraws, RespawnUsesTheLowHalfAsSignedSeed) {
    const FixtureDraws any = FixtureDraws::seed(77);
    EXPECT_EQ(any.respawn(0xFFFFFFFFULL), FixtureDraws::seed(-1));
    EXPECT_EQ(any.respawn(0x1234567800000005ULL), FixtureDraws::seed(5));
    EXPECT_EQ(any.respawn(0x80000000ULL), FixtureDraws::seed(INT32_MIN));
}

// ---------------------------------------------------------------- PCG32

TEST(Pcg, ReferenceStreamOfThePcg32Demo) {
    // The PCG32 demonstration program seeds with initstate 42, initseq 54.
    Pcg generator = Pcg::from_words(42u, 54u);
    const std::uint32_t expected[] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u,
                                      0x83d2f293u, 0xbfa4784bu, 0xcbed606eu};
    for (const std::uint32_t word : expected) EXPECT_EQ(generator.next_u32(), word);
}

TEST(Pcg, WordsPairOutputsLowHalfFirst) {
    Pcg a = Pcg::seed(9), b = a;
    const std::uint64_t low = b.next_u32();
    const std::uint64_t high = b.next_u32();
    EXPECT_EQ(a.next_u64(), low | (high << 32));
    EXPECT_EQ(a, b);
}

// Every seed bit reaches the generator, and a one-bit change gives an unrelated stream.
TEST(Pcg, EverySeedBitMatters) {
    for (const std::uint64_t base : {0x0ULL, 0x0123456789ABCDEFULL, ~0x0ULL}) {
        EXPECT_EQ(Pcg::seed(base), Pcg::seed(base));
        Pcg reference = Pcg::seed(base);
        std::vector<std::uint32_t> reference_words(1024);
        for (auto& word : reference_words) word = reference.next_u32();
        for (int bit = 0; bit < 64; ++bit) {
            Pcg flipped = Pcg::seed(base ^ (std::uint64_t{1} << bit));
            EXPECT_NE(flipped.state(), Pcg::seed(base).state()) << bit;
            EXPECT_NE(flipped.increment(), Pcg::seed(base).increment()) << bit;
            EXPECT_EQ(flipped.increment() & 1u, 1u);
            int equal_bits = 0;
            for (const std::uint32_t word : reference_words) equal_bits += 32 - std::popcount(word ^ flipped.next_u32());
            // 32768 bit pairs: unrelated streams agree on half of them, within a few percent.
            const double agreement = equal_bits / 32768.0;
            EXPECT_NEAR(agreement, 0.5, 0.02) << "seed " << base << " bit " << bit;
        }
    }
}

// ---------------------------------------------------------------- the draw source

TEST(DrawSource, EnvironmentChoosesTheGeneratorOnEveryCall) {
    {
        FixtureVariable absent{std::nullopt};
        const DrawSource station = DrawSource::for_station(0xABCDEF0000000005ULL);
        EXPECT_FALSE(station.is_fixture());
        EXPECT_FALSE(station.respawn(3).is_fixture());
        EXPECT_EQ(uniforms(station, 8), uniforms(Pcg::seed(0xABCDEF0000000005ULL), 8));
    }
    for (const char* value : {"", "0", "1", "no"}) {
        FixtureVariable present{std::string(value)};
        const DrawSource station = DrawSource::for_station(0xABCDEF0000000005ULL);
        EXPECT_TRUE(station.is_fixture()) << '"' << value << '"';
        EXPECT_TRUE(station.respawn(3).is_fixture());
        EXPECT_EQ(uniforms(station, 8), uniforms(FixtureDraws::seed(5), 8));
    }
}

TEST(DrawSource, SeedBitsThatReachEachKind) {
    // Fixture: only the low 32 bits; modern: all 64.
    const DrawSource fixture(FixtureDraws::seed(0));
    EXPECT_EQ(uniforms(fixture.respawn(0x0000000100000007ULL), 16), uniforms(fixture.respawn(7), 16));
    const DrawSource modern(Pcg::seed(0));
    EXPECT_NE(uniforms(modern.respawn(0x0000000100000007ULL), 16), uniforms(modern.respawn(7), 16));
}

TEST(DrawSource, RespawnIgnoresHistoryAndDoesNotAdvance) {
    for (const bool fixture : {false, true}) {
        DrawSource used = fixture ? DrawSource(FixtureDraws::seed(1)) : DrawSource(Pcg::seed(1));
        DrawSource fresh = fixture ? DrawSource(FixtureDraws::seed(2)) : DrawSource(Pcg::seed(2));
        std::vector<float> burn(333);
        used.fill_normal(burn);
        const DrawSource before = used;
        EXPECT_EQ(uniforms(used.respawn(99), 32), uniforms(fresh.respawn(99), 32));
        EXPECT_EQ(used.uniform(), DrawSource(before).uniform());  // spawning did not advance it
    }
}

// Fills are the same stream as one draw at a time, for both kinds and both distributions,
// long enough to pass through the sampler's wedges and tail.
TEST(DrawSource, FillsMatchSingleDrawsAndVisitReachesTheGenerator) {
    for (const bool fixture : {false, true}) {
        const DrawSource start = fixture ? DrawSource(FixtureDraws::seed(-8)) : DrawSource(Pcg::seed(8));
        DrawSource filled = start, single = start;
        std::vector<float> normals(20000), uniform_values(500);
        filled.fill_normal(normals);
        filled.fill_uniform(uniform_values);
        for (const float value : normals) ASSERT_EQ(value, single.normal());
        for (const float value : uniform_values) ASSERT_EQ(value, single.uniform());

        // Empty fills draw nothing.
        filled.fill_uniform(std::span<float>());
        filled.fill_normal(std::span<float>());
        EXPECT_EQ(filled.uniform(), single.uniform());

        // visit hands out the generator itself: drawing through it advances the source.
        const float through_visit = filled.visit([](auto& generator) { return generator.uniform(); });
        EXPECT_EQ(through_visit, single.uniform());
        EXPECT_EQ(filled.uniform(), single.uniform());
        const bool saw_fixture = filled.visit([](auto& generator) {
            return std::is_same_v<std::decay_t<decltype(generator)>, FixtureDraws>;
        });
        EXPECT_EQ(saw_fixture, fixture);
    }
}

TEST(DrawSource, UniformsStayBelowOne) {
    DrawSource source(Pcg::seed(3));
    std::vector<float> values(100000);
    source.fill_uniform(values);
    EXPECT_LT(*std::max_element(values.begin(), values.end()), 1.0f);
    EXPECT_GE(*std::min_element(values.begin(), values.end()), 0.0f);
}

// ---------------------------------------------------------------- the normal sampler

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }
double normal_upper_tail(double x) { return 0.5 * std::erfc(x / std::numbers::sqrt2); }

// The layers: x[1] = R, x[256] = 0, and every layer (the base strip with its tail included)
// has the same area.
TEST(Ziggurat, TablesHaveEqualLayers) {
    const auto& t = quillon::rng::ziggurat_tables();
    const double r = quillon::rng::ZigguratTables::tail_start;
    EXPECT_EQ(t.x[1], r);
    EXPECT_EQ(t.x[256], 0.0);
    EXPECT_EQ(t.f[256], 1.0);
    const double area = r * std::exp(-0.5 * r * r) + std::sqrt(2.0 * std::numbers::pi) * normal_upper_tail(r);
    EXPECT_NEAR(t.x[0] * t.f[0], area, 1e-15);
    for (int i = 1; i < 256; ++i) {
        ASSERT_GT(t.x[i], t.x[i + 1]);
        ASSERT_NEAR(t.x[i] * (t.f[i + 1] - t.f[i]), area, 1e-9 * area) << i;
    }
}

struct Sample {
    std::vector<double> values;
    double mean = 0.0, variance = 0.0;
};

Sample draw(DrawSource source, std::size_t count) {
    std::vector<float> raw(count);
    source.fill_normal(raw);
    Sample s;
    s.values.assign(raw.begin(), raw.end());
    for (const double v : s.values) s.mean += v;
    s.mean /= static_cast<double>(count);
    for (const double v : s.values) s.variance += (v - s.mean) * (v - s.mean);
    s.variance /= static_cast<double>(count - 1);
    return s;
}

// Kolmogorov–Smirnov statistic sqrt(n)·D of sorted values against a distribution function.
template <class Cdf>
double ks_statistic(std::vector<double> values, Cdf cdf) {
    std::sort(values.begin(), values.end());
    const double n = static_cast<double>(values.size());
    double d = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double f = cdf(values[i]);
        d = std::max({d, f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f});
    }
    return d * std::sqrt(n);
}

// Fixed seeds make these deterministic; the bounds are about five standard errors (and the
// KS bound is the 0.1 % critical value), so a correct sampler passes with any seed.
TEST(Ziggurat, MomentsAndGoodnessOfFit) {
    constexpr std::size_t n = 1'000'000;
    for (const DrawSource source : {DrawSource(Pcg::seed(2024)), DrawSource(FixtureDraws::seed(2024))}) {
        const Sample s = draw(source, n);
        EXPECT_NEAR(s.mean, 0.0, 5.0 / std::sqrt(double(n)));
        EXPECT_NEAR(s.variance, 1.0, 5.0 * std::sqrt(2.0 / double(n)));
        EXPECT_LT(ks_statistic(s.values, normal_cdf), 1.95);
        double negative = 0.0;
        for (const double v : s.values) negative += v < 0.0 ? 1.0 : 0.0;
        EXPECT_NEAR(negative / double(n), 0.5, 5.0 * 0.5 / std::sqrt(double(n)));
    }
}

// Beyond the last layer: the right share of deviates, distributed as the normal tail.
TEST(Ziggurat, TailBeyondTheBaseLayer) {
    constexpr std::size_t n = 4'000'000;
    const double r = quillon::rng::ZigguratTables::tail_start;
    const Sample s = draw(DrawSource(Pcg::seed(77)), n);
    std::vector<double> tail;
    for (const double v : s.values) {
        if (std::abs(v) > r) tail.push_back(std::abs(v));
    }
    const double expected = double(n) * 2.0 * normal_upper_tail(r);  // about 1030
    EXPECT_NEAR(double(tail.size()), expected, 5.0 * std::sqrt(expected));
    const double q_r = normal_upper_tail(r);
    EXPECT_LT(ks_statistic(tail, [q_r](double x) { return 1.0 - normal_upper_tail(x) / q_r; }), 1.95);
}

}  // namespace
