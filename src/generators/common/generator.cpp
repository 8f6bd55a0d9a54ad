#include "generators/common/generator.hpp"

#include <cmath>
#include <string>

#include "core/panic.hpp"

namespace porosa {

std::strong_ordering cmp_ascending(double a, double b, double) noexcept { return total_cmp(a, b); }

std::strong_ordering cmp_descending(double a, double b, double) noexcept { return total_cmp(b, a); }

std::strong_ordering cmp_nearest(double a, double b, double reference) noexcept {
    return total_cmp(square_distance(a, reference), square_distance(b, reference));
}

CmpFn cmp_of(Order order) noexcept {
    switch (order) {
        case Order::ascending: return cmp_ascending;
        case Order::descending: return cmp_descending;
        case Order::nearest: return cmp_nearest;
    }
    return cmp_nearest;
}

Order require_order(const Mode& mode) {
    switch (mode.kind) {
        case Kind::GM: return Order::nearest;
        case Kind::MAX: return Order::ascending;
        case Kind::MIN: return Order::descending;
        default: panic("Cmp function required for this mode: [" + std::string(kind_name(mode.kind)) + "]");
    }
}

double rate_limit(double max_missing_per_column, std::size_t cols) noexcept {
    return max_missing_per_column - max_missing_per_column / static_cast<double>(cols);
}

std::size_t target_count(std::size_t rows, std::size_t cols, double rate) noexcept {
    return saturating_count(std::ceil(static_cast<double>(rows * cols) * rate));
}

}  // namespace porosa
