// The fixture generator: SplitMix64 over one 64-bit state, seeded from a signed 32-bit value.
// It exists so that reference records can be reproduced from a tiny, fully specified
// generator; station runs use it when QUILLON_FIXTURE_RNG is set.
#pragma once

#include <cstdint>
#include <span>

#include "quillon/rng/sampling.hpp"

namespace quillon::rng {

class FixtureDraws {
public:
    static constexpr std::uint64_t golden_gamma = 0x9E3779B97F4A7C15ULL;

    // state = the seed sign-extended to 64 bits, XOR γ: a negative seed flips the upper half too.
    static FixtureDraws seed(std::int32_t seed) {
        return FixtureDraws(static_cast<std::uint64_t>(static_cast<std::int64_t>(seed)) ^ golden_gamma);
    }
    // A fresh generator from the low 32 bits of `seed` read as i32; the upper half is ignored.
    FixtureDraws respawn(std::uint64_t seed) const {
        return FixtureDraws::seed(static_cast<std::int32_t>(static_cast<std::uint32_t>(seed)));
    }

    std::uint64_t next_word() {
        state_ += golden_gamma;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // The word handed to the normal sampler as this generator's 64-bit output; never fails.
    std::uint64_t try_next_u64() noexcept { return next_word(); }

    // The top 24 bits of the next word, times 2^-24.
    float uniform() { return unit_interval_from(static_cast<std::uint32_t>(next_word() >> 32)); }
    float normal() { return normal_with(ziggurat_tables()); }
    void fill_uniform(std::span<float> out);
    void fill_normal(std::span<float> out);

    std::uint64_t state() const { return state_; }
    friend bool operator==(const FixtureDraws&, const FixtureDraws&) = default;

private:
    explicit FixtureDraws(std::uint64_t state) : state_(state) {}
    float normal_with(const ZigguratTables& tables) {
        return static_cast<float>(standard_normal(tables, [this] { return try_next_u64(); }));
    }

    std::uint64_t state_;
};

}  // namespace quillon::rng
