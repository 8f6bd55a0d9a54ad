#include "generators/mar/gap_cells.hpp"

#include <algorithm>

#include "core/interrupt.hpp"
#include "generators/mar/gap_sweeps.hpp"

namespace porosa::mar {

namespace {

// Rows of at most this many cells span a few cache lines: the tasks read them
// in place.
constexpr std::size_t kCopyCols = 64;

double cell(const double* row, std::size_t col) { return col == kNoColumn ? missing_nan() : row[col]; }

// Chunks of rows, each read in order while its cells are spread to their places.
void copy_columns(const DataMatrix& data, const GapColumns& cols, double* miss, double* obs, Pool& pool) {
    const std::size_t rows = data.rows(), lanes = cols.lanes;
    constexpr std::size_t kChunk = 64;
    pool.run((rows + kChunk - 1) / kChunk, [&](std::size_t c) {
        const std::size_t r0 = c * kChunk, r1 = std::min(rows, r0 + kChunk);
        interrupt_point((r1 - r0) * (cols.miss.size() + cols.obs.size()));
        // Column by column for the missing ones, so that each writes one run.
        for (std::size_t s = 0; s < cols.miss.size(); ++s)
            for (std::size_t r = r0; r < r1; ++r) miss[s * rows + r] = data(r, cols.miss[s]);
        for (std::size_t r = r0; r < r1; ++r) {
            const double* row = data.data() + r * data.cols();
            for (std::size_t b = 0; b < cols.blocks(); ++b) {
                double* out = obs + (b * rows + r) * lanes;
                for (std::size_t l = 0; l < lanes; ++l) out[l] = cell(row, cols.obs[b * lanes + l]);
            }
        }
    });
}

}  // namespace

GapCells::GapCells(const DataMatrix& data, const GapColumns& cols, Pool& pool) : data_(data), cols_(cols) {
    if (data.cols() <= kCopyCols) return;
    // Every cell is written before it is read: no time goes into zeroing them.
    miss_ = std::make_unique_for_overwrite<double[]>(cols.miss.size() * data.rows());
    obs_ = std::make_unique_for_overwrite<double[]>(cols.obs.size() * data.rows());
    copy_columns(data, cols, miss_.get(), obs_.get(), pool);
}

RowWindow::RowWindow(const GapCells& cells)
    : cells_(cells), x_(TileFigures::kMiss), y_(TileFigures::kLanes / cells.cols().lanes) {
    if (cells.copied()) return;
    a_.resize(TileFigures::kMiss * kGapRows);
    b_.resize(TileFigures::kLanes * kGapRows);
}

void RowWindow::load(std::span<const std::size_t> slots, std::size_t b0, std::size_t nb, std::size_t r0,
                     std::size_t nr) {
    const GapColumns& cols = cells_.cols();
    const std::size_t lanes = cols.lanes;
    if (cells_.copied()) {
        for (std::size_t i = 0; i < slots.size(); ++i) x_[i] = cells_.miss_at(slots[i], r0);
        for (std::size_t b = 0; b < nb; ++b) y_[b] = cells_.obs_at(b0 + b, r0);
        return;
    }
    // The padding first, then the cells each row gives, by lists made once per
    // load so that the row loops only copy.
    src_.clear(), dst_.clear();
    for (std::size_t j = 0; j < nb * lanes; ++j) {
        const std::size_t col = cols.obs[b0 * lanes + j], at = (j / lanes) * kGapRows * lanes + j % lanes;
        if (col != kNoColumn) {
            src_.push_back(col), dst_.push_back(at);
            continue;
        }
        for (std::size_t r = 0; r < nr; ++r) b_[at + r * lanes] = missing_nan();
    }
    const DataMatrix& data = cells_.data();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const std::size_t col = cols.miss[slots[i]];
        for (std::size_t r = 0; r < nr; ++r) a_[i * kGapRows + r] = data(r0 + r, col);
    }
    for (std::size_t r = 0; r < nr; ++r) {
        const double* row = data.data() + (r0 + r) * data.cols();
        double* out = b_.data() + r * lanes;
        for (std::size_t k = 0; k < src_.size(); ++k) out[dst_[k]] = row[src_[k]];
    }
    for (std::size_t i = 0; i < slots.size(); ++i) x_[i] = &a_[i * kGapRows];
    for (std::size_t b = 0; b < nb; ++b) y_[b] = &b_[b * kGapRows * lanes];
}

}  // namespace porosa::mar
