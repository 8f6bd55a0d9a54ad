// Several threads driving the shared pool at once: whole removals of every
// mode, label encoding with its nested parallel sort, per-column distributions
// and NaN writes with repeated positions. Each result must equal the one computed
// alone, and built with -fsanitize=thread these runs must stay free of reports.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/mask.hpp"
#include "generators/common/mode.hpp"
#include "generators/common/rng.hpp"
#include "generators/mar/mar.hpp"
#include "generators/mnar/mnar.hpp"
#include "generators/utils/distribution.hpp"
#include "harness.hpp"
#include "encoding/label_encode.hpp"
#include "reference.hpp"

using porosa::DataMatrix;
using porosa::Kind;
using porosa::Position;

namespace {

constexpr std::uint64_t kNan = 0x7FF8000000000000ULL;

DataMatrix filled(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    porosa::Rng rng = porosa::rng_from_u64(seed);
    DataMatrix m(rows, cols);
    for (double& v : m.storage()) v = double(rng.index_below(1000)) / 7.0 - 60.0;
    return m;
}

bool same_bits(const DataMatrix& a, const DataMatrix& b) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (harness::bits(a.storage()[k]) != harness::bits(b.storage()[k])) return false;
    return true;
}

// Runs every job on its own thread, all released together.
template <class Job>
void all_at_once(std::vector<Job>& jobs) {
    std::atomic<std::size_t> ready{0};
    std::vector<std::thread> threads;
    for (auto& job : jobs)
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < jobs.size()) std::this_thread::yield();
            job();
        });
    for (auto& t : threads) t.join();
}

std::unique_ptr<porosa::Generator> make_generator(int which, std::uint64_t seed) {
    porosa::Mode mode;
    switch (which) {
        case 0: mode.kind = Kind::GM, mode.variance = 0.3; break;
        case 1: mode.kind = Kind::MAX; break;
        case 2: mode.kind = Kind::MIN; break;
        case 3: mode.kind = Kind::BLOCK, mode.block_size = {0.3, 0.2}; break;
        case 4: mode.kind = Kind::BLOB, mode.n_blobs = 6; break;
        case 5: mode.kind = Kind::GM, mode.mean = 0.3; break;
        default: mode.kind = Kind::MAX; break;
    }
    // The last two run MAR, whose removal correlates and chooses on the pool.
    if (which >= 5) return std::make_unique<porosa::MAR>(porosa::MAR::new_(mode, 0.8, seed).value());
    return std::make_unique<porosa::MNAR>(mode, 0.8, porosa::rng_from_u64(seed));
}

// Two calls on one instance; the second one's result.
DataMatrix removal(int which, std::uint64_t seed, const DataMatrix& data, double rate) {
    auto gen = make_generator(which, seed);
    DataMatrix m;
    for (int call = 0; call < 2; ++call) {
        m = data;
        MUST(gen->drop(m, rate, porosa::target_count(m.rows(), m.cols(), rate)));
    }
    return m;
}

}  // namespace

TEST(tsan, removals_from_many_threads_match_removals_alone) {
    const DataMatrix data = filled(240, 14, 3);
    constexpr int kJobs = 7;
    std::vector<DataMatrix> alone, together(kJobs);
    for (int j = 0; j < kJobs; ++j) alone.push_back(removal(j, 100 + j, data, 0.25));

    std::vector<std::function<void()>> jobs;
    for (int j = 0; j < kJobs; ++j) jobs.push_back([&, j] { together[j] = removal(j, 100 + j, data, 0.25); });
    all_at_once(jobs);
    for (int j = 0; j < kJobs; ++j) EXPECT_TRUE(same_bits(alone[j], together[j]));
}

