#include "generators/utils/gauss.hpp"

#include <cmath>
#include <cstdint>

#include "core/float_bits.hpp"
#include "generators/common/generator.hpp"
#include "generators/utils/centre.hpp"

namespace porosa {

Gauss transform(std::vector<double> column, double mean, double variance) {
    std::vector<std::uint64_t> keys;
    keys.reserve(column.size());
    for (double x : column)
        if (!std::isnan(x)) keys.push_back(order_key(x));
    return transform_keys(keys, column.size(), mean, variance);
}

std::vector<double> get_samples(std::span<const std::size_t> columns, const std::vector<Gauss>& dists, Rng& rng) {
    std::vector<double> out;
    out.reserve(columns.size());
    for (std::size_t c : columns) out.push_back(at(dists, c).sample(rng));
    return out;
}

}  // namespace porosa
