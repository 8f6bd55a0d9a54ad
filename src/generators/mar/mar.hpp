// MAR: a cell goes missing by the value of its column's predictor, the observed
// column most correlated with it.
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

class MAR final : public Generator {
public:
    MAR(Mode mode, double max_missing_per_column, Rng rng) noexcept
        : mode_(mode), max_missing_per_column_(max_missing_per_column), rng_(rng) {}

    // Refuses BLOCK and BLOB: "Mode BLOCK not supported for MAR yet.".
    static Expected<MAR, mode::Error> new_(Mode mode, double max_missing_per_column,
                                           std::optional<std::uint64_t> random_seed);

    Outcome<void> drop(DataMatrix& matrix, double rate, std::size_t target) override;
    std::string repr() const override;

    double max_missing_per_column() const noexcept override { return max_missing_per_column_; }

private:
    Mode mode_;
    double max_missing_per_column_;
    Rng rng_;
};

}  // namespace porosa