TEST(tsan, label_encoding_with_nested_sorts_from_many_threads) {
    // Enough texts for the sort to split into runs on the pool, inside tasks
    // that are themselves running on it.
    std::vector<std::vector<std::string>> columns(4);
    porosa::Rng rng = porosa::rng_from_u64(11);
    for (auto& col : columns)
        for (int i = 0; i < 20000; ++i) {
            std::string text = "k";
            text += std::to_string(rng.index_below(3000));
            if (i % 97 == 0) text += "nan";
            col.push_back(std::move(text));
        }
    columns[3][17] = "nan";

    std::vector<std::vector<double>> alone;
    for (const auto& col : columns) alone.push_back(porosa::label_encode(col).first);

    std::vector<std::vector<double>> together(columns.size());
    std::vector<std::function<void()>> jobs;
    for (std::size_t j = 0; j < columns.size(); ++j)
        jobs.push_back([&, j] {
            // Columns encoded on the pool, as extraction does, each nesting its own steps.
            std::vector<std::vector<double>> out(2);
            porosa::parallel_for(2, [&](std::size_t k) { out[k] = porosa::label_encode(columns[j]).first; });
            together[j] = out[1 - j % 2];
        });
    all_at_once(jobs);
    for (std::size_t j = 0; j < columns.size(); ++j) {
        ASSERT_EQ(together[j].size(), alone[j].size());
        bool same = true;
        for (std::size_t i = 0; i < alone[j].size(); ++i)
            same = same && harness::bits(alone[j][i]) == harness::bits(together[j][i]);
        EXPECT_TRUE(same);
    }
}

TEST(tsan, distributions_from_many_threads) {
    const DataMatrix data = filled(500, 40, 5);
    const auto alone = porosa::get_distribution(0.4, 0.2, data);
    std::vector<std::vector<porosa::Gauss>> together(6);
    std::vector<std::function<void()>> jobs;
    for (std::size_t j = 0; j < together.size(); ++j)
        jobs.push_back([&, j] { together[j] = porosa::get_distribution(0.4, 0.2, data); });
    all_at_once(jobs);
    for (const auto& got : together) {
        ASSERT_EQ(got.size(), alone.size());
        for (std::size_t c = 0; c < got.size(); ++c) {
            EXPECT_BITEQ(got[c].mean, alone[c].mean);
            EXPECT_BITEQ(got[c].scale, alone[c].scale);
        }
    }
}

TEST(tsan, repeated_positions_written_by_several_workers) {
    // The same few cells again and again, spread over every chunk of the step,
    // while other threads write their own matrices through the same pool.
    constexpr std::size_t kRows = 64, kCols = 8;
    std::vector<Position> hot;
    for (int k = 0; k < 4000; ++k) hot.emplace_back(std::size_t(k % 5) * 7 % kRows, std::size_t(k % 3));
    std::vector<DataMatrix> matrices;
    for (int t = 0; t < 4; ++t) matrices.push_back(filled(kRows, kCols, 40 + t));
    const std::vector<DataMatrix> before = matrices;

    std::vector<std::size_t> counts(matrices.size());
    std::vector<std::function<void()>> jobs;
    for (std::size_t t = 0; t < matrices.size(); ++t)
        jobs.push_back([&, t] { counts[t] = porosa::remove(matrices[t], hot); });
    all_at_once(jobs);

    for (std::size_t t = 0; t < matrices.size(); ++t) {
        EXPECT_EQ(counts[t], hot.size());
        std::size_t changed = 0;
        bool only_hot = true;
        for (std::size_t r = 0; r < kRows; ++r)
            for (std::size_t c = 0; c < kCols; ++c) {
                const bool is_hot = c < 3 && r % 7 == 0 && r / 7 < 5;
                const std::uint64_t now = harness::bits(matrices[t](r, c));
                if (is_hot) {
                    changed += now == kNan;
                } else if (now != harness::bits(before[t](r, c))) {
                    only_hot = false;
                }
            }
        EXPECT_EQ(changed, std::size_t(15));
        EXPECT_TRUE(only_hot);
    }
}

TEST(tsan, a_failing_nested_step_leaves_other_callers_alone) {
    std::atomic<long> sum{0};
    std::atomic<int> caught{0};
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 6; ++t)
        jobs.push_back([&, t] {
            for (int rep = 0; rep < 20; ++rep) {
                try {
                    porosa::parallel_for(64, [&](std::size_t i) {
                        porosa::parallel_for(8, [&](std::size_t k) {
                            if (t == 0 && i == 40 && k == 3) porosa::panic("boom");
                            sum += long(k);
                        });
                    });
                } catch (const porosa::Panic& e) {
                    if (std::string(e.what()) == "boom") caught++;
                }
            }
        });
    all_at_once(jobs);
    EXPECT_EQ(caught.load(), 20);
    // Five callers saw every index; the failing one stopped early in each repetition.
    EXPECT_LE(5L * 20 * 64 * 28, sum.load());
    EXPECT_LT(sum.load(), 6L * 20 * 64 * 28);
}
