#include "quillon/internal_error.hpp"

namespace quillon {

void internal_stop(const std::string& message) { throw InternalError(message); }

std::size_t checked_add(std::size_t a, std::size_t b) {
    std::size_t sum;
    if (__builtin_add_overflow(a, b, &sum)) internal_stop("a counter overflowed the size type");
    return sum;
}

std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) internal_stop("a count overflowed the size type");
    return product;
}

std::int32_t checked_add(std::int32_t a, std::int32_t b) {
    std::int32_t sum;
    if (__builtin_add_overflow(a, b, &sum)) internal_stop("sample-number arithmetic overflowed 32 bits");
    return sum;
}

std::int32_t checked_sub(std::int32_t a, std::int32_t b) {
    std::int32_t difference;
    if (__builtin_sub_overflow(a, b, &difference)) internal_stop("sample-number arithmetic overflowed 32 bits");
    return difference;
}

}  // namespace quillon
