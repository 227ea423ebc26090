#include "quillon/ray.hpp"

#include <cmath>
#include <numbers>
#include <string>
#include <variant>

#include "quillon/internal_error.hpp"

namespace quillon::ray {

using state::Direction;
using state::RayState;
using state::WaveMode;

// ---------------------------------------------------------------- source placement

std::optional<PlacedSource> source_layer(Model vmod, double depth_km) {
    double d = depth_km;
    double interface_km = 0.0;
    for (std::size_t k = 0; k < vmod.size(); ++k) {
        interface_km += vmod[k].thickness_km;  // bottom face of layer k
        // On the face or just below it: move into the layer below.
        if (interface_km <= d && d - interface_km < interface_margin_km) d = interface_km + interface_margin_km;
        if (interface_km > d) {
            // Just above the face: move up into the layer.
            if (interface_km - d < interface_margin_km) d = interface_km - interface_margin_km;
            return PlacedSource{k, d};
        }
    }
    return std::nullopt;
}

DeepestLayer deepest_layer_with_thickness(Model vmod) {
    DeepestLayer result{0, 0.0};
    for (std::size_t k = 0; k < vmod.size(); ++k) {
        if (vmod[k].thickness_km > 0.0) {
            result.deepest = k;
            result.base_km += vmod[k].thickness_km;
        }
    }
    return result;
}

PlacedSource place_source(Model vmod, double depth_km) {
    if (auto placed = source_layer(vmod, depth_km)) return *placed;
    // Below the Moho: keep the source just above the base of the deepest finite layer.
    const DeepestLayer deepest = deepest_layer_with_thickness(vmod);
    return PlacedSource{deepest.deepest, deepest.base_km - interface_margin_km};
}

// ---------------------------------------------------------------- layer sequence

RayPath RayPath::create(state::Rays& rays, WaveMode mode) {
    rays.layer_indices.clear();
    rays.wave_modes.clear();
    return RayPath{rays, mode};
}

void RayPath::push(std::size_t layer) {
    rays.layer_indices.push_back(layer);
    rays.wave_modes.push_back(mode);
}

void RayPath::ascend_to(std::size_t from, std::size_t receiver) {
    if (from < receiver) return;
    for (std::size_t layer = from;; --layer) {
        push(layer);
        if (layer == receiver) break;
    }
}

std::size_t RayPath::descend_to_moho(Model vmod, std::size_t from, std::size_t bottom_layer) {
    // A one-layer model has no layer above the half-space to descend through.
    if (bottom_layer == 0 || from > bottom_layer - 1) return from;
    if (bottom_layer >= vmod.size()) {
        internal_stop("descend_to_moho: bottom layer " + std::to_string(bottom_layer) +
                      " is outside the model of " + std::to_string(vmod.size()) + " layers");
    }
    const std::size_t last = bottom_layer - 1;
    for (std::size_t layer = from; layer <= last; ++layer) {
        push(layer);
        // The leg reflects at the bottom of this layer when a zero-thickness layer (the
        // half-space, or a degenerate layer inside the stack) lies below it.
        if (vmod[layer + 1].thickness_km == 0.0) return layer;
    }
    return bottom_layer;
}

void RayPath::moho_multiple(Model vmod, std::size_t receiver, std::size_t bottom_layer) {
    const std::size_t kbot = descend_to_moho(vmod, receiver, bottom_layer);
    ascend_to(kbot, receiver);
}

void append_legs(RayPath& path, Model vmod, const state::RayShape& shape, std::size_t source_layer) {
    const std::size_t bottom_layer = vmod.empty() ? 0 : vmod.size() - 1;
    const std::size_t krec = receiver_layer_index;
    std::int32_t multiples = 0;
    if (const auto* up = std::get_if<state::Upgoing>(&shape)) {
        path.ascend_to(source_layer, krec);
        multiples = up->multiples;
    } else {
        const auto& down = std::get<state::DownToMoho>(shape);
        const std::size_t kbot = path.descend_to_moho(vmod, source_layer, bottom_layer);
        path.ascend_to(kbot, krec);
        multiples = down.multiples;
    }
    for (std::int32_t m = 0; m < multiples; ++m) path.moho_multiple(vmod, krec, bottom_layer);
}

// ---------------------------------------------------------------- traversal counts

void build_ray_path(RayState& state, Model vmod, double source_depth_km, double receiver_depth_km) {
    const auto& layers = state.rays.layer_indices;
    const auto& modes = state.rays.wave_modes;
    const std::size_t n = state.rays.segment_count();
    if (n == 0) internal_stop("build_ray_path needs at least one ray segment");
    if (modes.size() != n) {
        internal_stop("build_ray_path: " + std::to_string(n) + " ray segments but " +
                      std::to_string(modes.size()) + " wave modes");
    }

    state.travel.reset_for(vmod.size());
    state.coefficients.reset_for(n);
    auto& p_count = state.travel.p_traversals;
    auto& s_count = state.travel.s_traversals;

    const std::size_t src = layers.front();
    const std::size_t rec = layers.back();
    std::size_t deepest = 0;
    std::int32_t before = 0;  // legs in the source layer, the first included
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t layer = layers[i];
        if (layer >= vmod.size()) {
            internal_stop("ray segment " + std::to_string(i) + " is in layer " + std::to_string(layer) +
                          ", outside the model of " + std::to_string(vmod.size()) + " layers");
        }
        if (modes[i] == WaveMode::P) {
            p_count[layer] += 1.0f;
        } else {
            s_count[layer] += 1.0f;
        }
        if (layer == src) before = checked_add(before, std::int32_t{1});
        if (layer > deepest) deepest = layer;
    }

