// Unstable parallel sort of text views in byte-wise order (bytes compared as
// unsigned, a proper prefix before its extensions).
#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

namespace porosa {

// Sorts `runs` slices on the pool, then merges them pairwise; small inputs are
// sorted in place on the calling thread.
void parallel_sort(std::vector<std::string_view>& views, std::size_t runs);

// Picks the number of runs from the size of the input and of the pool.
void parallel_sort(std::vector<std::string_view>& views);

}  // namespace porosa
