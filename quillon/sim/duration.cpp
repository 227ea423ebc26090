#include "quillon/sim/duration.hpp"

#include <array>

#include "quillon/internal_error.hpp"

namespace quillon::sim {
namespace {

// Breakpoint tables of path duration against distance for western and eastern North America.
constexpr std::array<float, 6> wus_start_km = {0.0f, 7.0f, 45.0f, 125.0f, 175.0f, 270.0f};
constexpr std::array<float, 6> wus_duration_s = {0.0f, 2.4f, 8.4f, 10.9f, 17.4f, 34.2f};
constexpr std::array<float, 8> ena_start_km = {0.0f, 15.0f, 35.0f, 50.0f, 125.0f, 200.0f, 392.0f, 600.0f};
constexpr std::array<float, 8> ena_duration_s = {0.0f, 2.6f, 17.5f, 25.1f, 25.1f, 28.5f, 46.0f, 69.1f};

}  // namespace

std::vector<DurationSegment> constant_slope(float slope_s_per_km) {
    return {DurationSegment{0.0f, 0.0f, slope_s_per_km}};
}

std::vector<DurationSegment> from_breakpoints(std::span<const float> start_km,
                                              std::span<const float> duration_s) {
    if (start_km.size() != duration_s.size() || start_km.size() < 2)
        internal_stop("a path-duration table needs at least two breakpoints of distance and duration");
    std::vector<DurationSegment> table;
    table.reserve(start_km.size());
    for (std::size_t i = 0; i + 1 < start_km.size(); ++i) {
        const float rise_s = duration_s[i + 1] - duration_s[i];
        const float run_km = start_km[i + 1] - start_km[i];
        table.push_back({start_km[i], duration_s[i], rise_s / run_km});
    }
    // Beyond the last breakpoint the duration keeps growing at the last interval's slope.
    table.push_back({start_km.back(), duration_s.back(), table.back().slope_s_per_km});
    return table;
}

float path_duration_s(std::span<const DurationSegment> table, float distance_km) {
    DurationSegment piece{0.0f, 0.0f, 0.0f};
    for (const DurationSegment& candidate : table) {
        if (!(candidate.start_km < distance_km)) break;
        piece = candidate;
    }
    return piece.duration_s + (distance_km - piece.start_km) * piece.slope_s_per_km;
}

std::vector<DurationSegment> path_duration_table(config::PathDurationModel model) {
    using config::PathDurationModel;
    switch (model) {
        case PathDurationModel::Gp2010: return constant_slope(0.063f);
        case PathDurationModel::Wus: return constant_slope(0.07f);
        case PathDurationModel::Ena: return constant_slope(0.1f);
        case PathDurationModel::Bt2014Wus: return from_breakpoints(wus_start_km, wus_duration_s);
        case PathDurationModel::Bt2015Ena: return from_breakpoints(ena_start_km, ena_duration_s);
    }
    internal_stop("unknown path-duration model");
}

}  // namespace quillon::sim
