#include "quillon/config.hpp"

namespace quillon::config {

RayKind RayType::kind() const {
    if (code == 0) return RayKind::StraightRay;
    // Truncating remainder: negative codes give 0 or -1 and so count as down-going.
    if (code % 2 == 1) return RayKind::Upgoing;
    return RayKind::Downgoing;
}

std::optional<PathDurationModel> path_duration_from_deck(std::int32_t code) {
    if (code <= 0) return PathDurationModel::Gp2010;
    switch (code) {
        case 1: return PathDurationModel::Wus;
        case 2: return PathDurationModel::Ena;
        case 11: return PathDurationModel::Bt2014Wus;
        case 12: return PathDurationModel::Bt2015Ena;
        default: return std::nullopt;
    }
}

float RuptureVelocityTaper::factor(float depth_km) const {
    const float f = frac;
    const float a = shallow_factor;
    const float b = deep_factor;
    float shallow;
    if (depth_km >= shallow_base_km) {
        shallow = f;
    } else if (!(depth_km >= shallow_top_km)) {  // "below", so that a NaN depth lands here
        shallow = f * a;
    } else {
        shallow = (a + ((depth_km - shallow_top_km) * (1.0f - a)) / (shallow_base_km - shallow_top_km)) * f;
    }
    if (depth_km >= deep_base_km) return f * b;
    if (!(depth_km >= deep_top_km)) return shallow;
    return (1.0f + ((depth_km - deep_top_km) * (b - 1.0f)) / (deep_base_km - deep_top_km)) * f;
}

}  // namespace quillon::config
