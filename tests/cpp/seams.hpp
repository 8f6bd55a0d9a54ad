// The knobs the tests turn inside the library, left out of its own headers:
// each function below is defined in the library next to the code it steers,
// which calls it with its own settings, and is declared only here. The types
// around them are the tests' conveniences.
#pragma once
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"
#include "generators/common/rng.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/mnar/removal.hpp"

namespace porosa::mar {

// The register widths in doubles that this build and processor can run,
// narrowest first.
std::vector<std::size_t> supported_lanes();

// best_predictors with `lanes` pairs per vector register.
std::vector<Predictor> best_predictors_in_lanes(const DataMatrix& data, std::span<const std::size_t> missing,
                                                std::span<const std::size_t> observed, Pool& pool,
                                                std::size_t lanes);

}  // namespace porosa::mar

namespace porosa::mnar {

// collect_blob with the cells kept in bitmaps (`grid`) or in a hash set.
std::vector<Position> collect_blob_in(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                      std::size_t unprotected, const BlobPlan& plan, bool grid);

enum class BlobStore { hash, grid };

inline std::vector<Position> collect_blob(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                          std::size_t unprotected, const BlobPlan& plan, BlobStore store) {
    return collect_blob_in(matrix, protected_cols, unprotected, plan, store == BlobStore::grid);
}

// drop_blocks with its knobs (see block.cpp); `counts` gains drawn, looked_at,
// redrawn and, once the tables are built, 1.
void drop_blocks_tuned(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                       std::pair<double, double> block_size, std::size_t target,
                       std::optional<std::size_t> literal_checks, std::size_t full_table_cols, bool scalar_batches,
                       std::size_t* counts);

// What a BLOCK call went through.
struct BlockStats {
    // Rectangles drawn, and those looked up in the free-cell bits.
    std::size_t drawn = 0, looked_at = 0;
    // Rectangles of batches drawn again one at a time.
    std::size_t redrawn = 0;
    bool tables_built = false;
};

// The knobs of drop_blocks_tuned, at the library's own settings unless set.
struct BlockTuning {
    std::optional<std::size_t> literal_checks;
    std::size_t full_table_cols = 64;
    bool scalar_batches = false;
    BlockStats* stats = nullptr;
};

inline void drop_blocks(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                        std::pair<double, double> block_size, std::size_t target, const BlockTuning& tuning) {
    std::size_t counts[4] = {};
    drop_blocks_tuned(matrix, protected_cols, rng, block_size, target, tuning.literal_checks, tuning.full_table_cols,
                      tuning.scalar_batches, counts);
    if (!tuning.stats) return;
    tuning.stats->drawn += counts[0], tuning.stats->looked_at += counts[1], tuning.stats->redrawn += counts[2];
    tuning.stats->tables_built = tuning.stats->tables_built || counts[3] != 0;
}

}  // namespace porosa::mnar
