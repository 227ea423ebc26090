// The working state of ray tracing: the layer sequence of the current ray, its per-layer
// traversal counts and the travel direction of every leg. One RayState serves every subfault
// and ray type of a segment pass; its sequences are emptied and refilled in place, so that
// after the first rays no memory is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "quillon/input.hpp"

namespace quillon::state {

enum class WaveMode : std::uint8_t { Sv, Sh, P };

// True for the two shear modes.
bool is_shear(WaveMode mode);

enum class Direction : std::uint8_t { Up, Down };

// Down after an odd number of crossings, Up after an even one.
Direction from_parity(std::int32_t crossings);
Direction flipped(Direction direction);

// Which way a ray leaves the source.
enum class Takeoff : std::uint8_t { Up, Down };

// Odd codes leave upward, even codes downward; a negative code is an internal stop.
Takeoff takeoff_from_ray_type(std::int32_t ray_type);

// Straight up to the receiver, then `multiples` surface-Moho-surface round trips.
struct Upgoing {
    std::int32_t multiples;
};
// Down to the Moho, reflected, up to the receiver, then `multiples` round trips.
struct DownToMoho {
    std::int32_t multiples;
};
using RayShape = std::variant<Upgoing, DownToMoho>;

// Code 2m+1 is Upgoing{m}, code 2m+2 is DownToMoho{m}; a negative code is an internal stop.
RayShape ray_shape_from_ray_type(std::int32_t ray_type);

// The legs of one ray in travel order, source to receiver: the layer each leg crosses and its
// wave mode. A reflection shows as the same layer twice in a row.
struct Rays {
    std::vector<std::size_t> layer_indices;
    std::vector<WaveMode> wave_modes;  // always as long as layer_indices

    std::size_t segment_count() const { return layer_indices.size(); }
};

// How many times the ray crosses each model layer, by P and by shear legs; fractional in the
// layers that hold the source and the receiver, where only part of a layer is travelled.
struct Travel {
    std::vector<float> p_traversals;  // one per model layer
    std::vector<float> s_traversals;  // one per model layer
    std::size_t deepest_layer = 0;    // largest layer index of the ray

    // Both count sequences exactly layer_count long and zero, keeping their storage.
    void reset_for(std::size_t layer_count);
};

struct Coefficients {
    std::vector<Direction> directions;  // one per leg

    // directions exactly segment_count long and all Up, keeping its storage.
    void reset_for(std::size_t segment_count);
};

struct RayState {
    Rays rays;
    Travel travel;
    Coefficients coefficients;
};

// Where a depth lies inside its layer, as fractions of the layer thickness measured from the
// top face (above) and from the bottom face (below); above_km is the distance from the top.
struct LayerFractions {
    double above;
    double below;
    double above_km;
};

// One layer as the travel-time integrals see it: the layer and how often the current ray
// crosses it as a P wave and as a shear wave.
struct TraversedLayer {
    const input::Layer& layer;
    float p;
    float s;
};

}  // namespace quillon::state
