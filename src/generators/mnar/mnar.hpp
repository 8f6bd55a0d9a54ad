// MNAR: a cell goes missing by its own value (GM, MAX, MIN) or by a spatial
// pattern (BLOCK, BLOB).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/data_matrix.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/mode.hpp"
#include "generators/common/rng.hpp"

namespace porosa {

class MNAR final : public Generator {
public:
    MNAR(Mode mode, double max_missing_per_column, Rng rng) noexcept
        : mode_(mode), max_missing_per_column_(max_missing_per_column), rng_(rng) {}

    Outcome<void> drop(DataMatrix& matrix, double rate, std::size_t target) override;
    std::string repr() const override;

    double max_missing_per_column() const noexcept override { return max_missing_per_column_; }

private:
    Mode mode_;
    double max_missing_per_column_;
    Rng rng_;
};

// The pattern removal of BLOCK and BLOB; "Not a pattern!" for any other mode.
Outcome<void> drop_pattern(DataMatrix& matrix, const std::vector<std::size_t>& protected_cols, Rng& rng, const Mode& mode,
                  std::size_t target);

}  // namespace porosa
