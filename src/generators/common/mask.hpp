// Protecting one cell per row, and writing NaN into chosen cells.
#pragma once
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/data_matrix.hpp"
#include "generators/common/mode.hpp"
#include "generators/common/rng.hpp"

namespace porosa {

// (row, column).
using Position = std::pair<std::size_t, std::size_t>;

// One protected column per row: a single random column for BLOCK, else one draw per row.
std::vector<std::size_t> fix(std::span<const std::size_t> shape, Rng& rng, const Mode& mode);

// Writes NaN into every listed cell, in parallel; returns the length of the list.
std::size_t remove(DataMatrix& matrix, std::span<const Position> positions);

}  // namespace porosa
