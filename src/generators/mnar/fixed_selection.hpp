// Removing the first candidates of columns in one fixed order: MAX, MIN, and
// GM with a reference that is the same in every pass. On tall columns a sample
// of rows brackets the last cell a column loses, and one sweep usually finds it
// inside the bracket; otherwise it is found by a radix search over row sweeps
// of the matrix, which needs neither a copy of the column nor a sort.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"
#include "generators/mnar/removal.hpp"

namespace porosa::mnar {

// One column's search for the last cell it loses, in (key, row) order. The
// candidates whose key starts with `prefix` (the bits above `shift`) are
// `matching`, and the cell sought is the `rank`-th of them.
struct Selection {
    std::size_t col;
    double centre;
    std::size_t rank;
    std::size_t matching;
    std::uint64_t prefix = 0;
    unsigned shift = 64;
    bool found = false;
    // Every candidate up to (last_key, last_row) goes.
    std::uint64_t last_key = ~std::uint64_t{0};
    std::size_t last_row = static_cast<std::size_t>(-1);

    bool matches(std::uint64_t k) const noexcept { return shift == 64 || (k >> shift) == (prefix >> shift); }
};

// Every candidate of each selected column, up to and including the cell sought,
// goes (the cell turns NaN).
void remove_selected(Pool& pool, DataMatrix& m, std::span<const std::size_t> prot, Order order,
                     std::vector<Selection>& sel, const ValuePassTuning& tuning);

}  // namespace porosa::mnar
