#include "quillon/rng/fixture.hpp"

namespace quillon::rng {

void FixtureDraws::fill_uniform(std::span<float> out) {
    for (float& value : out) value = uniform();
}

void FixtureDraws::fill_normal(std::span<float> out) {
    const ZigguratTables& tables = ziggurat_tables();
    for (float& value : out) value = normal_with(tables);
}

}  // namespace quillon::rng
