// Shear-wave radiation of a double-couple point source, as a real gain per frequency bin of
// one arrival and one output component. A real, complex source smooths its pattern, so the
// horizontal components carry the root-mean-square of the pattern over random perturbations
// of all five angles, with the sign of the theoretical pattern; the vertical component carries
// the mean magnitude over a cone of take-off angles and all azimuths, returning to the
// theoretical pattern only at the lowest frequencies. All in f32, angles in radians.
#pragma once

#include <cstddef>
#include <span>

#include "quillon/rng.hpp"

namespace quillon::radiation {

// The geometry of one arrival.
struct RadiationAngles {
    float strike_rad;   // clockwise from north
    float dip_rad;
    float rake_rad;
    float azimuth_rad;  // source to station, clockwise from north
    float takeoff_rad;  // from the downward vertical: pi/2 horizontal, pi straight up
};

// The sines and cosines the patterns need; the azimuth is taken from the strike.
struct AngleTerms {
    float sin_rake;
    float cos_rake;
    float sin_dip;
    float cos_dip;
    float sin_takeoff;
    float cos_takeoff;
    float sin_az;
    float cos_az;

    static AngleTerms of(const RadiationAngles& angles);
};

struct ShearRadiation {
    float sh;
    float sv;
};

float sv_from(const AngleTerms& t);
float sh_from(const AngleTerms& t);
ShearRadiation radiation_pattern(const RadiationAngles& angles);

// The horizontal component in direction component_rad (clockwise from north, as the azimuth):
// every bin receives the RMS projection of sample_count perturbed patterns (each angle moved by
// up to +-45 degrees, five uniforms per sample drawn in the order take-off, azimuth, strike,
// dip, rake) with the sign of the unperturbed projection. Consumes 5 * sample_count uniforms.
void horizontal_radiation_spectrum(rng::DrawSource& rng, const RadiationAngles& angles,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::size_t sample_count, std::span<float> radiation);

// The vertical component: half the mean |SV sin(take-off)| over take-off angles within 40
// degrees of the arrival's (kept in the upper half-space) and all azimuths, sampled from the
// station's pre-drawn deviates, blended linearly to the signed theoretical value between 0.01
// and 0.001 Hz.
void vertical_radiation_spectrum(const RadiationAngles& angles, std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> uniform_b,
                                 std::size_t sample_count, std::span<float> radiation);

}  // namespace quillon::radiation
