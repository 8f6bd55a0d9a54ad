#include "generators/mar/removal.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstdint>
#include <numeric>
#include <utility>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "generators/utils/distribution.hpp"

namespace porosa::mar {

std::size_t missing_column_count(std::size_t cols, double rate, double max_missing_per_column) noexcept {
    return saturating_count(std::ceil(static_cast<double>(cols) * rate / max_missing_per_column));
}

std::vector<std::size_t> shuffle_columns(std::size_t cols, Rng& rng) {
    std::vector<std::size_t> order(cols);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (cols < 2) return order;

    constexpr std::uint64_t kMax = 0xFFFFFFFFull;
    // Position 0 can only swap with itself: a free use of the value 0.
    std::uint64_t value = 0;
    std::uint64_t uses = 1;
    for (std::size_t i = 0; i < cols; ++i) {
        const std::uint64_t bound = std::uint64_t(i) + 1;
        if (uses == 0) {
            // The product of as many consecutive bounds as fit in 32 bits; one
            // index below it encodes the draws of that many positions.
            std::uint64_t product = bound;
            uses = 1;
            while (product <= kMax / (bound + uses)) {
                product *= bound + uses;
                ++uses;
            }
            value = rng.index_below(product);
        }
        std::uint64_t j;
        if (uses == 1) {
            j = value;
        } else {
            j = value % bound;
            value /= bound;
        }
        --uses;
        std::swap(order[i], order[j]);
    }
    return order;
}

std::vector<Pair> pairs(std::span<const std::size_t> missing, std::span<const Predictor> records) {
    std::vector<Pair> out(missing.size());
    for (std::size_t i = 0; i < missing.size(); ++i) out[i] = {missing[i], records[i].column};
    return out;
}

std::optional<std::size_t> choose_row_literal(const DataMatrix& matrix, Pair pair, double reference, CmpFn cmp) {
    std::optional<std::size_t> best;
    double best_key = 0.0;
    for (std::size_t r = 0; r < matrix.rows(); ++r) {
        if (std::isnan(matrix(r, pair.missing))) continue;
        const double key = matrix(r, pair.predictor);
        if (!best || cmp(best_key, key, reference) == std::strong_ordering::greater) {
            best = r;
            best_key = key;
        }
    }
    return best;
}

static bool has_value(const DataMatrix& matrix, std::size_t col) {
    for (std::size_t r = 0; r < matrix.rows(); ++r)
        if (!std::isnan(matrix(r, col))) return true;
    return false;
}

Outcome<std::vector<Position>> drop_cols(const DataMatrix& matrix, std::span<const Pair> pairs,
                                         std::span<const double> references, CmpFn cmp, Pool& pool) {
    if (references.size() < pairs.size()) panic_index(pairs.size() - 1, references.size());
    // Checked here, in pair order, rather than by the workers, so that which
    // failure wins never depends on scheduling. A pair with no cell left to
    // lose yields nothing, whatever its reference.
    for (std::size_t i = 0; i < pairs.size(); ++i)
        if (std::isnan(references[i]) && has_value(matrix, pairs[i].missing)) return nan_sample();

    std::vector<std::optional<std::size_t>> rows(pairs.size());
    pool.run(pairs.size(), [&](std::size_t i) { rows[i] = choose_row_literal(matrix, pairs[i], references[i], cmp); });

    std::vector<Position> positions;
    positions.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i)
        if (rows[i]) positions.emplace_back(*rows[i], pairs[i].missing);
    return positions;
}

Outcome<void> check_input(std::size_t n, const DataMatrix& matrix) {
    if (n > matrix.cols()) return refuse(ErrorKind::Internal, out_of_bounds(n, matrix.cols()));
    if (matrix.rows() == 0 || matrix.cols() == 0)
        return refuse(ErrorKind::Internal, "Failed to calculate pearson_correlation: EmptyInput");
    return {};
}

Outcome<Setup> prepare_removal(const Mode& mode, double max_missing_per_column, Rng& rng, const DataMatrix& matrix,
                               double rate, Pool& pool) {
    const std::size_t cols = matrix.cols();
    const std::size_t n = missing_column_count(cols, rate, max_missing_per_column);
    // The shuffle's draws stay made when the check fails, as the contract has it.
    const std::vector<std::size_t> order = shuffle_columns(cols, rng);
    RETURN_IF_ERROR(check_input(n, matrix));
    Setup setup;
    setup.missing.assign(order.begin(), order.begin() + std::ptrdiff_t(n));
    const std::span<const std::size_t> observed(order.data() + n, cols - n);

    // Everything that reads the data does so before the first cell goes.
    setup.pairs = pairs(setup.missing, best_predictors(matrix, setup.missing, observed, pool));
    setup.order = require_order(mode);
    if (mode.kind == Kind::GM) setup.dists = get_distribution(mode.mean, mode.variance, matrix);
    return setup;
}

Outcome<void> run_passes(DataMatrix& matrix, const Setup& setup, std::size_t target, Rng& rng, Pool& pool) {
    const std::size_t n = setup.pairs.size();
    const bool gm = setup.order == Order::nearest;
    std::vector<double> references(n, 0.0);
    std::size_t removed = 0;
    while (removed < target) {
        interrupt_point(n);
        const std::size_t k = std::min(n, target - removed);
        // GM draws for every missing column, even those left out of a short pass.
        if (gm) references = get_samples(setup.missing, setup.dists, rng);
        ASSIGN_OR_RETURN(const std::vector<Position> positions,
                         drop_cols(matrix, std::span<const Pair>(setup.pairs).first(k),
                                   std::span<const double>(references).first(k), cmp_of(setup.order), pool));
        // Every pass offers the same first k pairs, and a pair without a
        // candidate never regains one: a pass that yields nothing is final.
        if (positions.empty()) return {};
        removed += remove(matrix, positions);
    }
    return {};
}

Outcome<void> run_removal(const Mode& mode, double max_missing_per_column, Rng& rng, DataMatrix& matrix,
                          double rate, std::size_t target, Pool& pool) {
    ASSIGN_OR_RETURN(const Setup setup, prepare_removal(mode, max_missing_per_column, rng, matrix, rate, pool));
    if (target == 0) return {};
    return run_passes(matrix, setup, target, rng, pool);
}

Outcome<void> run_removal_fast(const Mode& mode, double max_missing_per_column, Rng& rng, DataMatrix& matrix,
                               double rate, std::size_t target, Pool& pool) {
    ASSIGN_OR_RETURN(const Setup setup, prepare_removal(mode, max_missing_per_column, rng, matrix, rate, pool));
    if (target == 0) return {};
    return run_passes_fast(matrix, setup, target, rng, pool);
}

}  // namespace porosa::mar
