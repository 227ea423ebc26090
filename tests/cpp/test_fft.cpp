#include "quillon/fft.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <thread>
#include <vector>

#include "quillon/internal_error.hpp"
#include "stop_message.hpp"

namespace {

using quillon::InternalError;
using quillon::fft::good_length;
using Complex = std::complex<float>;

using quillon::testing::stop_message;

// Deterministic test data that is neither symmetric nor smooth.
std::vector<Complex> scrambled(std::size_t n, std::uint32_t salt) {
    std::vector<Complex> data(n);
    std::uint32_t state = 2463534242u ^ salt;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(state % 20001) / 10000.0f - 1.0f;
    };
    for (auto& value : data) value = Complex(next(), next());
    return data;
}

// ---------------------------------------------------------------- good_length

TEST(GoodLength, Examples) {
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 2},      {1, 2},      {2, 2},      {3, 4},       {5, 6},       {7, 8},
        {9, 10},     {17, 20},    {25, 28},    {33, 40},     {100, 112},   {1000, 1024},
        {1025, 1280}, {4097, 5120}, {5000, 5120}, {6, 6},     {10, 10},     {14, 14},
        {48, 48},    {1280, 1280},
    };
    for (const auto& [at_least, expected] : cases) EXPECT_EQ(good_length(at_least), expected) << at_least;
}

bool is_good(std::size_t length) {
    if (length < 2 || length % 2 != 0) return false;
    while (length % 2 == 0) length /= 2;
    return length == 1 || length == 3 || length == 5 || length == 7;
}

TEST(GoodLength, MatchesBruteForceAndIsMonotone) {
    std::size_t previous = 0;
    for (std::size_t at_least = 0; at_least <= 5000; ++at_least) {
        std::size_t brute = std::max<std::size_t>(at_least, 2);
        while (!is_good(brute)) ++brute;
        const std::size_t got = good_length(at_least);
        ASSERT_EQ(got, brute) << at_least;
        ASSERT_GE(got, previous);
        std::size_t power = 2;
        while (power < at_least) power *= 2;
        ASSERT_LE(got, power);
        previous = got;
    }
}

TEST(GoodLength, TopOfTheRangeAndBeyond) {
    constexpr std::size_t top = std::size_t{1} << 63;
    constexpr std::size_t seven_eighths = std::size_t{7} << 60;
    EXPECT_EQ(good_length(seven_eighths), seven_eighths);
    EXPECT_EQ(good_length(seven_eighths + 1), top);
    EXPECT_EQ(good_length(top - 1), top);
    EXPECT_EQ(good_length(top), top);
    EXPECT_EQ(good_length((std::size_t{5} << 60) + 1), std::size_t{3} << 61);
    EXPECT_THROW(good_length(top + 1), InternalError);
    EXPECT_THROW(good_length(~std::size_t{0}), InternalError);
}

// ---------------------------------------------------------------- transforms

TEST(Transform, LengthTwoIsSumAndDifferenceBothWays) {
    for (const bool direction : {true, false}) {
        std::vector<Complex> data = {{1.5f, -2.0f}, {0.25f, 4.0f}};
        quillon::fft::transform(data, direction);
        EXPECT_EQ(data[0], Complex(1.75f, 2.0f));
        EXPECT_EQ(data[1], Complex(1.25f, -6.0f));
    }
}

TEST(Transform, OddLengthStopsEmptyIsLeftAlone) {
    std::vector<Complex> data(7);
    EXPECT_EQ(stop_message([&] { quillon::fft::forward(data); }), "the transform requires an even length, got 7");
    EXPECT_EQ(stop_message([&] { quillon::fft::inverse(std::span(data).first(1)); }),
              "the transform requires an even length, got 1");
    EXPECT_NO_THROW(quillon::fft::forward(std::span<Complex>()));
}

