// The records a station run and its subfault passes hand to one another: the output
// components and how each is radiated, the station's pre-drawn deviates, the per-segment window
// table and bundle, the per-station context, the run's two accounts and its result.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "quillon/config.hpp"
#include "quillon/geom.hpp"
#include "quillon/input.hpp"
#include "quillon/sim.hpp"

namespace quillon::sim {

// Rows of every record: east (azimuth 90), north (azimuth 0), vertical.
enum class Component : std::uint8_t { E090 = 0, N000 = 1, Vertical = 2 };
inline constexpr std::array<Component, 3> components = {Component::E090, Component::N000,
                                                        Component::Vertical};
inline constexpr std::size_t row(Component c) { return static_cast<std::size_t>(c); }

// The vertical component is cut at 15 Hz at most (15 when fmax_hz is NaN).
float capped_fmax(Component component, float fmax_hz);

// A horizontal component is radiated along its own direction; the offset is in radians
// despite its name: -pi/2 for east, 0 for north.
struct HorizontalRadiation {
    float azimuth_offset_deg;
};
struct VerticalRadiation {};
using RadiationMode = std::variant<HorizontalRadiation, VerticalRadiation>;
RadiationMode radiation_mode(Component component);

// Uniform deviates drawn once per station; only the vertical radiation pattern reads them.
struct Deviates {
    std::vector<float> radv_uniform_a;
    std::vector<float> radv_uniform_b;
};

// Window duration of every subfault of a segment at this station, in storage order.
struct WindowPass {
    std::vector<float> window_s;
    float tmax = 0.0f;
};

struct RunContext {
    const std::vector<input::Layer>& vmod;
    const config::RuptureVelocityTaper& rupture;
    const RunScalars& run;
    const std::vector<config::RayType>& rayset;
    const Deviates& deviates;
    const std::array<float, 20>& siteamp_log_freq;
    float kappa_s;
    std::uint64_t station_seed;
};

struct SegmentPass {
    const input::Segment& seg;
    const geom::SubfaultGeometry& geom;
    const WindowPass& windows;
    const SegmentAngles& angles;
    const std::vector<MomentWeight>& weights;
    const std::vector<SourceStrength>& strengths;
    std::size_t index;  // zero-based position of the segment in the slip model
};

// Window peaks that fell after the end of the record.
struct Clipping {
    std::size_t peaks_lost = 0;
    float worst_overrun_s = 0.0f;

    static Clipping for_arrival(std::int32_t start_sample, float window_s, const RunScalars& run);
    void merge(const Clipping& other);
};

struct Census {
    std::size_t pairs_attempted = 0;       // (subfault, ray type) pairs of active subfaults
    std::size_t pairs_outside_record = 0;  // of those, pairs that added nothing
    std::size_t samples_computed = 0;      // sum of the transform lengths synthesised
    std::size_t samples_accumulated = 0;   // sum of the samples added into the record
    std::size_t transform_lengths = 0;     // distinct transform lengths of the run, set at its end

    void merge(const Census& other);  // adds all but transform_lengths
};

// A station's record: 3 rows of ndata samples (acceleration in cm/s^2), row-major.
struct Simulation {
    std::vector<float> acc;
    std::size_t ndata = 0;
    float dt = 0.0f;
    Clipping clipping;
    Census census;

    const float* row(Component c) const { return acc.data() + sim::row(c) * ndata; }
};

// The layer containing a depth: the first whose base depth is not above it (a depth exactly
// on an interface belongs to the layer above), else the last layer.
std::size_t source_layer_for(const std::vector<input::Layer>& vmod, float depth_km);

}  // namespace quillon::sim
