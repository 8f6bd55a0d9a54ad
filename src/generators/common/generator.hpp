// What both generators share: the orderings, the first-minimum rule, the
// missing-rate limit and the target count.
#pragma once
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "core/data_matrix.hpp"
#include "generators/common/mode.hpp"

namespace porosa {

// IEEE 754 totalOrder: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
inline std::int64_t total_key(double x) noexcept {
    std::int64_t k;
    std::memcpy(&k, &x, sizeof k);
    return k < 0 ? k ^ std::int64_t(0x7FFFFFFFFFFFFFFF) : k;
}
inline std::strong_ordering total_cmp(double a, double b) noexcept { return total_key(a) <=> total_key(b); }

using CmpFn = std::strong_ordering (*)(double a, double b, double reference);

std::strong_ordering cmp_ascending(double a, double b, double reference) noexcept;
std::strong_ordering cmp_descending(double a, double b, double reference) noexcept;
std::strong_ordering cmp_nearest(double a, double b, double reference) noexcept;

// The ordering of a value mode; nullptr for the pattern modes.
CmpFn cmp_for(Kind kind) noexcept;
// The ordering of a value mode, or the internal failure
// "Cmp function required for this mode: [...]".
CmpFn require_cmp(const Mode& mode);

// The float-to-count conversion: NaN and negatives give 0, too large gives the
// largest word, everything else truncates toward zero.
std::size_t saturating_count(double x) noexcept;

// m - m / cols.
double rate_limit(double max_missing_per_column, std::size_t cols) noexcept;
// ceil(rows * cols * rate), as a saturating count.
std::size_t target_count(std::size_t rows, std::size_t cols, double rate) noexcept;

// The removal of one generator, given the working matrix, the rate after the
// limit, and the number of cells to remove.
class Generator {
public:
    virtual ~Generator() = default;
    virtual void drop(DataMatrix& matrix, double rate, std::size_t target) = 0;
    // "MAR[...]" or "MNAR[...]".
    virtual std::string repr() const = 0;
    // Caps the missing rate of a call.
    virtual double max_missing_per_column() const noexcept = 0;
};

}  // namespace porosa