// Against a direct sum in double: fixes the sign convention and the absence of scaling.
TEST(Transform, MatchesDirectSumForEveryRadix) {
    for (const std::size_t n : {6u, 10u, 14u, 16u, 48u, 80u, 112u}) {
        const std::vector<Complex> input = scrambled(n, static_cast<std::uint32_t>(n));
        for (const bool direction : {true, false}) {
            std::vector<Complex> data = input;
            quillon::fft::transform(data, direction);
            const double sign = direction ? -1.0 : 1.0;
            for (std::size_t k = 0; k < n; ++k) {
                std::complex<double> sum = 0.0;
                for (std::size_t j = 0; j < n; ++j) {
                    const double angle = sign * 2.0 * std::numbers::pi * static_cast<double>((j * k) % n) /
                                         static_cast<double>(n);
                    sum += std::complex<double>(input[j]) * std::polar(1.0, angle);
                }
                EXPECT_NEAR(data[k].real(), sum.real(), 1e-4 * static_cast<double>(n)) << n << " " << k;
                EXPECT_NEAR(data[k].imag(), sum.imag(), 1e-4 * static_cast<double>(n)) << n << " " << k;
            }
        }
    }
}

TEST(Transform, ForwardThenInverseMultipliesByLength) {
    for (const std::size_t n : {2u, 6u, 1024u, 1280u, 5120u, 7168u}) {
        const std::vector<Complex> input = scrambled(n, 7);
        std::vector<Complex> data = input;
        quillon::fft::forward(data);
        quillon::fft::inverse(data);
        const float scale = static_cast<float>(n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_NEAR(data[i].real(), input[i].real() * scale, 2e-5f * scale) << n << " " << i;
            ASSERT_NEAR(data[i].imag(), input[i].imag() * scale, 2e-5f * scale) << n << " " << i;
        }
    }
}

// Each thread starts with an empty map, plans a (length, direction) once and reuses it.
TEST(Transform, PlansAreKeptPerThreadAndReused) {
    std::vector<std::size_t> counts;
    std::thread worker([&counts] {
        std::vector<Complex> data = scrambled(96, 1);
        counts.push_back(quillon::fft::thread_plan_count());
        quillon::fft::forward(data);
        counts.push_back(quillon::fft::thread_plan_count());
        quillon::fft::forward(data);
        counts.push_back(quillon::fft::thread_plan_count());
        quillon::fft::inverse(data);
        counts.push_back(quillon::fft::thread_plan_count());
        std::vector<Complex> other = scrambled(192, 1);
        quillon::fft::forward(other);
        counts.push_back(quillon::fft::thread_plan_count());
    });
    worker.join();
    EXPECT_EQ(counts, (std::vector<std::size_t>{0, 1, 1, 2, 3}));
}

// The same transform gives the same bits on any thread and at any buffer alignment.
TEST(Transform, BitIdenticalAcrossThreadsAndAlignments) {
    for (const std::size_t n : {1280u, 4096u}) {
        const std::vector<Complex> input = scrambled(n, 99);
        auto run = [&input](Complex* buffer, bool direction) {
            std::memcpy(static_cast<void*>(buffer), input.data(), input.size() * sizeof(Complex));
            quillon::fft::transform(std::span(buffer, input.size()), direction);
        };
        for (const bool direction : {true, false}) {
            std::vector<Complex> here(n);
            run(here.data(), direction);

            std::vector<Complex> first(n), second(n);
            std::thread a([&] { run(first.data(), direction); });
            std::thread b([&] { run(second.data(), direction); });
            a.join();
            b.join();

            // Shifted by one complex value (8 bytes) off the 16-byte grid.
            std::vector<Complex> shifted_storage(n + 1);
            Complex* shifted = shifted_storage.data() + 1;
            run(shifted, direction);

            EXPECT_EQ(std::memcmp(here.data(), first.data(), n * sizeof(Complex)), 0);
            EXPECT_EQ(std::memcmp(here.data(), second.data(), n * sizeof(Complex)), 0);
            EXPECT_EQ(std::memcmp(here.data(), shifted, n * sizeof(Complex)), 0);
        }
    }
}

