// What both generators share: the orderings, the first-minimum rule, the
// missing-rate limit and the target count.
#pragma once
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/data_matrix.hpp"
#include "core/error.hpp"
#include "core/float_bits.hpp"
#include "generators/common/mode.hpp"

namespace porosa {

inline std::strong_ordering total_cmp(double a, double b) noexcept { return total_key(a) <=> total_key(b); }

using CmpFn = std::strong_ordering (*)(double a, double b, double reference);

// The distance GM orders cells by. Every place that orders by it computes it
// here, so that they all round it the same way.
inline double square_distance(double x, double reference) noexcept {
    const double d = x - reference;
    return d * d;
}

std::strong_ordering cmp_ascending(double a, double b, double reference) noexcept;
std::strong_ordering cmp_descending(double a, double b, double reference) noexcept;
std::strong_ordering cmp_nearest(double a, double b, double reference) noexcept;

// The orderings of the value modes, as a value: MAX takes keys in ascending
// order, MIN in descending order, GM the key nearest its reference.
enum class Order { ascending, descending, nearest };
// The comparison that defines an ordering.
CmpFn cmp_of(Order order) noexcept;

// The key under which cells leave in ascending (key, row) order when the
// reference is the same in every pass. MIN complements the key, so that the
// largest value goes first while equal values still go in ascending row order.
template <Order O>
inline std::uint64_t ordered_key(double x, double centre) noexcept {
    if constexpr (O == Order::ascending) {
        return order_key(x);
    } else if constexpr (O == Order::descending) {
        return ~order_key(x);
    } else {
        return order_key(square_distance(x, centre));
    }
}
inline std::uint64_t ordered_key(Order order, double x, double centre) noexcept {
    switch (order) {
        case Order::ascending: return ordered_key<Order::ascending>(x, centre);
        case Order::descending: return ordered_key<Order::descending>(x, centre);
        default: return ordered_key<Order::nearest>(x, centre);
    }
}
// The ordering of a value mode, or the internal failure
// "Cmp function required for this mode: [...]".
Order require_order(const Mode& mode);

// m - m / cols.
double rate_limit(double max_missing_per_column, std::size_t cols) noexcept;
// ceil(rows * cols * rate), as a saturating count.
std::size_t target_count(std::size_t rows, std::size_t cols, double rate) noexcept;

// A GM reference that came out NaN for a column with a cell left to lose (its
// distribution has a NaN parameter: the column held NaN or both infinities).
inline Unexpected<Error> nan_sample() { return refuse(ErrorKind::Internal, "Sample is nan"); }

// The removal of one generator, given the working matrix, the rate after the
// limit, and the number of cells to remove. What the caller's data makes
// impossible comes back as an error value, found by one check before the
// removal starts wherever the draws allow it; a Panic is a broken invariant.
class Generator {
public:
    virtual ~Generator() = default;
    virtual Outcome<void> drop(DataMatrix& matrix, double rate, std::size_t target) = 0;
    // "MAR[...]" or "MNAR[...]".
    virtual std::string repr() const = 0;
    // Caps the missing rate of a call.
    virtual double max_missing_per_column() const noexcept = 0;
};

}  // namespace porosa
