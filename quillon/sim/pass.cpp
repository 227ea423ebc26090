#include "quillon/sim/pass.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "quillon/internal_error.hpp"
#include "quillon/ray.hpp"
#include "quillon/site.hpp"

namespace quillon::sim {
namespace {

constexpr float pi_f = 3.1415927f;
constexpr float half_pi_f = 1.5707964f;
// A straight ray travels at 3.7 km/s and its window opens at 0.7 of that travel time; its path
// quality factor is 150 at the source layer's shear velocity.
constexpr float straight_ray_speed_km_s = 3.7f;
constexpr float straight_ray_window_fraction = 0.7f;
constexpr float straight_ray_quality = 150.0f;
constexpr float max_rupture_fraction = 1.4f;
constexpr float active_weight = 0.001f;

std::int32_t to_i32(std::size_t value) {
    if (value > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        internal_stop("sample-number arithmetic overflowed 32 bits");
    return static_cast<std::int32_t>(value);
}

// Complex f32 values per 64 bytes: spectrum rows start on a 64-byte boundary, so every
// transform runs on data at least as aligned as the plans' own scratch (32 bytes for AVX).
// A row merely 16-byte aligned takes the same (bit-identical) path but straddles cache lines
// with every wide load, which costs up to a tenth of a transform.
constexpr std::size_t complex_per_line = 64 / sizeof(std::complex<float>);

// Working storage of one pass, sized once for the segment's largest transform.
struct PassStorage {
    std::size_t np2_max;
    std::size_t spectrum_stride;                   // np2_max rounded up to whole 64-byte lines
    std::vector<std::complex<float>> spectrum_mem;  // 3 rows of spectrum_stride, plus a line of slack
    std::complex<float>* spectrum;                  // the first 64-byte boundary in spectrum_mem
    std::vector<float> subfault_acc;               // 3 rows of np2_max
    std::vector<float> radiation;                  // fold_max
    std::vector<float> siteamp_factors;            // site table length
    std::vector<float> site_gain;                  // fold_max
    stoc::SpectrumShape shape;
    state::RayState ray_state;
    // What siteamp_factors and site_gain were last computed for: both depend only on the
    // source layer and the transform length, which consecutive pairs usually share.
    std::size_t factors_layer = std::numeric_limits<std::size_t>::max();
    std::size_t gain_layer = std::numeric_limits<std::size_t>::max();
    std::size_t gain_np2 = 0;

    PassStorage(std::size_t np2, std::size_t fold_count, std::size_t site_table_len)
        : np2_max(np2),
          spectrum_stride((np2 + complex_per_line - 1) / complex_per_line * complex_per_line),
          spectrum_mem(3 * spectrum_stride + complex_per_line),
          spectrum(aligned_start(spectrum_mem)),
          subfault_acc(3 * np2),
          radiation(fold_count),
          siteamp_factors(site_table_len),
          site_gain(fold_count),
          shape(stoc::SpectrumShape::with_capacity(np2)) {}
    PassStorage(const PassStorage&) = delete;  // `spectrum` points into this object's own memory
    PassStorage& operator=(const PassStorage&) = delete;

    std::span<std::complex<float>> spectrum_row(Component c, std::size_t np2) {
        return std::span(spectrum + row(c) * spectrum_stride, np2);
    }
    std::span<float> series_row(Component c, std::size_t np2) {
        return std::span(subfault_acc).subspan(row(c) * np2_max, np2);
    }

private:
    static std::complex<float>* aligned_start(std::vector<std::complex<float>>& memory) {
        void* start = memory.data();
        std::size_t room = memory.size() * sizeof(std::complex<float>);
        if (std::align(64, sizeof(std::complex<float>), start, room) == nullptr)
            internal_stop("no 64-byte boundary in a spectrum buffer");
        return static_cast<std::complex<float>*>(start);
    }
};

}  // namespace

std::int32_t truncate_to_sample(float samples) {
    if (std::isnan(samples)) return 0;
    if (samples >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    if (samples < -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(samples);  // truncates toward zero
}

std::optional<SubfaultSource> SubfaultSource::gather(rng::DrawSource& rng, const SegmentPass& segment,
                                                     std::size_t along_strike, std::size_t down_dip,
                                                     const RunContext& ctx) {
    const std::size_t grid = segment.seg.grid_index(along_strike, down_dip);
    const MomentWeight weight = segment.weights[grid];
    if (weight.value < active_weight) return std::nullopt;  // a NaN weight goes on

    const geom::SubfaultRay geometry = segment.geom.at(along_strike, down_dip);
    const std::size_t layer = source_layer_for(ctx.vmod, geometry.depth_km);
    const float base = ctx.rupture.factor(geometry.depth_km);
    float rupture_fraction = base;
    const float sigma = ctx.run.rupture_velocity_sigma;
    if (sigma > 0.0f) {
        // Log-normal perturbation of the rupture velocity, capped at 1.4 times the shear
        // velocity (also when the product is NaN).
        const float perturbed = base * std::exp(sigma * rng.normal());
        rupture_fraction = perturbed < max_rupture_fraction ? perturbed : max_rupture_fraction;
    }
    const float shear_velocity_km_s = static_cast<float>(ctx.vmod[layer].vsh_km_s);
    const float density_g_cm3 = static_cast<float>(ctx.vmod[layer].density_g_cm3);
    const float corner_frequency_hz = rupture_fraction * segment.angles.corner_coeff * shear_velocity_km_s /
                                      ctx.run.avg_subfault_km / pi_f;
    return SubfaultSource{
        .strength = segment.strengths[grid],
        .layer = layer,
        .geometry = geometry,
        .weight = weight,
        .rupture_time_s = segment.seg.subfaults[grid].rupture_time_s,
        .window_s = segment.windows.window_s[grid],
        .shear_velocity_km_s = shear_velocity_km_s,
        .density_g_cm3 = density_g_cm3,
        .corner_frequency_hz = corner_frequency_hz,
    };
}

std::int32_t SubfaultSource::earliest_start_sample(const RunScalars& run,
                                                   const std::vector<config::RayType>& rayset) const {
    // No ray arrives before the straight distance covered at the model's fastest shear speed.
    const float travel_time_s = geometry.slant_km / run.max_shear_velocity_km_s;
    const float window_start_s = run.window_peak_fraction * window_s;
    float bound_s = travel_time_s - window_start_s;
    const bool has_straight_ray = std::any_of(rayset.begin(), rayset.end(), [](config::RayType ray) {
        return ray.kind() == config::RayKind::StraightRay;
    });
    if (has_straight_ray)
        bound_s = std::fmin(bound_s, geometry.slant_km * straight_ray_window_fraction / straight_ray_speed_km_s);
    return checked_add(truncate_to_sample(rupture_time_s / run.dt), truncate_to_sample(bound_s / run.dt));
}

TracedRay trace_ray(state::RayState& state, const SubfaultSource& source, config::RayType ray_type,
                    const RunContext& ctx) {
    const geom::SubfaultRay& geometry = source.geometry;
    const config::RayKind kind = ray_type.kind();
    if (kind == config::RayKind::StraightRay) {
        return TracedRay{
            .path_length_km = geometry.slant_km,
            .qbar = geometry.slant_km / (source.shear_velocity_km_s * straight_ray_quality),
            .window_start_s = geometry.slant_km * straight_ray_window_fraction / straight_ray_speed_km_s,
            .takeoff_rad = geometry.takeoff_rad,
        };
    }
    const ray::GreenFunction green = ray::green_function(state, ctx.vmod, geometry.depth_km, geometry.horiz_km,
                                                         ray_type.code, state::WaveMode::Sh);
    const float x = green.rp0 * source.shear_velocity_km_s;  // sine of the incidence angle at the source
    const float incidence = x > 1.0f ? half_pi_f : std::asin(x);
    return TracedRay{
        .path_length_km = green.rpath,
        .qbar = green.qbar,
        .window_start_s = green.stime - ctx.run.window_peak_fraction * source.window_s,
        .takeoff_rad = kind == config::RayKind::Upgoing ? pi_f - incidence : incidence,
    };
}

Arrival arrival_time_and_angles(const TracedRay& ray, const SubfaultSource& source,
                                const SegmentAngles& segment, const RunScalars& run) {
    const std::int32_t start_sample = checked_add(truncate_to_sample(ray.window_start_s / run.dt),
                                                  truncate_to_sample(source.rupture_time_s / run.dt));
    return Arrival{start_sample,
                   radiation::RadiationAngles{segment.strike_rad, segment.dip_rad, segment.rake_rad,
                                              source.geometry.azimuth_rad, ray.takeoff_rad}};
}

std::optional<Placement> Placement::clip(std::int32_t start_sample, std::size_t np2, std::size_t ndata) {
    const std::int32_t first = std::max(start_sample, std::int32_t{1});
    const std::int32_t series_end = checked_sub(checked_add(start_sample, to_i32(np2)), 1);
    const std::int32_t last_sample = std::min(series_end, to_i32(ndata));
    if (last_sample < first) return std::nullopt;
    return Placement{checked_sub(first, start_sample), checked_sub(first, 1),
                     checked_add(checked_sub(last_sample, first), 1)};
}

void accumulate_subfault(std::span<float> acc, std::size_t ndata, std::span<const float> series,
                         std::size_t series_stride, MomentWeight weight, const Placement& at) {
    const std::size_t end = static_cast<std::size_t>(checked_add(at.offset, at.count));
    if (end > ndata || static_cast<std::size_t>(at.skip) + static_cast<std::size_t>(at.count) > series_stride)
        internal_stop("a placement reaches beyond the record or the series");
    const std::size_t count = static_cast<std::size_t>(at.count);
    for (std::size_t c = 0; c < 3; ++c) {
        float* out = acc.data() + c * ndata + static_cast<std::size_t>(at.offset);
        const float* in = series.data() + c * series_stride + static_cast<std::size_t>(at.skip);
        for (std::size_t k = 0; k < count; ++k) {
            const float contribution = weight.value * in[k];  // rounded to f32 before the sum
            out[k] = out[k] + contribution;
        }
    }
}

std::pair<Clipping, Census> subfault_pass(const rng::DrawSource& rng, stoc::PlanCache& plans,
                                          std::span<float> acc, const SegmentPass& segment,
                                          const RunContext& ctx) {
    const RunScalars& run = ctx.run;
    const std::size_t ndata = run.ndata;
    const std::int32_t ndata_i32 = to_i32(ndata);
    const stoc::SourceModel model{run.dt, run.window_peak_fraction, run.window_end_fraction, ctx.kappa_s};

    const stoc::SpectrumPlan& largest = plans.for_length(stoc::SpectrumPlan::length_for(segment.windows.tmax, run.dt));
    PassStorage storage(largest.np2, largest.fold_count, run.site_table_len);
    // The same test as the spectrum's: a kappa above 0 (not NaN) selects the kappa high cut.
    const bool fmax_shapes_spectrum = !(model.kappa_s > 0.0f);
    Clipping clipping;
    Census census;
    const std::size_t ray_count = ctx.rayset.size();
    const std::uint64_t segment_base = segment_seed(ctx.station_seed, segment.index);

    for (std::size_t i = 1; i <= segment.seg.along_strike_count; ++i) {
        for (std::size_t j = 1; j <= segment.seg.down_dip_count; ++j) {
            const std::size_t grid = segment.seg.grid_index(i, j);
            const std::uint64_t subfault_seed = mix64(segment_base ^ static_cast<std::uint64_t>(grid));
            rng::DrawSource subfault_rng = rng.respawn(subfault_seed);
            const std::optional<SubfaultSource> source = SubfaultSource::gather(subfault_rng, segment, i, j, ctx);
            if (!source) continue;

            const std::int32_t earliest = source->earliest_start_sample(run, ctx.rayset);
            if (earliest > ndata_i32) {
                // Every arrival of this subfault is later than the record.
                census.pairs_attempted = checked_add(census.pairs_attempted, ray_count);
                census.pairs_outside_record = checked_add(census.pairs_outside_record, ray_count);
                const Clipping late = Clipping::for_arrival(earliest, source->window_s, run);
                for (std::size_t r = 0; r < ray_count; ++r) clipping.merge(late);
                continue;
            }

            for (std::size_t ray_index = 0; ray_index < ray_count; ++ray_index) {
                rng::DrawSource ray_rng = rng.respawn(ray_stream_seed(subfault_seed, ray_index));
                const TracedRay ray = trace_ray(storage.ray_state, *source, ctx.rayset[ray_index], ctx);
                const Arrival arrival = arrival_time_and_angles(ray, *source, segment.angles, run);
                clipping.merge(Clipping::for_arrival(arrival.start_sample, source->window_s, run));
                census.pairs_attempted = checked_add(census.pairs_attempted, std::size_t{1});
                if (arrival.start_sample > ndata_i32) {
                    census.pairs_outside_record = checked_add(census.pairs_outside_record, std::size_t{1});
                    continue;
                }
                const stoc::SpectrumPlan& plan = plans.for_length(
                    stoc::SpectrumPlan::length_for_arrival(source->window_s, run.dt, arrival.start_sample, ndata));
                const std::size_t np2 = plan.np2;
                const std::size_t fold_count = plan.fold_count;
                const std::optional<Placement> placement = arrival.placement(np2, ndata);
                if (!placement) {
                    census.pairs_outside_record = checked_add(census.pairs_outside_record, std::size_t{1});
                    continue;
                }
                census.samples_computed = checked_add(census.samples_computed, np2);
                census.samples_accumulated =
                    checked_add(census.samples_accumulated, static_cast<std::size_t>(placement->count));

                // Stochastic spectra: the horizontals share one target shape; the vertical is
                // reshaped only when its capped cut-off differs and the cut-off shapes the
                // spectrum at all (with a kappa the high cut is exp(-pi kappa f) alone).
                float built_for = std::numeric_limits<float>::quiet_NaN();
                bool built = false;
                for (Component c : components) {
                    const float fmax = capped_fmax(c, run.fmax_hz);
                    if (!built || (fmax_shapes_spectrum && fmax != built_for)) {
                        const stoc::RayPath path{
                            .distance_km = ray.path_length_km,
                            .window_s = source->window_s,
                            .shear_velocity_km_s = source->shear_velocity_km_s,
                            .density_g_cm3 = source->density_g_cm3,
                            .corner_frequency_hz = source->corner_frequency_hz,
                            .subevent_moment = source->strength.subevent_moment,
                            .moment_scale = source->strength.moment_scale,
                            .fmax_hz = fmax,
                            .qbar = ray.qbar,
                        };
                        storage.shape.refresh(plan, model, path);
                        built_for = fmax;
                        built = true;
                    }
                    stoc::stochastic_spectrum(ray_rng, plan, storage.shape, storage.spectrum_row(c, np2));
                }

                // Quarter-wavelength site amplification from the subfault's layer to the surface.
                if (source->layer != storage.factors_layer) {
                    site::site_amplification_factors(ctx.vmod, source->layer, ctx.siteamp_log_freq,
                                                     storage.siteamp_factors);
                    storage.factors_layer = source->layer;
                }
                const std::span<float> gain = std::span(storage.site_gain).first(fold_count);
                if (source->layer != storage.gain_layer || np2 != storage.gain_np2) {
                    site::site_gain_curve(plan.log_frequency_hz, ctx.siteamp_log_freq, storage.siteamp_factors,
                                          gain);
                    storage.gain_layer = source->layer;
                    storage.gain_np2 = np2;
                }
                for (Component c : components) site::apply_site_amplification(storage.spectrum_row(c, np2), gain);

                // Radiation pattern and inversion to acceleration, component by component.
                const std::span<float> radiation = std::span(storage.radiation).first(fold_count);
                for (Component c : components) {
                    std::visit(
                        [&](const auto& mode) {
                            using Mode = std::decay_t<decltype(mode)>;
                            if constexpr (std::is_same_v<Mode, HorizontalRadiation>) {
                                radiation::horizontal_radiation_spectrum(ray_rng, arrival.angles, plan.frequency_hz,
                                                                         mode.azimuth_offset_deg,
                                                                         run.conical_sample_count, radiation);
                            } else {
                                radiation::vertical_radiation_spectrum(
                                    arrival.angles, plan.frequency_hz, ctx.deviates.radv_uniform_a,
                                    ctx.deviates.radv_uniform_b, run.conical_sample_count, radiation);
                            }
                        },
                        radiation_mode(c));
                    stoc::radiate_and_invert(storage.spectrum_row(c, np2), radiation, storage.series_row(c, np2));
                }

                accumulate_subfault(acc, ndata, storage.subfault_acc, storage.np2_max, source->weight, *placement);
            }
        }
    }
    return {clipping, census};
}

}  // namespace quillon::sim
