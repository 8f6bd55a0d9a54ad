// The generation mode: which cells a generator removes, with its parameters.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace porosa {

enum class Kind { GM, MAX, MIN, BLOCK, BLOB };

// "GM", "MAX", "MIN", "BLOCK" or "BLOB".
std::string_view kind_name(Kind kind) noexcept;

namespace mode {
// An unrecognised mode word, or a mode a generator refuses: a ValueError
// carrying exactly its text.
using Error = porosa::Error;
}  // namespace mode

struct Mode;

// A mode with the warnings about ignored parameters, in the order to issue them.
struct ModeWithWarnings;

struct Mode {
    Kind kind = Kind::GM;
    double mean = 0.5;                                 // GM
    double variance = 0.0;                             // GM
    std::pair<double, double> block_size{0.5, 0.5};    // BLOCK
    std::size_t n_blobs = 3;                           // BLOB

    static Expected<ModeWithWarnings, mode::Error> new_(std::string_view word, std::optional<double> mean,
                                                         std::optional<double> variance,
                                                         std::optional<std::pair<double, double>> block_size,
                                                         std::optional<std::size_t> n_blobs);

    bool is_pattern() const noexcept { return kind == Kind::BLOCK || kind == Kind::BLOB; }
};

struct ModeWithWarnings {
    Mode mode;
    std::vector<std::string> warnings;
};

}  // namespace porosa
