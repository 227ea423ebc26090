#include "quillon/rng/pcg.hpp"

namespace quillon::rng {
namespace {

constexpr std::uint64_t golden_gamma = 0x9E3779B97F4A7C15ULL;

std::uint64_t splitmix_mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

Pcg Pcg::seed(std::uint64_t seed) {
    return from_words(splitmix_mix(seed + golden_gamma), splitmix_mix(seed + 2 * golden_gamma));
}

Pcg Pcg::from_words(std::uint64_t init_state, std::uint64_t init_sequence) {
    Pcg generator(0, (init_sequence << 1) | 1u);
    generator.next_u32();
    generator.state_ += init_state;
    generator.next_u32();
    return generator;
}

void Pcg::fill_uniform(std::span<float> out) {
    for (float& value : out) value = uniform();
}

void Pcg::fill_normal(std::span<float> out) {
    const ZigguratTables& tables = ziggurat_tables();
    for (float& value : out) value = normal_with(tables);
}

}  // namespace quillon::rng
