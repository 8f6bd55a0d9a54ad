#include "generators/common/gauss.hpp"

#include "core/panic.hpp"

namespace porosa {

std::vector<double> get_samples(std::span<const std::size_t> columns, const std::vector<Gauss>& dists, Rng& rng) {
    std::vector<double> out;
    out.reserve(columns.size());
    for (std::size_t c : columns) out.push_back(at(dists, c).sample(rng));
    return out;
}

}  // namespace porosa
