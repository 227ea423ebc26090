// The subfault pass: for one segment of one station run, every active subfault and every ray
// type is synthesised as three-component stochastic acceleration, placed in time and added
// into the station's record weighted by the subfault's moment weight.
//
// Every random number of a (subfault, ray type) pair comes from a draw source spawned from a
// seed that depends only on the station seed, the segment index, the subfault's grid index and
// the ray type's index, so a subfault's contribution does not depend on what else is simulated.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "quillon/geom.hpp"
#include "quillon/radiation.hpp"
#include "quillon/rng.hpp"
#include "quillon/sim/records.hpp"
#include "quillon/state.hpp"
#include "quillon/stoc.hpp"

namespace quillon::sim {

// ---------------------------------------------------------------- seeds

inline constexpr std::uint64_t golden_gamma = 0x9E3779B97F4A7C15ULL;

// The SplitMix64 output function: a bijective mix of all 64 bits.
constexpr std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}
constexpr std::uint64_t segment_seed(std::uint64_t station_seed, std::size_t segment) {
    return mix64(station_seed ^ (static_cast<std::uint64_t>(segment) * golden_gamma));
}
constexpr std::uint64_t substream_seed(std::uint64_t station_seed, std::size_t segment, std::size_t subfault) {
    return mix64(segment_seed(station_seed, segment) ^ static_cast<std::uint64_t>(subfault));
}
constexpr std::uint64_t ray_stream_seed(std::uint64_t subfault_seed, std::size_t ray) {
    return mix64(subfault_seed ^ ((static_cast<std::uint64_t>(ray) + 1) * golden_gamma));
}

// ---------------------------------------------------------------- per subfault and ray

// x/dt-style times to sample counts: truncation toward zero, saturated to i32, NaN to 0.
std::int32_t truncate_to_sample(float samples);

struct SubfaultSource {
    SourceStrength strength;
    std::size_t layer;
    geom::SubfaultRay geometry;
    MomentWeight weight;
    float rupture_time_s;
    float window_s;
    float shear_velocity_km_s;
    float density_g_cm3;
    float corner_frequency_hz;  // with the subfault's random rupture-velocity perturbation

    // Absent when the subfault's moment weight is below 0.001. Draws one normal deviate from
    // `rng` when the rupture velocity is perturbed.
    static std::optional<SubfaultSource> gather(rng::DrawSource& rng, const SegmentPass& segment,
                                                std::size_t along_strike, std::size_t down_dip,
                                                const RunContext& ctx);
    // A record sample no later than the start of any ray type of this subfault.
    std::int32_t earliest_start_sample(const RunScalars& run,
                                       const std::vector<config::RayType>& rayset) const;
};

struct TracedRay {
    float path_length_km;  // spreading distance
    float qbar;            // path attenuation: travel time over Q, s
    float window_start_s;  // start of the window after the subfault's rupture time
    float takeoff_rad;
};

struct Placement {
    std::int32_t skip;    // samples dropped from the series' start
    std::int32_t offset;  // zero-based record column of the first kept sample
    std::int32_t count;   // samples kept

    static std::optional<Placement> clip(std::int32_t start_sample, std::size_t np2, std::size_t ndata);
};

struct Arrival {
    std::int32_t start_sample;  // record sample (from 1) where the series begins
    radiation::RadiationAngles angles;

    std::optional<Placement> placement(std::size_t np2, std::size_t ndata) const {
        return Placement::clip(start_sample, np2, ndata);
    }
};

TracedRay trace_ray(state::RayState& state, const SubfaultSource& source, config::RayType ray_type,
                    const RunContext& ctx);
Arrival arrival_time_and_angles(const TracedRay& ray, const SubfaultSource& source,
                                const SegmentAngles& segment, const RunScalars& run);

// acc[c][offset + k] += weight * series[c][skip + k], the product rounded before the sum.
// `acc` holds 3 rows of `ndata`; `series` 3 rows of `series_stride` samples.
void accumulate_subfault(std::span<float> acc, std::size_t ndata, std::span<const float> series,
                         std::size_t series_stride, MomentWeight weight, const Placement& at);

// Adds the segment's contribution into `acc` (3 x ndata) and returns its two accounts.
std::pair<Clipping, Census> subfault_pass(const rng::DrawSource& rng, stoc::PlanCache& plans,
                                          std::span<float> acc, const SegmentPass& segment,
                                          const RunContext& ctx);

}  // namespace quillon::sim