    // Take-off direction from how often the ray returns to its source layer.
    Direction nup = state::from_parity(checked_add(before, std::int32_t{1}));
    if (rec > src) nup = state::flipped(nup);
    if (n == 1) nup = receiver_depth_km < source_depth_km ? nup : Direction::Down;

    // Every reflection (the same layer twice in a row) turns the ray round.
    auto& directions = state.coefficients.directions;
    directions[0] = nup;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        directions[i + 1] = layers[i + 1] == layers[i] ? state::flipped(directions[i]) : directions[i];
    }

    // The ray never sees the part of the receiver layer beyond the receiver, nor the part of the
    // source layer behind the source.
    const state::LayerFractions at_receiver = layer_fractions(vmod, rec, receiver_depth_km);
    trim_traversal(state, rec, n - 1,
                   directions[n - 1] == Direction::Up ? at_receiver.above : at_receiver.below);
    const state::LayerFractions at_source = layer_fractions(vmod, src, source_depth_km);
    trim_traversal(state, src, 0, nup == Direction::Up ? at_source.below : at_source.above);

    state.travel.deepest_layer = deepest;
}

state::LayerFractions layer_fractions(Model vmod, std::size_t layer, double depth_km) {
    if (layer >= vmod.size()) {
        internal_stop("layer_fractions: layer " + std::to_string(layer) + " is outside the model of " +
                      std::to_string(vmod.size()) + " layers");
    }
    double top_km = 0.0;
    for (std::size_t k = 0; k < layer; ++k) top_km += vmod[k].thickness_km;
    const double h = vmod[layer].thickness_km;
    const double above_km = depth_km - top_km;
    return state::LayerFractions{above_km / h, (h - above_km) / h, above_km};
}

void trim_traversal(RayState& state, std::size_t layer, std::size_t segment, double fraction) {
    auto& counts = state.rays.wave_modes.at(segment) == WaveMode::P ? state.travel.p_traversals
                                                                     : state.travel.s_traversals;
    float& count = counts.at(layer);
    count = static_cast<float>(static_cast<double>(count) - fraction);
}

TraversedLayers traversed_layers(const RayState& state, Model vmod) {
    const std::size_t deepest = state.travel.deepest_layer;
    const auto& p = state.travel.p_traversals;
    const auto& s = state.travel.s_traversals;
    if (deepest >= vmod.size() || deepest >= p.size() || deepest >= s.size()) {
        internal_stop("traversed_layers: deepest layer " + std::to_string(deepest) + " is beyond the model (" +
                      std::to_string(vmod.size()) + " layers) or the traversal counts (" +
                      std::to_string(p.size()) + " P, " + std::to_string(s.size()) + " shear)");
    }
    return TraversedLayers(vmod.data(), p.data(), s.data(), deepest + 1);
}

// ---------------------------------------------------------------- travel time

