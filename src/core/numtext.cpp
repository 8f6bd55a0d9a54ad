#include "core/numtext.hpp"

#include <charconv>
#include <cmath>

namespace porosa {

std::string number_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Shortest round-trip digits, forced into fixed notation: 1e20 has 21 digits.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

}  // namespace porosa
