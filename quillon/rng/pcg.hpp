// The modern generator: PCG32 (PCG XSH RR 64/32), a 64-bit linear congruential state with an
// odd increment whose 32-bit output is a xorshift-high, randomly rotated view of the state
// before each step.
//
// Seeding from 64 bits. The seed is expanded by the SplitMix64 output mix (a bijection of
// u64 with full avalanche) into two words, init_state = mix(seed + γ) and
// init_sequence = mix(seed + 2γ), γ = 0x9E3779B97F4A7C15, which then go through PCG's usual
// seeding routine: increment = (init_sequence << 1) | 1, state = 0, one step, state +=
// init_state, one step. Since init_state is a bijection of the seed, every seed bit reaches
// the state and distinct seeds give distinct states; because of the avalanche, seeds one bit
// apart get unrelated states and increments, hence unrelated streams. Equal seeds give equal
// generators.
#pragma once

#include <cstdint>
#include <span>

#include "quillon/rng/sampling.hpp"

namespace quillon::rng {

class Pcg {
public:
    static constexpr std::uint64_t multiplier = 6364136223846793005ULL;

    static Pcg seed(std::uint64_t seed);
    // PCG's own seeding from an initial state and a stream selector (whose top bit is lost
    // to the odd increment); seed() feeds it with the two mixed words described above.
    static Pcg from_words(std::uint64_t init_state, std::uint64_t init_sequence);
    // A fresh generator seeded with `seed`; this one is neither read nor advanced.
    Pcg respawn(std::uint64_t seed) const { return Pcg::seed(seed); }

    std::uint32_t next_u32() {
        const std::uint64_t old = state_;
        state_ = old * multiplier + increment_;
        return output(old);
    }

    // Two consecutive outputs, the first in the low half. The state moves two steps at once
    // (s·M² + inc·(M + 1), exact modulo 2^64), which halves the serial chain of multiplies
    // without changing any output.
    std::uint64_t next_u64() {
        const std::uint64_t first = state_;
        const std::uint64_t second = first * multiplier + increment_;
        state_ = first * (multiplier * multiplier) + increment_ * (multiplier + 1);
        return static_cast<std::uint64_t>(output(first)) | (static_cast<std::uint64_t>(output(second)) << 32);
    }

    float uniform() { return unit_interval_from(next_u32()); }
    float normal() { return normal_with(ziggurat_tables()); }
    void fill_uniform(std::span<float> out);
    void fill_normal(std::span<float> out);

    std::uint64_t state() const { return state_; }
    std::uint64_t increment() const { return increment_; }
    friend bool operator==(const Pcg&, const Pcg&) = default;

private:
    // XSH RR: xorshift the high bits down, then rotate by the top five bits of the state.
    static std::uint32_t output(std::uint64_t state) {
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rotation = static_cast<unsigned>(state >> 59);
        return (xorshifted >> rotation) | (xorshifted << ((32u - rotation) & 31u));
    }

    Pcg(std::uint64_t state, std::uint64_t increment) : state_(state), increment_(increment) {}
    float normal_with(const ZigguratTables& tables) {
        return static_cast<float>(standard_normal(tables, [this] { return next_u64(); }));
    }

    std::uint64_t state_;
    std::uint64_t increment_;  // always odd
};

}  // namespace quillon::rng
