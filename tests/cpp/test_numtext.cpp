#include <cmath>
#include <limits>

#include "core/numtext.hpp"
#include "harness.hpp"

using porosa::number_text;

TEST(numtext, shortest_positional_digits) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0"},
        {-0.0, "-0"},
        {1.0, "1"},
        {2.5, "2.5"},
        {-3.0, "-3"},
        {0.5, "0.5"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.8 - 0.8 / 4, "0.6000000000000001"},
        {1e20, "100000000000000000000"},
        {18446744073709551616.0, "18446744073709552000"},
        {1.5e-7, "0.00000015"},
        {123456.789, "123456.789"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::nan(""), "NaN"},
    };
    for (const auto& c : cases) EXPECT_EQ(number_text(c.value), std::string(c.text));
    // The smallest subnormal: 323 zeros after the point, then its one digit.
    EXPECT_EQ(number_text(5e-324), "0." + std::string(323, '0') + "5");
}

TEST(numtext, texts_read_back_to_the_same_double) {
    for (double v : {1.0 / 3, -2.0 / 7, 6.02214076e23, 1.7976931348623157e308, 2.2250738585072014e-308, 9007199254740993.0})
        EXPECT_BITEQ(std::strtod(number_text(v).c_str(), nullptr), v);
}
