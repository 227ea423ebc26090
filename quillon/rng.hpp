// Random draws of a station run. Every random number comes from a draw source: uniform
// deviates in [0, 1) and standard-normal deviates, both f32, from a generator that is a pure
// function of its seed. Sources are spawned from 64-bit seeds (respawn) so that the stream of
// every subfault and ray depends only on the seed the driver computes for it, never on how
// much was drawn before.
//
// Two generators: Pcg (PCG32) in normal operation, FixtureDraws (SplitMix64) when the
// environment variable QUILLON_FIXTURE_RNG is present. The choice is made once per station
// run, in DrawSource::for_station; every source respawned from it is of the same kind.
//
// Hot loops should not pay for the variant per number: DrawSource's fills dispatch once per
// call, and visit() hands the concrete generator to a callable so that a loop templated on
// the generator type dispatches once for the whole loop.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>

#include "quillon/rng/fixture.hpp"
#include "quillon/rng/pcg.hpp"
#include "quillon/rng/sampling.hpp"

namespace quillon::rng {

// What every draw source offers.
template <class D>
concept Draws = requires(D draws, const D frozen, std::uint64_t seed, std::span<float> out) {
    { frozen.respawn(seed) } -> std::same_as<D>;
    { draws.uniform() } -> std::same_as<float>;
    { draws.normal() } -> std::same_as<float>;
    draws.fill_uniform(out);
    draws.fill_normal(out);
};

inline constexpr const char* fixture_variable = "QUILLON_FIXTURE_RNG";

class DrawSource {
public:
    // The station's source: FixtureDraws seeded with the low 32 bits of `seed` (as i32) when
    // QUILLON_FIXTURE_RNG is present in the environment, whatever its value (empty included);
    // Pcg seeded with all of `seed` otherwise. The environment is consulted on every call.
    static DrawSource for_station(std::uint64_t seed);

    explicit DrawSource(Pcg generator) : generator_(generator) {}
    explicit DrawSource(FixtureDraws generator) : generator_(generator) {}

    // A new source of the same kind seeded with `seed`; this one is neither read nor advanced.
    DrawSource respawn(std::uint64_t seed) const {
        return std::visit([seed](const auto& generator) { return DrawSource(generator.respawn(seed)); },
                          generator_);
    }

    float uniform() {
        return std::visit([](auto& generator) { return generator.uniform(); }, generator_);
    }
    float normal() {
        return std::visit([](auto& generator) { return generator.normal(); }, generator_);
    }
    // The same stream as out.size() calls of uniform() / normal(), written in index order.
    void fill_uniform(std::span<float> out) {
        std::visit([out](auto& generator) { generator.fill_uniform(out); }, generator_);
    }
    void fill_normal(std::span<float> out) {
        std::visit([out](auto& generator) { generator.fill_normal(out); }, generator_);
    }

    bool is_fixture() const { return std::holds_alternative<FixtureDraws>(generator_); }

    // Calls f with the concrete generator (Pcg& or FixtureDraws&) and returns what it returns.
    template <class F>
    decltype(auto) visit(F&& f) {
        return std::visit(std::forward<F>(f), generator_);
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit(std::forward<F>(f), generator_);
    }

private:
    std::variant<Pcg, FixtureDraws> generator_;
};

static_assert(Draws<Pcg>);
static_assert(Draws<FixtureDraws>);
static_assert(Draws<DrawSource>);

}  // namespace quillon::rng
