#include "quillon/state.hpp"

#include <string>

#include "quillon/internal_error.hpp"

namespace quillon::state {

bool is_shear(WaveMode mode) { return mode == WaveMode::Sv || mode == WaveMode::Sh; }

Direction from_parity(std::int32_t crossings) {
    // Truncating remainder: an odd negative count gives -1, still odd.
    return crossings % 2 != 0 ? Direction::Down : Direction::Up;
}

Direction flipped(Direction direction) {
    return direction == Direction::Up ? Direction::Down : Direction::Up;
}

Takeoff takeoff_from_ray_type(std::int32_t ray_type) {
    // The take-off sense fixes the vertical extent of the first leg; a negative code has none.
    if (ray_type < 0) {
        internal_stop("ray type " + std::to_string(ray_type) + " is negative; th1 would be undefined");
    }
    return ray_type % 2 == 1 ? Takeoff::Up : Takeoff::Down;
}

RayShape ray_shape_from_ray_type(std::int32_t ray_type) {
    if (takeoff_from_ray_type(ray_type) == Takeoff::Up) return Upgoing{(ray_type - 1) / 2};
    return DownToMoho{(ray_type - 2) / 2};
}

void Travel::reset_for(std::size_t layer_count) {
    p_traversals.assign(layer_count, 0.0f);
    s_traversals.assign(layer_count, 0.0f);
}

void Coefficients::reset_for(std::size_t segment_count) {
    directions.assign(segment_count, Direction::Up);
}

}  // namespace quillon::state