Complex vertical_slowness(Complex ray_parameter, double velocity_km_s) {
    const double pr = ray_parameter.real();
    const double pi = ray_parameter.imag();
    const double v = velocity_km_s;
    const double a = 1.0 / (v * v) - pr * pr + pi * pi;
    const double b = -2.0 * pi * pr;

    double phi;
    if (std::fabs(pi) < 1e-8) {
        phi = a < 0.0 ? std::numbers::pi / 2.0 : 0.0;
    } else {
        phi = 0.5 * std::atan2(b, a);
    }
    // The propagating branch (phi = 0) is the common case and needs no sine or cosine.
    double u = 1.0;
    double w = 0.0;
    if (phi != 0.0) {
        u = std::cos(phi);
        w = std::sin(phi);
    }
    if (u <= 0.0 || w > 1e-8) {
        u = -u;
        w = -w;
    }
    const double d = std::sqrt(std::sqrt(a * a + b * b));
    return Complex(d * u, d * w);
}

Complex cagniard_time(const RayState& state, Model vmod, Complex ray_parameter, double range_km) {
    Complex sum(0.0, 0.0);
    for (const state::TraversedLayer t : traversed_layers(state, vmod)) {
        const bool has_p = t.p > 0.0f;
        const bool has_s = t.s > 0.0f;
        if (!has_p && !has_s) continue;
        Complex slowness(0.0, 0.0);
        if (has_p && has_s) {
            slowness = static_cast<double>(t.p) * vertical_slowness(ray_parameter, t.layer.vp_km_s) +
                       static_cast<double>(t.s) * vertical_slowness(ray_parameter, t.layer.vsh_km_s);
        } else if (has_p) {
            slowness = static_cast<double>(t.p) * vertical_slowness(ray_parameter, t.layer.vp_km_s);
        } else {
            slowness = static_cast<double>(t.s) * vertical_slowness(ray_parameter, t.layer.vsh_km_s);
        }
        sum += t.layer.thickness_km * slowness;
    }
    return ray_parameter * range_km + sum;
}

namespace {

// w / eta, formed as w conj(eta) / |eta|^2.
Complex scaled_reciprocal(double w, Complex eta) {
    const double er = eta.real();
    const double ei = eta.imag();
    const double norm = er * er + ei * ei;
    return Complex((w * er) / norm, (w * -ei) / norm);
}

}  // namespace

Complex cagniard_time_derivative(const RayState& state, Model vmod, Complex ray_parameter, double range_km) {
    Complex sum(0.0, 0.0);
    for (const state::TraversedLayer t : traversed_layers(state, vmod)) {
        // Unlike the travel time, a negative (over-trimmed) count still contributes here.
        const bool has_p = t.p != 0.0f;
        const bool has_s = t.s != 0.0f;
        if (!has_p && !has_s) continue;
        const double h = t.layer.thickness_km;
        Complex term(0.0, 0.0);
        if (has_p && has_s) {
            term = scaled_reciprocal(static_cast<double>(t.p) * h, vertical_slowness(ray_parameter, t.layer.vp_km_s)) +
                   scaled_reciprocal(static_cast<double>(t.s) * h, vertical_slowness(ray_parameter, t.layer.vsh_km_s));
        } else if (has_p) {
            term = scaled_reciprocal(static_cast<double>(t.p) * h, vertical_slowness(ray_parameter, t.layer.vp_km_s));
        } else {
            term = scaled_reciprocal(static_cast<double>(t.s) * h, vertical_slowness(ray_parameter, t.layer.vsh_km_s));
        }
        sum += term;
    }
    return Complex(range_km, 0.0) - ray_parameter * sum;
}

