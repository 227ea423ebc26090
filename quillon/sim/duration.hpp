// Path-duration tables: how the path part of a subfault's time window grows with the
// subfault-to-station distance, as a continuous piecewise-linear function of distance.
#pragma once

#include <span>
#include <vector>

#include "quillon/config.hpp"

namespace quillon::sim {

struct DurationSegment {
    float start_km;        // distance at which the piece begins
    float duration_s;      // path duration at start_km
    float slope_s_per_km;  // growth per km beyond start_km; the last piece never ends
};

// The path duration at distance_km: the last of the leading pieces that start strictly before
// the distance, extended linearly; 0 where no piece starts before it (distance <= 0).
float path_duration_s(std::span<const DurationSegment> table, float distance_km);

std::vector<DurationSegment> path_duration_table(config::PathDurationModel model);
std::vector<DurationSegment> constant_slope(float slope_s_per_km);
// One piece per breakpoint; the last keeps the slope of the last interval. Needs N >= 2.
std::vector<DurationSegment> from_breakpoints(std::span<const float> start_km,
                                              std::span<const float> duration_s);

}  // namespace quillon::sim
