// Ray theory in a stack of horizontal layers over a half-space: the layer sequence of a ray
// type, per-layer traversal counts, the Cagniard travel time and its stationary ray
// parameter, and the path length and attenuation of the ray.
//
// The model is the engine's layer list with the air layer on top: layer 0 is the top layer,
// the last layer is the zero-thickness half-space below the Moho. Depths here are measured
// from the top of layer 0 as sums of thickness_km. The receiver sits on the top face of
// layer 1.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "quillon/input.hpp"
#include "quillon/state.hpp"

namespace quillon::ray {

using Model = std::span<const input::Layer>;
using Complex = std::complex<double>;

// Sources closer than this to a layer interface are moved this far off it, so that no leg
// starts on a face: the single-precision 0.02 km, widened.
inline constexpr double interface_margin_km = static_cast<double>(0.02f);

// The receiver's layer.
inline constexpr std::size_t receiver_layer_index = 1;

// ---------------------------------------------------------------- source placement

struct PlacedSource {
    std::size_t layer;
    double depth_km;
};

// The layer holding depth_km and the depth moved off any interface it lies within the margin
// of; absent when the depth lies at or below the base of every layer.
std::optional<PlacedSource> source_layer(Model vmod, double depth_km);

struct DeepestLayer {
    std::size_t deepest;  // last layer with positive thickness (0 if none)
    double base_km;       // summed positive thicknesses
};
DeepestLayer deepest_layer_with_thickness(Model vmod);

// source_layer, else margin above the base of the deepest layer with thickness.
PlacedSource place_source(Model vmod, double depth_km);

// ---------------------------------------------------------------- layer sequence

// Appends legs of one wave mode to a Rays.
struct RayPath {
    state::Rays& rays;
    state::WaveMode mode;

    // Empties the legs of `rays` (keeping their storage).
    static RayPath create(state::Rays& rays, state::WaveMode mode);

    void push(std::size_t layer);
    // from, from-1, ..., receiver; nothing when from < receiver.
    void ascend_to(std::size_t from, std::size_t receiver);
    // from, from+1, ... down to the layer above the first zero-thickness layer below `from` or
    // to the layer above bottom_layer; gives the layer the leg reflects in (from itself, with
    // nothing pushed, when from is below bottom_layer - 1).
    std::size_t descend_to_moho(Model vmod, std::size_t from, std::size_t bottom_layer);
    // One surface-Moho-surface round trip from the receiver layer.
    void moho_multiple(Model vmod, std::size_t receiver, std::size_t bottom_layer);
};

// Appends the legs of a ray of the given shape starting in source_layer.
void append_legs(RayPath& path, Model vmod, const state::RayShape& shape, std::size_t source_layer);

// ---------------------------------------------------------------- traversal counts

// Counts the legs of state.rays per layer and mode, sets every leg's direction and trims the
// parts of the source and receiver layers that the ray does not travel.
void build_ray_path(state::RayState& state, Model vmod, double source_depth_km, double receiver_depth_km);

state::LayerFractions layer_fractions(Model vmod, std::size_t layer, double depth_km);

// Removes `fraction` of a crossing of `layer` from the P or shear count, by the mode of leg
// `segment`.
void trim_traversal(state::RayState& state, std::size_t layer, std::size_t segment, double fraction);

// Layers 0 ... deepest_layer with their traversal counts, as a view over the state and the
// model (nothing is copied or allocated). The view is valid while both are unchanged.
class TraversedLayers {
public:
    class iterator {
    public:
        iterator(const TraversedLayers* view, std::size_t k) : view_(view), k_(k) {}
        state::TraversedLayer operator*() const { return (*view_)[k_]; }
        iterator& operator++() {
            ++k_;
            return *this;
        }
        bool operator==(const iterator& other) const { return k_ == other.k_; }

    private:
        const TraversedLayers* view_;
        std::size_t k_;
    };

    TraversedLayers(const input::Layer* layers, const float* p, const float* s, std::size_t count)
        : layers_(layers), p_(p), s_(s), count_(count) {}

    std::size_t size() const { return count_; }
    state::TraversedLayer operator[](std::size_t k) const { return {layers_[k], p_[k], s_[k]}; }
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, count_}; }

private:
    const input::Layer* layers_;
    const float* p_;
    const float* s_;
    std::size_t count_;
};

// Internal stop when the model or a count sequence does not reach travel.deepest_layer.
TraversedLayers traversed_layers(const state::RayState& state, Model vmod);

// ---------------------------------------------------------------- travel time

// sqrt(1/v^2 - p^2) on the branch that is positive real for real p below 1/v and negative
// imaginary above it.
Complex vertical_slowness(Complex ray_parameter, double velocity_km_s);

// T(p) = p r + sum over layers of h (n_p eta_p + n_s eta_s).
Complex cagniard_time(const state::RayState& state, Model vmod, Complex ray_parameter, double range_km);
// dT/dp = r - p sum over layers of (n_p h / eta_p + n_s h / eta_s).
Complex cagniard_time_derivative(const state::RayState& state, Model vmod, Complex ray_parameter,
                                 double range_km);

struct StationaryRay {
    double ray_parameter;  // s/km
    double travel_time_s;
};

// The real ray parameter where dT/dp vanishes (bisection to |dT/dp| <= 0.01 km, at most 40
// steps), or just below the slowness of the fastest traversed layer when the range is beyond
// reach of a real ray parameter.
StationaryRay stationary_ray_parameter(const state::RayState& state, Model vmod, double range_km);

struct Spreading {
    double path_length_km;
    float qbar;  // sum of leg time / shear Q, accumulated in f32
};

// Path length and attenuation summed leg by leg, every leg as a shear leg.
Spreading geometric_spreading(const state::RayState& state, Model vmod, double source_depth_km,
                              double ray_parameter, state::Takeoff takeoff);

// ---------------------------------------------------------------- one ray

struct GreenFunction {
    float rp0;    // stationary ray parameter, s/km
    float stime;  // travel time, s
    float rpath;  // ray-path length, km
    float qbar;   // path attenuation, s
};

// Traces a ray of the given type from a source at src_depth km (below the top of the model) to
// the receiver at horizontal range km. Reuses the state's storage: no allocation once the state
// has seen a ray at least as long.
GreenFunction green_function(state::RayState& state, Model vmod, float src_depth, float range,
                             std::int32_t ray_type, state::WaveMode wave_mode);

}  // namespace quillon::ray