StationaryRay stationary_ray_parameter(const RayState& state, Model vmod, double range_km) {
    double fastest = 0.0;
    for (const state::TraversedLayer t : traversed_layers(state, vmod)) {
        // Comparisons that a NaN speed never wins.
        if (t.p > 0.0f && t.layer.vp_km_s > fastest) fastest = t.layer.vp_km_s;
        if (t.s > 0.0f && t.layer.vsh_km_s > fastest) fastest = t.layer.vsh_km_s;
    }
    const double ptest = 1.0 / fastest - 1e-9;
    auto slope = [&](double p) { return cagniard_time_derivative(state, vmod, Complex(p, 0.0), range_km).real(); };

    double p0 = ptest;
    double d = slope(ptest);
    if (d < 0.0) {
        // dT/dp > 0 at p = 0 and < 0 at ptest: bisect on the sign.
        double pp = 0.0;
        double pn = ptest;
        p0 = 0.5 * pn;
        d = slope(p0);
        for (std::int32_t k = 1; k < 40; ++k) {
            if (std::fabs(d) <= 0.01) break;
            if (d > 0.0) {
                pp = p0;
            } else {
                pn = p0;
            }
            p0 = (pn + pp) * 0.5;
            d = slope(p0);
        }
    }
    // Otherwise the range is beyond what a ray slower than the fastest layer can reach: the ray
    // grazes that layer.
    const double travel_time_s = cagniard_time(state, vmod, Complex(p0, 0.0), range_km).real();
    return StationaryRay{p0, travel_time_s};
}

Spreading geometric_spreading(const RayState& state, Model vmod, double source_depth_km, double ray_parameter,
                              state::Takeoff takeoff) {
    const auto& layers = state.rays.layer_indices;
    if (layers.empty()) internal_stop("geometric_spreading needs at least one ray segment");
    const std::size_t nh1 = layers.front();
    // The first leg is measured from the top of the source layer without the top layer (the
    // receiver sits at its base), so a source in layer 0 has no top to measure from.
    if (nh1 == 0) {
        internal_stop("geometric_spreading needs the source below layer 0; a source in layer 0 "
                      "leaves the layer range 1 ... -1 of its first leg undefined");
    }
    for (const std::size_t k : layers) {
        if (k >= vmod.size()) {
            internal_stop("geometric_spreading: ray segment in layer " + std::to_string(k) +
                          " is outside the model of " + std::to_string(vmod.size()) + " layers");
        }
    }

    double top_km = 0.0;
    for (std::size_t k = 1; k < nh1; ++k) top_km += vmod[k].thickness_km;
    const double th1 = takeoff == state::Takeoff::Up ? source_depth_km - top_km
                                                     : top_km + vmod[nh1].thickness_km - source_depth_km;

    // Legs steeper than grazing keep a finite secant.
    const double max_sine = static_cast<double>(0.999999f);
    auto secant = [&](double v) {
        const double incidence_sine = ray_parameter * v;
        const double sini = incidence_sine >= 1.0 ? max_sine : incidence_sine;
        return 1.0 / std::sqrt(1.0 - sini * sini);
    };

    const input::Layer& first = vmod[nh1];
    const double first_length = th1 * secant(first.vsh_km_s);
    double rsum = first_length;
    float qb = static_cast<float>(first_length / first.vsh_km_s / static_cast<double>(first.attenuation_s));
    for (std::size_t i = 1; i < layers.size(); ++i) {
        const input::Layer& layer = vmod[layers[i]];
        const double length = secant(layer.vsh_km_s) * layer.thickness_km;
        rsum += length;
        qb = static_cast<float>(length / layer.vsh_km_s / static_cast<double>(layer.attenuation_s) +
                                static_cast<double>(qb));
    }
    if (rsum == 0.0) rsum = static_cast<double>(0.001f);
    return Spreading{rsum, qb};
}

// ---------------------------------------------------------------- one ray

GreenFunction green_function(RayState& state, Model vmod, float src_depth, float range, std::int32_t ray_type,
                             WaveMode wave_mode) {
    if (vmod.empty()) internal_stop("green_function needs a velocity model with at least one layer");
    const double hr = vmod[0].thickness_km;  // the receiver, on the top face of layer 1
    const PlacedSource source = place_source(vmod, static_cast<double>(src_depth));

    RayPath path = RayPath::create(state.rays, wave_mode);
    const state::RayShape shape = state::ray_shape_from_ray_type(ray_type);
    append_legs(path, vmod, shape, source.layer);
    build_ray_path(state, vmod, source.depth_km, hr);

    const StationaryRay stationary = stationary_ray_parameter(state, vmod, static_cast<double>(range));
    const Spreading spreading = geometric_spreading(state, vmod, source.depth_km, stationary.ray_parameter,
                                                    state::takeoff_from_ray_type(ray_type));
    return GreenFunction{static_cast<float>(stationary.ray_parameter), static_cast<float>(stationary.travel_time_s),
                         static_cast<float>(spreading.path_length_km), spreading.qbar};
}

}  // namespace quillon::ray
