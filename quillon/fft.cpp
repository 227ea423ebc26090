#include "quillon/fft.hpp"

#include <fftw3.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "quillon/internal_error.hpp"

namespace quillon::fft {

std::size_t good_length(std::size_t at_least) {
    constexpr std::size_t largest = std::size_t{1} << 63;
    if (at_least > largest) {
        internal_stop("a transform length above 2^63 overflows the machine word and is not a real request, got " +
                      std::to_string(at_least));
    }
    std::size_t best = largest;  // 2^63 >= at_least always qualifies
    for (const std::size_t m : {std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{7}}) {
        std::size_t candidate = 2 * m;
        while (candidate < at_least && candidate <= std::numeric_limits<std::size_t>::max() / 2) candidate *= 2;
        if (candidate >= at_least && candidate < best) best = candidate;
    }
    return best;
}

namespace {

static_assert(sizeof(std::complex<float>) == sizeof(fftwf_complex));

// The planner is process-wide state inside FFTW.
std::mutex& planner_mutex() {
    static std::mutex mutex;
    return mutex;
}

struct FftwfFree {
    void operator()(void* memory) const { fftwf_free(memory); }
};
using AlignedBuffer = std::unique_ptr<fftwf_complex[], FftwfFree>;

AlignedBuffer aligned_buffer(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(fftwf_complex)) throw std::bad_alloc();
    auto* memory = static_cast<fftwf_complex*>(fftwf_malloc(n * sizeof(fftwf_complex)));
    if (memory == nullptr) throw std::bad_alloc();
    return AlignedBuffer(memory);
}

class Plan {
public:
    Plan(std::size_t n, bool forward) {
        // FFTW_ESTIMATE does not touch the arrays while planning; they only fix the plan's
        // in-place layout and alignment.
        AlignedBuffer scratch = aligned_buffer(n);
        fftwf_iodim64 dim{static_cast<std::ptrdiff_t>(n), 1, 1};
        std::lock_guard<std::mutex> guard(planner_mutex());
        plan_ = fftwf_plan_guru64_dft(1, &dim, 0, nullptr, scratch.get(), scratch.get(),
                                      forward ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE);
        if (plan_ == nullptr) {
            internal_stop("the FFT library could not plan a transform of length " + std::to_string(n));
        }
    }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan() {
        std::lock_guard<std::mutex> guard(planner_mutex());
        fftwf_destroy_plan(plan_);
    }

    void execute(fftwf_complex* data) const { fftwf_execute_dft(plan_, data, data); }

private:
    fftwf_plan plan_ = nullptr;
};

struct PerThread {
    // Key: (length << 1) | forward. Lengths never reach 2^63 for a buffer that exists.
    std::unordered_map<std::uint64_t, std::unique_ptr<Plan>> plans;
    AlignedBuffer scratch;  // for caller buffers that are not SIMD-aligned
    std::size_t scratch_length = 0;
};

PerThread& this_thread() {
    thread_local PerThread state;
    return state;
}

}  // namespace

void transform(std::span<std::complex<float>> data, bool forward) {
    const std::size_t n = data.size();
    if (n % 2 != 0) internal_stop("the transform requires an even length, got " + std::to_string(n));
    if (n == 0) return;

    PerThread& state = this_thread();
    const std::uint64_t key = (static_cast<std::uint64_t>(n) << 1) | (forward ? 1u : 0u);
    auto found = state.plans.find(key);
    if (found == state.plans.end()) found = state.plans.emplace(key, std::make_unique<Plan>(n, forward)).first;
    // The map never drops a plan while the thread lives, so the pointer stays valid.
    const Plan& plan = *found->second;

    auto* buffer = reinterpret_cast<fftwf_complex*>(data.data());
    if (fftwf_alignment_of(reinterpret_cast<float*>(buffer)) == 0) {
        plan.execute(buffer);
        return;
    }
    if (state.scratch_length < n) {
        state.scratch = aligned_buffer(n);
        state.scratch_length = n;
    }
    std::memcpy(state.scratch.get(), buffer, n * sizeof(fftwf_complex));
    plan.execute(state.scratch.get());
    std::memcpy(buffer, state.scratch.get(), n * sizeof(fftwf_complex));
}

std::size_t thread_plan_count() { return this_thread().plans.size(); }

void remove_quadratic_trend(float dt, std::span<float> acceleration) {
    const std::size_t n = acceleration.size();
    if (n < 2) internal_stop("trend removal needs at least two samples, got " + std::to_string(n));
    float* a = acceleration.data();

    const float h = 0.5f * dt;
    const float s = (dt * h) / 3.0f;
    float ve = 0.0f;
    float de = 0.0f;
    float previous = a[0];
    for (std::size_t j = 1; j < n; ++j) {
        const float next = a[j];
        de = (2.0f * previous + next) * s + (de + dt * ve);
        ve = (previous + next) * h + ve;
        previous = next;
    }

    const std::size_t nstps = n - 1;
    const float rnstp = static_cast<float>(nstps);
    const float t = rnstp * dt;
    const float c1 = ((-3.0f / t) * de + ve) * (2.0f / t);
    const float c2 = (((2.0f / t) * de - ve) * (6.0f / t)) / t;
    for (std::size_t k = 2; k < n; ++k) {
        a[k] = (a[k] + c1) + (static_cast<float>(k) * c2) * dt;
    }
}

}  // namespace quillon::fft
