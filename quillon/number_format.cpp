#include "quillon/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace quillon {
namespace {

template <typename Real>
std::string shortest_positional(Real value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed notation without a precision is the shortest round-trip digit string, written
    // positionally; the largest double needs 309 digits before the point.
    std::array<char, 400> buffer{};
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                std::chars_format::fixed);
    return std::string(buffer.data(), result.ptr);
}

}  // namespace

std::string format_number(float value) { return shortest_positional(value); }
std::string format_number(double value) { return shortest_positional(value); }

std::string format_shape(std::size_t rows, std::size_t columns) {
    return "(" + std::to_string(rows) + ", " + std::to_string(columns) + ")";
}

std::string format_lengths(std::span<const std::size_t> lengths) {
    std::string text = "[";
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        if (k) text += ", ";
        text += std::to_string(lengths[k]);
    }
    return text + "]";
}

}  // namespace quillon
