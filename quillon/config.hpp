// Configuration records: every setting of a simulation that is not the slip model, the
// velocity model or a station. Plain values, copied whole; all reals are f32.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quillon::config {

struct RuptureVelocity {
    float frac;     // rupture velocity / shear velocity where no depth taper applies
    float shallow;  // factor on frac at shallow depth
    float deep;     // factor on frac at great depth
    float rv_sig1;  // std. dev. of the log-normal per-subfault perturbation; <= 0 switches it off
};

struct SourceParameters {
    float czero;   // corner-frequency constant
    float calpha;  // weight of the dip and rake terms in alpha_t
    RuptureVelocity rupture_velocity;
};

enum class RayKind : std::uint8_t { StraightRay, Upgoing, Downgoing };

// A ray-type code: 0 the straight ray, odd codes leave the source upward, even codes downward;
// the code also counts surface-to-Moho multiples. Not validated when stored.
struct RayType {
    std::int32_t code;
    RayKind kind() const;
};

enum class PathDurationModel : std::uint8_t { Gp2010, Wus, Ena, Bt2014Wus, Bt2015Ena };

// Deck codes: <= 0 Gp2010, 1 Wus, 2 Ena, 11 Bt2014Wus, 12 Bt2015Ena; anything else is absent.
std::optional<PathDurationModel> path_duration_from_deck(std::int32_t code);

struct PathParameters {
    std::vector<RayType> rayset;  // summed for every subfault and station, in this order
    PathDurationModel path_duration;
};

struct SiteParameters {
    float f_max_hz;  // high-frequency cut-off
};

struct RecordParameters {
    float duration_s;
    float dt_s;
};

struct HfConfig {
    SourceParameters source;
    PathParameters path;
    SiteParameters site;
    RecordParameters record;
};

// Depth taper of the rupture velocity: a ramp from frac*shallow_factor up to frac between
// shallow_top_km and shallow_base_km, and from frac to frac*deep_factor between deep_top_km
// and deep_base_km.
struct RuptureVelocityTaper {
    float frac;
    float shallow_factor;
    float deep_factor;
    float shallow_top_km;
    float shallow_base_km;
    float deep_top_km;
    float deep_base_km;

    // Ratio of rupture velocity to the local shear velocity at depth_km (f32 throughout;
    // a NaN depth gives frac * shallow_factor).
    float factor(float depth_km) const;
};

}  // namespace quillon::config