// ---------------------------------------------------------------- trend removal

TEST(RemoveQuadraticTrend, ShortSeries) {
    std::vector<float> two = {3.0f, -1.0f};
    quillon::fft::remove_quadratic_trend(0.01f, two);
    EXPECT_EQ(two, (std::vector<float>{3.0f, -1.0f}));
    std::vector<float> one = {1.0f};
    EXPECT_THROW(quillon::fft::remove_quadratic_trend(0.01f, one), InternalError);
    EXPECT_THROW(quillon::fft::remove_quadratic_trend(0.01f, std::span<float>()), InternalError);
}

// Constant and linear accelerations are exactly what the correction removes: the first two
// samples keep their values and every later one goes to zero.
TEST(RemoveQuadraticTrend, ConstantAndLinearSeriesVanishFromSampleTwo) {
    struct Case {
        float a0, slope_per_s;
    };
    const float dt = 0.01f;
    for (const Case c : {Case{2.5f, 0.0f}, Case{-1.0f, 0.0f}, Case{0.5f, 3.0f}, Case{-2.0f, -0.7f}}) {
        std::vector<float> a(1000);
        for (std::size_t j = 0; j < a.size(); ++j) a[j] = c.a0 + c.slope_per_s * (static_cast<float>(j) * dt);
        const std::vector<float> before = a;
        quillon::fft::remove_quadratic_trend(dt, a);
        EXPECT_EQ(a[0], before[0]);
        EXPECT_EQ(a[1], before[1]);
        for (std::size_t j = 2; j < a.size(); ++j) ASSERT_NEAR(a[j], 0.0f, 1e-4f) << c.a0 << " " << j;
    }
}

// A general series: after the correction the end velocity and displacement are only those of
// the correction that is not applied to samples 0 and 1.
TEST(RemoveQuadraticTrend, CancelsEndVelocityAndDisplacement) {
    const float dt = 0.02f;
    const std::size_t n = 800;
    std::vector<float> a(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double t = static_cast<double>(j) * dt;
        a[j] = static_cast<float>(0.4 + std::sin(2.1 * t) + 0.3 * std::cos(7.3 * t) - 0.05 * t);
    }
    // Velocity and displacement at the end, for linear acceleration between samples.
    auto ends = [dt](const std::vector<float>& series) {
        double ve = 0.0, de = 0.0;
        for (std::size_t j = 1; j < series.size(); ++j) {
            de += (2.0 * series[j - 1] + series[j]) * dt * dt / 6.0 + dt * ve;
            ve += (series[j - 1] + series[j]) * dt / 2.0;
        }
        return std::pair{ve, de};
    };
    const auto [ve, de] = ends(a);
    ASSERT_GT(std::abs(ve), 0.5);
    ASSERT_GT(std::abs(de), 10.0);

    const double t_end = static_cast<double>(n - 1) * dt;
    const double c1 = 2.0 * ve / t_end - 6.0 * de / (t_end * t_end);
    const double c2 = 12.0 * de / (t_end * t_end * t_end) - 6.0 * ve / (t_end * t_end);
    const double m0 = c1, m1 = c1 + c2 * dt;  // the correction samples 0 and 1 do not get
    const double residue_ve = -(m0 + 2.0 * m1) * dt / 2.0;
    const double residue_de = -(m0 * (t_end * dt / 2.0 - dt * dt / 6.0) + m1 * dt * (t_end - dt));

    quillon::fft::remove_quadratic_trend(dt, a);
    const auto [ve_after, de_after] = ends(a);
    EXPECT_NEAR(ve_after, residue_ve, 1e-4 * std::abs(ve));
    EXPECT_NEAR(de_after, residue_de, 1e-4 * std::abs(de));
    EXPECT_LT(std::abs(ve_after), 0.05 * std::abs(ve));
    EXPECT_LT(std::abs(de_after), 0.05 * std::abs(de));
}

}  // namespace
