#include "quillon/sim.hpp"

#include <cmath>
#include <limits>

#include "quillon/internal_error.hpp"
#include "quillon/number_format.hpp"

namespace quillon::sim {
namespace {

constexpr float deg_to_rad = 0.017453292f;  // pi/180 in f32

// Depth of the shallowest rupture-velocity ramp, and where the deep ramp starts at the least.
constexpr float shallow_top_km = 5.0f;
constexpr float shallow_base_km = 8.0f;
constexpr float deep_top_min_km = 15.0f;
constexpr float deep_ramp_km = 5.0f;

// Weights at or below this are subfaults that do not radiate (zero slip, for instance).
constexpr float active_weight = 0.001f;

std::optional<InconsistentSegments> check_segments_alike(const input::StochModel& slip) {
    const input::Segment& reference = slip.segments.front();
    for (std::size_t k = 1; k < slip.segments.size(); ++k) {
        const input::Segment& segment = slip.segments[k];
        // Exact equality; a NaN on either side is unequal.
        if (!(segment.subfault_length_km == reference.subfault_length_km))
            return InconsistentSegments{k, "subfault_length_km", segment.subfault_length_km,
                                        reference.subfault_length_km};
        if (!(segment.subfault_width_km == reference.subfault_width_km))
            return InconsistentSegments{k, "subfault_width_km", segment.subfault_width_km,
                                        reference.subfault_width_km};
    }
    return std::nullopt;
}

config::RuptureVelocityTaper rupture_taper(const config::RuptureVelocity& rupture_velocity,
                                           float max_hypocentre_depth_km) {
    // The deep ramp starts at the deepest hypocentre, never shallower than 15 km (NaN gives 15).
    const float deep_top_km =
        max_hypocentre_depth_km > deep_top_min_km ? max_hypocentre_depth_km : deep_top_min_km;
    return config::RuptureVelocityTaper{rupture_velocity.frac, rupture_velocity.shallow,
                                        rupture_velocity.deep,  shallow_top_km,
                                        shallow_base_km,        deep_top_km,
                                        deep_top_km + deep_ramp_km};
}

// Index of the first layer whose base is not above the depth; the last layer if none.
std::size_t layer_containing(const std::vector<input::InputLayer>& layers, float depth_km) {
    for (std::size_t k = 0; k < layers.size(); ++k)
        if (layers[k].depth_km >= depth_km) return k;  // a NaN depth matches nothing
    return layers.size() - 1;
}

}  // namespace

std::string display(const SimError& error) {
    if (const auto* e = std::get_if<InconsistentSegments>(&error)) {
        return "segment " + std::to_string(e->segment) + " has " + e->dimension + " = " +
               format_number(e->found) + " km, but segment 0 has " + format_number(e->expected) +
               " km; every segment must be diced the same way because the subfault size is one "
               "quantity for the whole run";
    }
    if (const auto* e = std::get_if<RecordTooLong>(&error)) {
        return "duration_s / dt gives " + std::to_string(e->samples) +
               " samples; a record holds at most 2147483647";
    }
    return "the slip model has no active subfault: every moment weight is at most 0.001, so every "
           "record would be NaN";
}

float alpha_t(float dip_deg, float rake_deg, float calpha) {
    float dip_factor = 0.0f;  // also for a NaN dip
    if (45.0f <= dip_deg && dip_deg <= 90.0f) {
        dip_factor = 1.0f - (dip_deg - 45.0f) / 45.0f;
    } else if (0.0f <= dip_deg && dip_deg <= 45.0f) {
        dip_factor = 1.0f;
    }
    float r = std::fmod(rake_deg, 360.0f);
    if (r < 0.0f) r += 360.0f;
    const float folded = r > 180.0f ? r - 360.0f : r;  // in (-180, 180]
    float rake_factor = 0.0f;
    if (0.0f <= folded && folded <= 180.0f) rake_factor = 1.0f - std::fabs(folded - 90.0f) / 90.0f;
    return 1.0f / (1.0f + dip_factor * rake_factor * calpha);
}

SegmentAngles SegmentAngles::for_segment(const input::Segment& segment, float czero, float calpha) {
    return SegmentAngles{segment.strike_deg * deg_to_rad, segment.dip_deg * deg_to_rad,
                         segment.rake_deg * deg_to_rad,
                         czero / alpha_t(segment.dip_deg, segment.rake_deg, calpha)};
}

SourceStrength SourceStrength::create(float stress_drop_bars, float avg_subfault_km,
                                      float total_moment_dyn_cm, std::size_t subfault_count) {
    // Bars (1e6 dyne/cm^2) times km^3 (1e15 cm^3) gives dyne.cm with the factor 1e21.
    const float subevent_moment =
        stress_drop_bars * avg_subfault_km * avg_subfault_km * avg_subfault_km * 1e21f;
    const float moment_scale =
        total_moment_dyn_cm / (std::sqrt(static_cast<float>(subfault_count)) * subevent_moment);
    return SourceStrength{subevent_moment, moment_scale};
}

std::size_t record_samples(float duration_s, float dt_s) {
    const float samples = std::trunc(duration_s / dt_s);
    if (!(samples > 0.0f)) return 0;  // negative, zero or NaN
    if (samples >= 18446744073709551616.0f) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(samples);
}

std::pair<std::vector<std::vector<MomentWeight>>, SourceScale> normalise_source(
    const input::StochModel& stoch, const std::vector<input::InputLayer>& vmod_in) {
    float side_sum_km = -0.0f;
    for (const input::Segment& segment : stoch.segments)
        side_sum_km += std::sqrt(segment.subfault_length_km * segment.subfault_width_km);
    const float avg_subfault_km = side_sum_km / static_cast<float>(stoch.segments.size());

    std::vector<std::vector<MomentWeight>> weights;
    weights.reserve(stoch.segments.size());
    float relative_moment_sum = 0.0f;
    for (const input::Segment& segment : stoch.segments) {
        const float row_depth_step_km = std::sin(segment.dip_deg * deg_to_rad) * segment.subfault_width_km;
        const double length_km = segment.subfault_length_km;
        const double width_km = segment.subfault_width_km;
        std::vector<MomentWeight>& segment_weights = weights.emplace_back();
        segment_weights.reserve(segment.subfaults.size());
        for (std::size_t r = 0; r < segment.down_dip_count; ++r) {
            const float row_depth_km =
                (static_cast<float>(r) + 0.5f) * row_depth_step_km + segment.top_depth_km;
            const input::InputLayer& layer = vmod_in[layer_containing(vmod_in, row_depth_km)];
            // Rigidity (g/cm^3 * (km/s)^2) times area (km^2); 1e20 later turns it into dyne/cm.
            const float rigidity_area = static_cast<float>(
                layer.vsh_km_s * layer.vsh_km_s * layer.density_g_cm3 * length_km * width_km);
            for (std::size_t c = 0; c < segment.along_strike_count; ++c) {
                const float weight =
                    segment.subfaults[r * segment.along_strike_count + c].slip.cm * rigidity_area;
                segment_weights.push_back(MomentWeight{weight});
                relative_moment_sum += weight;
            }
        }
    }
    const float total_moment_dyn_cm = relative_moment_sum * 1e20f;

    float weight_sum = 0.0f;
    std::size_t subfault_count = 0;
    for (const auto& segment_weights : weights)
        for (const MomentWeight& weight : segment_weights)
            if (weight.value > active_weight) {
                weight_sum += weight.value;
                ++subfault_count;
            }
    const float scale = static_cast<float>(subfault_count) / weight_sum;
    for (auto& segment_weights : weights)
        for (MomentWeight& weight : segment_weights) weight.value *= scale;

    return {std::move(weights), SourceScale{avg_subfault_km, total_moment_dyn_cm, subfault_count}};
}

std::variant<Simulator, SimError> Simulator::create(const config::HfConfig& config,
                                                    const input::StochModel& slip,
                                                    const std::vector<input::InputLayer>& vmod_in) {
    if (slip.segments.empty()) internal_stop("a simulator needs at least one segment");
    if (vmod_in.empty()) internal_stop("a simulator needs at least one layer");
    for (const input::Segment& segment : slip.segments)
        if (segment.along_strike_count == 0 || segment.down_dip_count == 0 || !segment.grid_is_full())
            input::stop_for_grid_size(segment.subfaults.size(), segment.along_strike_count,
                                      segment.down_dip_count);

    if (auto inconsistent = check_segments_alike(slip)) return SimError{*inconsistent};

    Simulator sim;
    for (std::size_t k = 0; k < site_table_frequencies_hz.size(); ++k)
        sim.siteamp_log_freq[k] = std::log(site_table_frequencies_hz[k]);
    sim.slip = slip;
    sim.path_duration = path_duration_table(config.path.path_duration);

    std::vector<input::InputLayer> layers = vmod_in;
    input::insert_air_layer(layers);
    sim.rupture = rupture_taper(config.source.rupture_velocity, slip.max_hypocentre_depth_km);

    auto [weights, scale] = normalise_source(sim.slip, layers);
    // With no active subfault every weight would be 0/0: refuse rather than return NaN records.
    if (scale.subfault_count == 0) return SimError{NoActiveSubfault{}};
    const std::size_t ndata = record_samples(config.record.duration_s, config.record.dt_s);
    if (ndata > max_record_samples) return SimError{RecordTooLong{ndata}};
    sim.weights = std::move(weights);

    sim.strengths.reserve(sim.slip.segments.size());
    for (const input::Segment& segment : sim.slip.segments) {
        auto& segment_strengths = sim.strengths.emplace_back();
        segment_strengths.reserve(segment.subfaults.size());
        for (const input::Subfault& subfault : segment.subfaults)
            segment_strengths.push_back(SourceStrength::create(subfault.stress_drop_bars, scale.avg_subfault_km,
                                                               scale.total_moment_dyn_cm, scale.subfault_count));
    }

    sim.vmod.reserve(layers.size());
    float max_shear_velocity_km_s = -3.4028235e38f;
    for (const input::InputLayer& layer : layers) {
        sim.vmod.push_back(input::to_layer(layer));
        const float shear_velocity_km_s = static_cast<float>(layer.vsh_km_s);
        if (shear_velocity_km_s > max_shear_velocity_km_s)  // a NaN velocity is skipped
            max_shear_velocity_km_s = shear_velocity_km_s;
    }

    sim.angles.reserve(sim.slip.segments.size());
    for (const input::Segment& segment : sim.slip.segments)
        sim.angles.push_back(
            SegmentAngles::for_segment(segment, config.source.czero, config.source.calpha));

    sim.rayset = config.path.rayset;
    sim.run = RunScalars{
        .conical_sample_count = 1000,
        .site_table_len = 20,
        .ndata = ndata,
        .dt = config.record.dt_s,
        .fmax_hz = config.site.f_max_hz,
        .window_peak_fraction = 0.2f,
        .window_end_fraction = 0.05f,
        .rupture_velocity_sigma = config.source.rupture_velocity.rv_sig1,
        .avg_subfault_km = scale.avg_subfault_km,
        .max_shear_velocity_km_s = max_shear_velocity_km_s,
    };
    return sim;
}

}  // namespace quillon::sim
