#include "core/numtext.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace porosa {

std::string number_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; they are then
    // laid out positionally. (The fixed form would print every exact digit of a
    // large whole number, 2^64 as ...551616 instead of ...552000.)
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char ch : sci.substr(0, e_pos))
        if (ch != '.') digits += ch;
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    // digits d0 d1 ... with the point after d0, scaled by 10^exponent.
    const long point = 1L + exponent;
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace porosa
