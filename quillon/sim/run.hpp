// The station run: everything that is per station (its draw source and pre-drawn deviates,
// the plan cache of transform lengths, the record and its accounts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "quillon/geom.hpp"
#include "quillon/input.hpp"
#include "quillon/rng.hpp"
#include "quillon/sim.hpp"
#include "quillon/sim/records.hpp"

namespace quillon::sim {

// The segment's geometry as the subfault-to-station geometry needs it.
geom::FaultPlane fault_plane(const input::Segment& segment);

// The station's draw source and its two vectors of uniform deviates, drawn in that order; these
// are the only draws ever taken from the station's own source.
std::pair<Deviates, rng::DrawSource> seed_and_predraw(std::uint64_t seed, std::size_t radv_sample_count);

}  // namespace quillon::sim
