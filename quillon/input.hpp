// Model inputs: the slip model (planar segments diced into equal rectangular subfaults, in
// the grid convention of the .stoch format), one station to simulate, and the layered
// velocity model cut at the Moho.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quillon::input {

// ---------------------------------------------------------------- slip model

struct Slip {
    float cm;
};

struct Subfault {
    Slip slip;               // cm
    float rise_time_s;       // carried with the subfault, never read by the engine
    float rupture_time_s;    // time the rupture reaches the subfault, from the origin time
    float stress_drop_bars;
};

// Grid coordinates are 1-based: i = 1..along_strike_count along strike (columns),
// j = 1..down_dip_count down dip (rows, the top edge first). Storage is row by row from the
// top edge: subfault (i, j) is entry (j-1)*along_strike_count + (i-1).
struct Segment {
    float fault_lon_deg;
    float fault_lat_deg;
    std::size_t along_strike_count;
    std::size_t down_dip_count;
    float subfault_length_km;  // along strike
    float subfault_width_km;   // down dip
    float strike_deg;
    float dip_deg;
    float rake_deg;
    float top_depth_km;
    float hypocentre_along_strike_km;
    float hypocentre_down_dip_km;
    float along_strike_offset_km;  // half the segment's along-strike length, derived
    std::vector<Subfault> subfaults;

    std::size_t subfault_total() const { return subfaults.size(); }
    // True when `subfaults` holds exactly along_strike_count x down_dip_count entries (a product
    // that overflows the size type never does).
    bool grid_is_full() const;
    // Storage index of (i, j); an out-of-range pair is an internal stop.
    std::size_t grid_index(std::size_t i, std::size_t j) const;
    const Subfault& at(std::size_t i, std::size_t j) const { return subfaults[grid_index(i, j)]; }
    // (i, j) pairs with j outer, i inner: storage order.
    std::vector<std::pair<std::size_t, std::size_t>> depth_major() const;
    // (i, j) pairs with i outer, j inner: column by column along strike.
    std::vector<std::pair<std::size_t, std::size_t>> strike_major() const;
};

// Every field is required: Segment::create is reached only with all thirteen values named.
struct SegmentBuilder {
    float fault_lon_deg;
    float fault_lat_deg;
    std::size_t along_strike_count;
    std::size_t down_dip_count;
    float subfault_length_km;
    float subfault_width_km;
    float strike_deg;
    float dip_deg;
    float rake_deg;
    float top_depth_km;
    float hypocentre_along_strike_km;
    float hypocentre_down_dip_km;
    std::vector<Subfault> subfaults;

    Segment build() &&;
};

// The internal stop for a grid whose entries do not match its dimensions.
[[noreturn]] void stop_for_grid_size(std::size_t entries, std::size_t along_strike_count,
                                     std::size_t down_dip_count);

struct StochModel {
    std::vector<Segment> segments;
    std::size_t subfault_count = 0;
    float fault_area_km2 = 0.0f;
    float max_hypocentre_depth_km = 0.0f;

    static StochModel create(std::vector<Segment> segments);
};

struct Station {
    float longitude;
    float latitude;
    float kappa_s;
    float q_exponent;
};

// ---------------------------------------------------------------- velocity model

// One layer as the caller gives it, after Moho truncation; depth_km is the depth of the
// layer's base (the half-space carries the Moho depth, or the full sum when no layer reached
// the threshold).
struct InputLayer {
    float depth_km;
    float thickness_km;
    double vp_km_s;
    double vsh_km_s;
    double density_g_cm3;
    float attenuation_p;  // quality factor Q of P waves, as given
    float attenuation_s;  // quality factor Q of shear waves, as given
};

// The engine's layer: the same quantities with both depths widened to f64.
struct Layer {
    double depth_km;
    double thickness_km;
    double vp_km_s;
    double vsh_km_s;
    double density_g_cm3;
    float attenuation_p;
    float attenuation_s;
};

Layer to_layer(const InputLayer& layer);

struct NoLayers {};
struct MohoAtFirstLayer {
    double vs_moho_km_s;
};
using ModelError = std::variant<NoLayers, MohoAtFirstLayer>;
std::string display(const ModelError& error);

// Cuts the stack at the first layer whose shear velocity reaches vs_moho_km_s (f64 >=), which
// becomes the zero-thickness half-space, and accumulates base depths in f32.
std::variant<std::vector<InputLayer>, ModelError> build_velocity_model(
    const std::vector<InputLayer>& layers, double vs_moho_km_s);

// Puts a 0.1 m air layer on top unless the top layer already looks like air (at most 1 m thick
// or vp at most 0.01 km/s). An empty list is an internal stop.
void insert_air_layer(std::vector<InputLayer>& layers);

}  // namespace quillon::input
