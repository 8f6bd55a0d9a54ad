// Where the sweeps over pairs with gaps read their cells: the columns that take
// part, and blocks of their rows laid out for the sweeps.
#pragma once
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"

namespace porosa::mar {

inline constexpr std::size_t kNoColumn = ~std::size_t{0};
// Rows per step of a sweep.
inline constexpr std::size_t kGapRows = 128;

// The columns that take part: the missing ones by slot, the observed ones in
// blocks of `lanes` side by side (kNoColumn pads a block).
struct GapColumns {
    std::size_t lanes = 0;
    std::vector<std::size_t> miss, obs;
    std::size_t blocks() const { return obs.size() / lanes; }
};

// The cells of those columns. Picking a few cells out of a long row costs a
// cache miss each, and every task picks them again, so on wide data they are
// copied once into the layout the sweeps read; short rows are read in place.
class GapCells {
public:
    GapCells(const DataMatrix& data, const GapColumns& cols, Pool& pool);
    const DataMatrix& data() const { return data_; }
    const GapColumns& cols() const { return cols_; }
    bool copied() const { return miss_ != nullptr; }
    // The copy: miss[slot * rows + r], obs[(block * rows + r) * lanes + lane].
    const double* miss_at(std::size_t slot, std::size_t r) const { return miss_.get() + slot * data_.rows() + r; }
    const double* obs_at(std::size_t block, std::size_t r) const {
        return obs_.get() + (block * data_.rows() + r) * cols_.lanes;
    }

private:
    const DataMatrix& data_;
    const GapColumns& cols_;
    std::unique_ptr<double[]> miss_, obs_;
};

// One task's view of kGapRows rows at a time: for each of its missing slots,
// the cells one after the other; for each of its observed blocks, the rows'
// `lanes` cells side by side (NaN in the padding).
class RowWindow {
public:
    explicit RowWindow(const GapCells& cells);
    void load(std::span<const std::size_t> slots, std::size_t b0, std::size_t nb, std::size_t r0, std::size_t nr);
    const double* x(std::size_t i) const { return x_[i]; }
    const double* y(std::size_t b) const { return y_[b]; }

private:
    const GapCells& cells_;
    std::vector<double> a_, b_;  // the panels the cells are gathered into when not copied
    std::vector<std::size_t> src_, dst_;  // an observed cell's column, and its place in b_ for row 0
    std::vector<const double*> x_, y_;
};

}  // namespace porosa::mar
