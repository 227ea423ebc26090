#include "quillon/radiation.hpp"

#include <cmath>
#include <string>

#include "quillon/internal_error.hpp"

namespace quillon::radiation {

namespace {

constexpr float pi_f32 = 3.1415927f;
constexpr float half_pi_f32 = 1.5707964f;
constexpr float two_pi_f32 = 6.2831855f;
constexpr float cone_half_width_rad = 0.6981317f;  // 40 degrees
constexpr float blend_low_hz = 0.001f;
constexpr float blend_high_hz = 0.01f;
constexpr float blend_width_hz = 0.009f;

void require_same_length(std::span<const float> frequency_hz, std::span<float> radiation) {
    if (radiation.size() != frequency_hz.size()) {
        internal_stop("radiation has " + std::to_string(radiation.size()) + " bins but frequency_hz has " +
                      std::to_string(frequency_hz.size()));
    }
}

// Projection of the shear motion onto a horizontal direction: SV is radial (along the
// azimuth), SH transverse to it.
float project(float sv, float sh, float component_rad, float azimuth_rad) {
    return sv * std::cos(component_rad - azimuth_rad) + sh * std::sin(component_rad - azimuth_rad);
}

// The RMS of the projected pattern over sample_count perturbations, drawn from one concrete
// generator so that the variant is resolved once per call, not once per number.
template <class Generator>
float conical_rms(Generator& generator, const RadiationAngles& angles, float component_rad,
                  std::size_t sample_count) {
    float sum_of_squares = 0.0f;
    for (std::size_t k = 0; k < sample_count; ++k) {
        // The draw order is part of every record: take-off, azimuth, strike, dip, rake.
        const float u1 = generator.uniform();
        const float u2 = generator.uniform();
        const float u3 = generator.uniform();
        const float u4 = generator.uniform();
        const float u5 = generator.uniform();
        RadiationAngles perturbed{};
        perturbed.takeoff_rad = angles.takeoff_rad + (0.5f - u1) * half_pi_f32;
        perturbed.azimuth_rad = angles.azimuth_rad + (0.5f - u2) * half_pi_f32;
        perturbed.strike_rad = angles.strike_rad + (0.5f - u3) * half_pi_f32;
        perturbed.dip_rad = angles.dip_rad + (0.5f - u4) * half_pi_f32;
        perturbed.rake_rad = angles.rake_rad + (0.5f - u5) * half_pi_f32;
        const AngleTerms t = AngleTerms::of(perturbed);
        const float v = project(sv_from(t), sh_from(t), component_rad, perturbed.azimuth_rad);
        sum_of_squares += v * v;
    }
    return std::sqrt(sum_of_squares / static_cast<float>(sample_count));
}

}  // namespace

AngleTerms AngleTerms::of(const RadiationAngles& angles) {
    const float az = angles.azimuth_rad - angles.strike_rad;
    return AngleTerms{std::sin(angles.rake_rad),    std::cos(angles.rake_rad),    std::sin(angles.dip_rad),
                      std::cos(angles.dip_rad),     std::sin(angles.takeoff_rad), std::cos(angles.takeoff_rad),
                      std::sin(az),                 std::cos(az)};
}

float sv_from(const AngleTerms& t) {
    const float cos_2dip = t.cos_dip * t.cos_dip - t.sin_dip * t.sin_dip;
    const float cos_2takeoff = t.cos_takeoff * t.cos_takeoff - t.sin_takeoff * t.sin_takeoff;
    return t.sin_rake * cos_2dip * cos_2takeoff * t.sin_az - t.cos_rake * t.cos_dip * cos_2takeoff * t.cos_az +
           2.0f * t.cos_rake * t.sin_dip * t.sin_takeoff * t.cos_takeoff * t.sin_az * t.cos_az -
           2.0f * t.sin_rake * t.sin_dip * t.cos_dip * t.sin_takeoff * t.cos_takeoff * (1.0f + t.sin_az * t.sin_az);
}

float sh_from(const AngleTerms& t) {
    const float cos_2dip = t.cos_dip * t.cos_dip - t.sin_dip * t.sin_dip;
    const float cos_2az = t.cos_az * t.cos_az - t.sin_az * t.sin_az;
    return t.cos_rake * t.cos_dip * t.cos_takeoff * t.sin_az + t.cos_rake * t.sin_dip * t.sin_takeoff * cos_2az +
           t.sin_rake * cos_2dip * t.cos_takeoff * t.cos_az -
           2.0f * t.sin_rake * t.sin_dip * t.cos_dip * t.sin_takeoff * t.sin_az * t.cos_az;
}

ShearRadiation radiation_pattern(const RadiationAngles& angles) {
    const AngleTerms t = AngleTerms::of(angles);
    return ShearRadiation{sh_from(t), sv_from(t)};
}

void horizontal_radiation_spectrum(rng::DrawSource& rng, const RadiationAngles& angles,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::size_t sample_count, std::span<float> radiation) {
    require_same_length(frequency_hz, radiation);

    const ShearRadiation theoretical = radiation_pattern(angles);
    const float projected = project(theoretical.sv, theoretical.sh, component_rad, angles.azimuth_rad);
    const float sign = projected < 0.0f ? -1.0f : 1.0f;
    const float theoretical_gain = std::fabs(projected);

    const float conical_gain = rng.visit(
        [&](auto& generator) { return conical_rms(generator, angles, component_rad, sample_count); });

    // The same gain at every frequency: the smoothed pattern with the theoretical sign.
    const float gain = sign * ((conical_gain - theoretical_gain) + theoretical_gain);
    for (float& bin : radiation) bin = gain;
}

void vertical_radiation_spectrum(const RadiationAngles& angles, std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> uniform_b,
                                 std::size_t sample_count, std::span<float> radiation) {
    if (uniform_a.size() < sample_count || uniform_b.size() < sample_count) {
        internal_stop("vertical_radiation_spectrum needs " + std::to_string(sample_count) +
                      " deviates in each vector but has " + std::to_string(uniform_a.size()) + " and " +
                      std::to_string(uniform_b.size()));
    }
    require_same_length(frequency_hz, radiation);

    const AngleTerms at_arrival = AngleTerms::of(angles);
    const float theoretical_gain = sv_from(at_arrival) * at_arrival.sin_takeoff;

    // A cone of take-off angles within 40 degrees of the arrival's, kept in the upper
    // half-space, sampled uniformly in cos(take-off).
    const float takeoff_min_rad = std::fmax(angles.takeoff_rad - cone_half_width_rad, half_pi_f32);
    const float takeoff_max_rad = std::fmin(angles.takeoff_rad + cone_half_width_rad, pi_f32);
    const float cos_min = std::cos(takeoff_min_rad);
    const float cos_max = std::cos(takeoff_max_rad);

    AngleTerms t = at_arrival;  // rake and dip stay as they are
    float sum_of_magnitudes = 0.0f;
    for (std::size_t k = 0; k < sample_count; ++k) {
        const float ua = uniform_a[k];
        const float ub = uniform_b[k];
        const float takeoff = std::acos(ua * cos_max + (1.0f - ua) * cos_min);
        const float az = ub * two_pi_f32 - angles.strike_rad;
        t.sin_takeoff = std::sin(takeoff);
        t.cos_takeoff = std::cos(takeoff);
        t.sin_az = std::sin(az);
        t.cos_az = std::cos(az);
        sum_of_magnitudes += std::fabs(sv_from(t) * t.sin_takeoff);
    }
    const float conical_gain = (sum_of_magnitudes / static_cast<float>(sample_count)) * 0.5f;

    for (std::size_t k = 0; k < radiation.size(); ++k) {
        const float f = frequency_hz[k];
        if (f <= blend_low_hz) {
            radiation[k] = theoretical_gain;
        } else if (f <= blend_high_hz) {
            radiation[k] = (f - blend_low_hz) * (conical_gain - theoretical_gain) / blend_width_hz + theoretical_gain;
        } else {
            radiation[k] = conical_gain;  // also a NaN frequency
        }
    }
}

}  // namespace quillon::radiation
