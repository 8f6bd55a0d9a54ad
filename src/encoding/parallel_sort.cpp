#include "encoding/parallel_sort.hpp"

#include <algorithm>
#include <utility>

#include "core/pool.hpp"

namespace porosa {

namespace {

// Below this many views per run a parallel step costs more than it saves.
constexpr std::size_t kMinRun = 8192;

struct MergeTask {
    std::size_t a_begin, a_end;  // slice of the left run
    std::size_t b_begin, b_end;  // slice of the right run
    std::size_t out;             // where the merged slice starts
};

// Splits the merge of src[lo, mid) and src[mid, hi) into up to `pieces`
// independent merges: every cut takes a pivot from the left run and the first
// element of the right run that is not less than it, so the pieces written
// side by side form one sorted range.
void plan_merge(const std::vector<std::string_view>& src, std::size_t lo, std::size_t mid, std::size_t hi,
                std::size_t pieces, std::vector<MergeTask>& tasks) {
    const std::size_t left = mid - lo;
    pieces = std::max<std::size_t>(1, std::min(pieces, left));
    std::size_t a_prev = lo, b_prev = mid;
    for (std::size_t p = 1; p <= pieces; ++p) {
        std::size_t a_cut, b_cut;
        if (p == pieces) {
            a_cut = mid;
            b_cut = hi;
        } else {
            a_cut = lo + left * p / pieces;
            b_cut = static_cast<std::size_t>(
                std::lower_bound(src.begin() + static_cast<std::ptrdiff_t>(b_prev),
                                 src.begin() + static_cast<std::ptrdiff_t>(hi), src[a_cut]) -
                src.begin());
        }
        tasks.push_back({a_prev, a_cut, b_prev, b_cut, lo + (a_prev - lo) + (b_prev - mid)});
        a_prev = a_cut;
        b_prev = b_cut;
    }
}

}  // namespace

void parallel_sort(std::vector<std::string_view>& views, std::size_t runs) {
    const std::size_t n = views.size();
    runs = std::min(runs, n);
    if (runs < 2) {
        std::sort(views.begin(), views.end());
        return;
    }
    std::vector<std::size_t> bounds(runs + 1);
    for (std::size_t k = 0; k <= runs; ++k) bounds[k] = n * k / runs;

    parallel_chunks(runs, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k)
            std::sort(views.begin() + static_cast<std::ptrdiff_t>(bounds[k]),
                      views.begin() + static_cast<std::ptrdiff_t>(bounds[k + 1]));
    });

    std::vector<std::string_view> scratch(n);
    std::vector<std::string_view>* src = &views;
    std::vector<std::string_view>* dst = &scratch;
    std::vector<MergeTask> tasks;
    while (bounds.size() > 2) {
        const std::size_t nruns = bounds.size() - 1;
        const std::size_t pairs = nruns / 2;
        // Keep every thread busy in the late rounds, when few pairs are left.
        const std::size_t pieces = std::max<std::size_t>(1, runs / std::max<std::size_t>(pairs, 1));
        tasks.clear();
        std::vector<std::size_t> next;
        next.reserve(nruns / 2 + 2);
        for (std::size_t p = 0; p < pairs; ++p) {
            plan_merge(*src, bounds[2 * p], bounds[2 * p + 1], bounds[2 * p + 2], pieces, tasks);
            next.push_back(bounds[2 * p]);
        }
        if (nruns % 2 == 1) {
            // The odd run out is carried over unchanged.
            std::size_t lo = bounds[nruns - 1];
            tasks.push_back({lo, n, n, n, lo});
            next.push_back(lo);
        }
        next.push_back(n);
        parallel_chunks(tasks.size(), 1, [&](std::size_t b, std::size_t e) {
            const auto& s = *src;
            auto& d = *dst;
            for (std::size_t t = b; t < e; ++t) {
                const MergeTask& m = tasks[t];
                std::merge(s.begin() + static_cast<std::ptrdiff_t>(m.a_begin),
                           s.begin() + static_cast<std::ptrdiff_t>(m.a_end),
                           s.begin() + static_cast<std::ptrdiff_t>(m.b_begin),
                           s.begin() + static_cast<std::ptrdiff_t>(m.b_end),
                           d.begin() + static_cast<std::ptrdiff_t>(m.out));
            }
        });
        std::swap(src, dst);
        bounds = std::move(next);
    }
    if (src != &views) views.swap(scratch);
}

void parallel_sort(std::vector<std::string_view>& views) {
    std::size_t by_size = views.size() / kMinRun;
    parallel_sort(views, std::min(by_size, Pool::global().threads()));
}

}  // namespace porosa
