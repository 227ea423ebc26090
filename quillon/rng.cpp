#include "quillon/rng.hpp"

#include <cstdlib>

namespace quillon::rng {

DrawSource DrawSource::for_station(std::uint64_t seed) {
    // getenv is safe against concurrent readers; the engine itself never writes the
    // environment. Only presence matters, so the value is never looked at.
    if (std::getenv(fixture_variable) != nullptr) {
        return DrawSource(FixtureDraws::seed(static_cast<std::int32_t>(static_cast<std::uint32_t>(seed))));
    }
    return DrawSource(Pcg::seed(seed));
}

}  // namespace quillon::rng
