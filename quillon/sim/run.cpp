#include "quillon/sim/run.hpp"

#include <algorithm>
#include <cmath>

#include "quillon/geom.hpp"
#include "quillon/sim/pass.hpp"
#include "quillon/stoc.hpp"

namespace quillon::sim {
namespace {

constexpr float pi_f = 3.1415927f;
// The window spans 2.12 times the sum of the source and path durations.
constexpr float window_per_duration = 2.12f;

}  // namespace

geom::FaultPlane fault_plane(const input::Segment& segment) {
    return geom::FaultPlane{
        .origin = geom::GeoPoint{segment.fault_lat_deg, segment.fault_lon_deg},
        .along_strike_count = segment.along_strike_count,
        .down_dip_count = segment.down_dip_count,
        .strike_deg = segment.strike_deg,
        .dip_deg = segment.dip_deg,
        .top_depth_km = segment.top_depth_km,
        .along_strike_offset_km = segment.along_strike_offset_km,
        .subfault_length_km = segment.subfault_length_km,
        .subfault_width_km = segment.subfault_width_km,
    };
}

std::pair<Deviates, rng::DrawSource> seed_and_predraw(std::uint64_t seed, std::size_t radv_sample_count) {
    rng::DrawSource source = rng::DrawSource::for_station(seed);
    Deviates deviates{std::vector<float>(radv_sample_count, 0.0f), std::vector<float>(radv_sample_count, 0.0f)};
    source.fill_uniform(deviates.radv_uniform_a);
    source.fill_uniform(deviates.radv_uniform_b);
    return {std::move(deviates), std::move(source)};
}

WindowPass Simulator::time_window_pass(const input::Segment& seg, const geom::SubfaultGeometry& geom,
                                       const SegmentAngles& angles,
                                       const std::vector<SourceStrength>& strengths) const {
    WindowPass windows{std::vector<float>(seg.subfaults.size(), 0.0f), 0.0f};
    for (std::size_t j = 1; j <= seg.down_dip_count; ++j) {
        for (std::size_t i = 1; i <= seg.along_strike_count; ++i) {
            const geom::SubfaultRay r = geom.at(i, j);
            const float shear_velocity_km_s = static_cast<float>(vmod[source_layer_for(vmod, r.depth_km)].vsh_km_s);
            const float rupture_fraction = rupture.factor(r.depth_km);  // unperturbed
            const float corner_frequency_hz =
                rupture_fraction * angles.corner_coeff * shear_velocity_km_s / (pi_f * run.avg_subfault_km);
            const std::size_t grid = seg.grid_index(i, j);
            const float source_duration_s = (1.0f / corner_frequency_hz) * std::sqrt(strengths[grid].moment_scale);
            const float path_part_s = path_duration_s(path_duration, r.slant_km);
            const float window_s = (path_part_s + source_duration_s) * window_per_duration;
            windows.window_s[grid] = window_s;
            if (window_s > windows.tmax) windows.tmax = window_s;  // a NaN window leaves it
        }
    }
    return windows;
}

Simulation Simulator::run_station(const input::Station& station, std::uint64_t seed) const {
    auto [deviates, rng] = seed_and_predraw(seed, run.conical_sample_count);
    Simulation result;
    result.ndata = run.ndata;
    result.dt = run.dt;
    result.acc.assign(3 * run.ndata, 0.0f);
    stoc::PlanCache plans = stoc::PlanCache::create(run.dt, station.q_exponent, run.window_peak_fraction,
                                                    run.window_end_fraction);
    const RunContext ctx{vmod, rupture, run, rayset, deviates, siteamp_log_freq, station.kappa_s, seed};
    const geom::GeoPoint station_point{station.latitude, station.longitude};

    const std::size_t segment_count =
        std::min({slip.segments.size(), angles.size(), weights.size(), strengths.size()});
    for (std::size_t index = 0; index < segment_count; ++index) {
        const input::Segment& segment = slip.segments[index];
        const geom::SubfaultGeometry geom = geom::subfault_geometry(fault_plane(segment), station_point);
        const WindowPass windows = time_window_pass(segment, geom, angles[index], strengths[index]);
        const SegmentPass pass{segment, geom, windows, angles[index], weights[index], strengths[index], index};
        const auto [segment_clipping, segment_census] = subfault_pass(rng, plans, result.acc, pass, ctx);
        result.clipping.merge(segment_clipping);
        result.census.merge(segment_census);
    }
    result.census.transform_lengths = plans.size();
    return result;
}

}  // namespace quillon::sim
