#include "generators/mnar/mnar.hpp"

#include <array>
#include <cmath>
#include <numeric>
#include <string>

#include "core/interrupt.hpp"
#include "core/numtext.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/common/mask.hpp"
#include "generators/common/pass_plan.hpp"
#include "generators/mnar/removal.hpp"
#include "generators/utils/distribution.hpp"

namespace porosa {

namespace mnar {

std::optional<std::size_t> drop_cols_literal(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                             std::size_t col, CmpFn cmp, double reference) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    const double* data = matrix.data();
    std::optional<std::size_t> best;
    double best_key = 0.0;
    for (std::size_t r = 0; r < rows; ++r) {
        double key = data[r * cols + col];
        if (std::isnan(key) || protected_cols[r] == col) continue;
        if (!best || cmp(best_key, key, reference) == std::strong_ordering::greater) {
            best = r;
            best_key = key;
        }
    }
    return best;
}

Outcome<void> drop_values_literal(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                  Rng& rng, CmpFn cmp, const std::vector<Gauss>* dists, std::size_t target) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    if (protected_cols.size() < rows) panic_index(rows - 1, protected_cols.size());

    // Candidates left per column, so that a pass which finds nothing can tell
    // "the picked columns are exhausted" from "the whole matrix is" in O(1).
    std::vector<std::size_t> candidates(cols, 0);
    std::size_t candidates_total = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        interrupt_point(cols);
        const double* row = matrix.data() + r * cols;
        for (std::size_t c = 0; c < cols; ++c) {
            if (!std::isnan(row[c]) && protected_cols[r] != c) ++candidates[c];
        }
    }
    for (std::size_t n : candidates) candidates_total += n;

    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> picked;
    std::vector<double> references;
    std::vector<std::size_t> chosen;
    std::vector<Position> positions;
    std::size_t removed = 0;
    while (removed < target) {
        // A pass costs at least a draw per column; its scans check on the pool.
        interrupt_point(cols);
        const std::size_t rem = target - removed;
        if (rem >= cols) {
            picked.resize(cols);
            std::iota(picked.begin(), picked.end(), std::size_t{0});
        } else {
            picked = reservoir_sample(rng, cols, rem);
        }
        if (dists) {
            references = get_samples(picked, *dists, rng);
        } else {
            references.assign(picked.size(), 0.0);
        }
        // Every reference of the pass is drawn before any column is looked at,
        // so checking them here, in list order, reports the same failure the
        // per-column check would, whatever the number of workers. A column
        // with nothing left to lose yields nothing, whatever its reference.
        for (std::size_t i = 0; i < picked.size(); ++i) {
            if (std::isnan(references[i]) && candidates[picked[i]] > 0) return nan_sample();
        }

        chosen.assign(picked.size(), kNone);
        pool.run(picked.size(), [&](std::size_t i) {
            if (auto row = drop_cols_literal(matrix, protected_cols, picked[i], cmp, references[i])) chosen[i] = *row;
        });

        positions.clear();
        for (std::size_t i = 0; i < picked.size(); ++i) {
            if (chosen[i] != kNone) positions.emplace_back(chosen[i], picked[i]);
        }
        if (positions.empty()) {
            // A sampled pass can miss the columns that still have candidates;
            // only an exhausted matrix ends the call.
            if (candidates_total == 0) return {};
            continue;
        }
        removed += remove(matrix, positions);
        for (const auto& position : positions) --candidates[position.second];
        candidates_total -= positions.size();
    }
    return {};
}

Outcome<void> check_input(const Mode& mode, const DataMatrix& matrix, std::size_t target) {
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    // A column without rows has no GM centre.
    if (mode.kind == Kind::GM && rows == 0 && cols > 0) return refuse(ErrorKind::Internal, out_of_bounds(0, 0));
    // The protection draw takes a column for every row, and one for all rows in BLOCK.
    if (cols == 0 && (rows > 0 || mode.kind == Kind::BLOCK))
        return refuse(ErrorKind::Internal, "cannot sample empty range");
    if (mode.kind == Kind::BLOB && target > 0) return check_blob_count(mode.n_blobs);
    return {};
}

}  // namespace mnar

Outcome<void> MNAR::drop(DataMatrix& matrix, double /*rate*/, std::size_t target) {
    RETURN_IF_ERROR(mnar::check_input(mode_, matrix, target));
    // The protection draw runs on every call, even when nothing is to be
    // removed, so that every call advances the generator the same way.
    const std::array<std::size_t, 2> shape{matrix.rows(), matrix.cols()};
    const std::vector<std::size_t> protected_cols = fix(shape, rng_, mode_);
    if (target == 0) return {};

    if (mode_.is_pattern()) return drop_pattern(matrix, protected_cols, rng_, mode_, target);
    std::vector<Gauss> dists;
    if (mode_.kind == Kind::GM) dists = get_distribution(mode_.mean, mode_.variance, matrix);
    return mnar::drop_values_fast(Pool::global(), matrix, protected_cols, rng_, require_order(mode_),
                                  mode_.kind == Kind::GM ? &dists : nullptr, target);
}

std::string MNAR::repr() const {
    switch (mode_.kind) {
        case Kind::GM:
            return "MNAR[" + number_text(mode_.mean) + "]";
        case Kind::MAX:
            return "MNAR[MAX]";
        case Kind::MIN:
            return "MNAR[MIN]";
        case Kind::BLOCK:
            return "MNAR[Blocks(" + number_text(mode_.block_size.first) + ", " +
                   number_text(mode_.block_size.second) + ")]";
        case Kind::BLOB:
            return "MNAR[Blobs(" + std::to_string(mode_.n_blobs) + ")]";
    }
    return "MNAR[]";
}

}  // namespace porosa
