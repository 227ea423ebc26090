#include "quillon/input.hpp"

#include <cmath>

#include "quillon/internal_error.hpp"
#include "quillon/number_format.hpp"

namespace quillon::input {

// ---------------------------------------------------------------- slip model

std::size_t Segment::grid_index(std::size_t i, std::size_t j) const {
    if (i < 1 || i > along_strike_count || j < 1 || j > down_dip_count) {
        internal_stop("subfault (" + std::to_string(i) + "," + std::to_string(j) + ") is outside the " +
                      std::to_string(along_strike_count) + "x" + std::to_string(down_dip_count) + " grid");
    }
    return (j - 1) * along_strike_count + (i - 1);
}

std::vector<std::pair<std::size_t, std::size_t>> Segment::depth_major() const {
    std::vector<std::pair<std::size_t, std::size_t>> order;
    order.reserve(subfaults.size());
    for (std::size_t j = 1; j <= down_dip_count; ++j)
        for (std::size_t i = 1; i <= along_strike_count; ++i) order.emplace_back(i, j);
    return order;
}

std::vector<std::pair<std::size_t, std::size_t>> Segment::strike_major() const {
    std::vector<std::pair<std::size_t, std::size_t>> order;
    order.reserve(subfaults.size());
    for (std::size_t i = 1; i <= along_strike_count; ++i)
        for (std::size_t j = 1; j <= down_dip_count; ++j) order.emplace_back(i, j);
    return order;
}

namespace {

bool holds_full_grid(std::size_t entries, std::size_t along_strike_count, std::size_t down_dip_count) {
    std::size_t cells;
    return !__builtin_mul_overflow(along_strike_count, down_dip_count, &cells) && entries == cells;
}

}  // namespace

void stop_for_grid_size(std::size_t entries, std::size_t along_strike_count, std::size_t down_dip_count) {
    internal_stop("subfault grid holds " + std::to_string(entries) + " entries, expected " +
                  std::to_string(along_strike_count) + "x" + std::to_string(down_dip_count));
}

bool Segment::grid_is_full() const {
    return holds_full_grid(subfaults.size(), along_strike_count, down_dip_count);
}

Segment SegmentBuilder::build() && {
    if (!holds_full_grid(subfaults.size(), along_strike_count, down_dip_count))
        stop_for_grid_size(subfaults.size(), along_strike_count, down_dip_count);
    Segment segment{};
    segment.fault_lon_deg = fault_lon_deg;
    segment.fault_lat_deg = fault_lat_deg;
    segment.along_strike_count = along_strike_count;
    segment.down_dip_count = down_dip_count;
    segment.subfault_length_km = subfault_length_km;
    segment.subfault_width_km = subfault_width_km;
    segment.strike_deg = strike_deg;
    segment.dip_deg = dip_deg;
    segment.rake_deg = rake_deg;
    segment.top_depth_km = top_depth_km;
    segment.hypocentre_along_strike_km = hypocentre_along_strike_km;
    segment.hypocentre_down_dip_km = hypocentre_down_dip_km;
    // The segment's reference point sits at the middle of its top edge.
    segment.along_strike_offset_km = (static_cast<float>(along_strike_count) * 0.5f) * subfault_length_km;
    segment.subfaults = std::move(subfaults);
    return segment;
}

StochModel StochModel::create(std::vector<Segment> segments) {
    constexpr float deg_to_rad = 0.017453292f;
    StochModel model;
    for (const Segment& s : segments) {
        model.subfault_count =
            checked_add(model.subfault_count, checked_mul(s.along_strike_count, s.down_dip_count));
        model.fault_area_km2 += ((static_cast<float>(s.along_strike_count) * s.subfault_length_km) *
                                 static_cast<float>(s.down_dip_count)) *
                                s.subfault_width_km;
        const float hypocentre_depth_km =
            std::sin(s.dip_deg * deg_to_rad) * s.hypocentre_down_dip_km + s.top_depth_km;
        if (hypocentre_depth_km > model.max_hypocentre_depth_km)  // a NaN depth changes nothing
            model.max_hypocentre_depth_km = hypocentre_depth_km;
    }
    model.segments = std::move(segments);
    return model;
}

// ---------------------------------------------------------------- velocity model

Layer to_layer(const InputLayer& layer) {
    return Layer{static_cast<double>(layer.depth_km), static_cast<double>(layer.thickness_km),
                 layer.vp_km_s, layer.vsh_km_s, layer.density_g_cm3,
                 layer.attenuation_p, layer.attenuation_s};
}

std::string display(const ModelError& error) {
    if (const auto* moho = std::get_if<MohoAtFirstLayer>(&error)) {
        return "the first layer already reaches vs_moho = " + format_number(moho->vs_moho_km_s) +
               " km/s, so there is no model above the Moho to simulate";
    }
    return "velocity model has no layers";
}

std::variant<std::vector<InputLayer>, ModelError> build_velocity_model(
    const std::vector<InputLayer>& layers, double vs_moho_km_s) {
    // Compared in f64; a NaN on either side never reaches the Moho.
    auto reaches_moho = [vs_moho_km_s](const InputLayer& layer) { return layer.vsh_km_s >= vs_moho_km_s; };
    if (layers.empty()) return ModelError{NoLayers{}};
    if (reaches_moho(layers[0])) return ModelError{MohoAtFirstLayer{vs_moho_km_s}};

    std::vector<InputLayer> result;
    result.reserve(layers.size());
    InputLayer top = layers[0];
    top.depth_km = top.thickness_km;
    result.push_back(top);
    for (std::size_t i = 1; i < layers.size(); ++i) {
        InputLayer layer = layers[i];
        if (reaches_moho(layer)) {
            // The first layer at least as fast as the Moho threshold becomes the half-space.
            layer.thickness_km = 0.0f;
            layer.depth_km = result.back().depth_km;
            result.push_back(layer);
            return result;
        }
        layer.depth_km = result.back().depth_km + layer.thickness_km;
        result.push_back(layer);
    }
    result.back().thickness_km = 0.0f;  // no layer reached the threshold: the deepest is the half-space
    return result;
}

void insert_air_layer(std::vector<InputLayer>& layers) {
    if (layers.empty()) internal_stop("insert_air_layer needs at least one layer");
    const InputLayer& top = layers.front();
    // A top layer at most 1 m thick or with a P velocity of at most 0.01 km/s is air already.
    if (top.depth_km > 0.001f && top.vp_km_s > 0.01) {
        InputLayer air{};
        air.vp_km_s = static_cast<double>(0.001f);
        air.vsh_km_s = static_cast<double>(0.0005f);
        air.density_g_cm3 = static_cast<double>(0.001f);
        air.depth_km = 0.0001f;
        air.thickness_km = 0.0001f;
        air.attenuation_p = top.attenuation_p;
        air.attenuation_s = top.attenuation_s;
        layers.insert(layers.begin(), air);
    }
}

}  // namespace quillon::input
