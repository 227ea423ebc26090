// The constructed simulation: everything about one earthquake source that does not depend on
// the station, computed once and then only read by station runs on any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quillon/config.hpp"
#include "quillon/input.hpp"
#include "quillon/sim/duration.hpp"

namespace quillon::geom {
struct SubfaultGeometry;
}

namespace quillon::sim {

struct Simulation;  // a station's record and accounts (sim/records.hpp)
struct WindowPass;  // a segment's time windows at one station (sim/records.hpp)

// A subfault's share of the seismic moment: slip x rigidity x area before normalisation,
// dimensionless after (the active weights then average 1).
struct MomentWeight {
    float value;
};

struct SourceStrength {
    float subevent_moment;  // dyne.cm of a subevent of the average subfault size
    float moment_scale;     // total moment / (sqrt(active subfaults) * subevent_moment)

    static SourceStrength create(float stress_drop_bars, float avg_subfault_km,
                                 float total_moment_dyn_cm, std::size_t subfault_count);
};

struct SegmentAngles {
    float strike_rad;
    float dip_rad;
    float rake_rad;
    float corner_coeff;  // czero / alpha_t: corner frequencies of the segment scale with it

    static SegmentAngles for_segment(const input::Segment& segment, float czero, float calpha);
};

float alpha_t(float dip_deg, float rake_deg, float calpha);

struct SourceScale {
    float avg_subfault_km;
    float total_moment_dyn_cm;
    std::size_t subfault_count;  // active subfaults (weight above 0.001)
};

struct RunScalars {
    std::size_t conical_sample_count;  // 1000
    std::size_t site_table_len;        // 20
    std::size_t ndata;                 // samples per record
    float dt;
    float fmax_hz;
    float window_peak_fraction;  // 0.2
    float window_end_fraction;   // 0.05
    float rupture_velocity_sigma;
    float avg_subfault_km;
    float max_shear_velocity_km_s;
};

// Errors of construction, each with a display text the Python layer raises as ValueError.
struct InconsistentSegments {
    std::size_t segment;
    const char* dimension;  // "subfault_length_km" or "subfault_width_km"
    float found;
    float expected;
};
struct NoActiveSubfault {};
struct RecordTooLong {
    std::size_t samples;
};
using SimError = std::variant<InconsistentSegments, NoActiveSubfault, RecordTooLong>;
std::string display(const SimError& error);

// The largest record the signed 32-bit sample arithmetic of a station run can hold.
inline constexpr std::size_t max_record_samples = 2147483647;

inline constexpr std::array<float, 20> site_table_frequencies_hz = {
    0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f, 0.3f, 0.5f, 0.7f,
    1.0f,  2.0f,  3.0f,  5.0f,  7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};

struct Simulator {
    input::StochModel slip;
    std::vector<std::vector<MomentWeight>> weights;      // per segment, storage order
    std::vector<std::vector<SourceStrength>> strengths;  // per segment, storage order
    std::vector<input::Layer> vmod;                      // with the air layer on top
    config::RuptureVelocityTaper rupture;
    std::vector<DurationSegment> path_duration;
    std::vector<SegmentAngles> angles;
    std::vector<config::RayType> rayset;
    RunScalars run;
    std::array<float, 20> siteamp_log_freq;

    // Copies everything it keeps. Preconditions (guaranteed by the Python layer): at least
    // one segment, every segment with a full non-empty grid, a non-empty layer list.
    static std::variant<Simulator, SimError> create(const config::HfConfig& config,
                                                    const input::StochModel& slip,
                                                    const std::vector<input::InputLayer>& vmod_in);

    std::size_t ndata() const { return run.ndata; }

    // Simulates one station: its three-component record (E090, N000, vertical) and the run's
    // accounts. Reads the simulator only; any number of runs may share it across threads.
    Simulation run_station(const input::Station& station, std::uint64_t seed) const;

    // Window duration of every subfault of one segment at one station: a source part (the
    // inverse corner frequency, scaled by the subevent count) plus a path part (the
    // path-duration table at the slant distance).
    WindowPass time_window_pass(const input::Segment& seg, const geom::SubfaultGeometry& geom,
                                const SegmentAngles& angles,
                                const std::vector<SourceStrength>& strengths) const;
};

// Moment weights per segment (normalised so the active ones average 1) and the source scale.
std::pair<std::vector<std::vector<MomentWeight>>, SourceScale> normalise_source(
    const input::StochModel& stoch, const std::vector<input::InputLayer>& vmod_in);

// duration_s / dt truncated toward zero and saturated into the size type (negative and NaN
// give 0).
std::size_t record_samples(float duration_s, float dt_s);

}  // namespace quillon::sim
