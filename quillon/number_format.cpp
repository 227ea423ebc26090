#include "quillon/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace quillon {
namespace {

// Shortest round-trip digits come from the scientific form ("d.ddde+XX"); they are then laid
// out positionally, padding with zeros, so that 3.4028235e38 reads 340282350000...0 rather than
// the exact binary value's 39 digits.
template <typename Real>
std::string shortest_positional(Real value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    std::array<char, 64> buffer{};
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                std::chars_format::scientific);
    const std::string scientific(buffer.data(), result.ptr);
    const std::size_t e = scientific.find('e');
    const bool negative = scientific[0] == '-';
    std::string digits;
    for (std::size_t k = negative ? 1 : 0; k < e; ++k)
        if (scientific[k] != '.') digits += scientific[k];
    const int exponent = std::stoi(scientific.substr(e + 1));
    const int point = exponent + 1;  // digits before the decimal point
    std::string text = negative ? "-" : "";
    if (point <= 0) {
        text += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        text += digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        text += digits.substr(0, static_cast<std::size_t>(point)) + "." +
                digits.substr(static_cast<std::size_t>(point));
    }
    return text;
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
