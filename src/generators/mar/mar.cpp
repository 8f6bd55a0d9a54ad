#include "generators/mar/mar.hpp"

#include <utility>

#include "core/numtext.hpp"
#include "core/pool.hpp"
#include "generators/mar/removal.hpp"

namespace porosa {

Expected<MAR, mode::Error> MAR::new_(Mode mode, double max_missing_per_column,
                                     std::optional<std::uint64_t> random_seed) {
    // The generator comes first, so an unseeded refusal still consumes its seed
    // like an accepted construction does.
    Rng rng = build_rng(random_seed);
    if (mode.is_pattern())
        return refuse(ErrorKind::Value, "Mode " + std::string(kind_name(mode.kind)) + " not supported for MAR yet.");
    return MAR(mode, max_missing_per_column, rng);
}

std::string MAR::repr() const {
    switch (mode_.kind) {
        case Kind::MAX: return "MAR[MAX]";
        case Kind::MIN: return "MAR[MIN]";
        default: return "MAR[" + number_text(mode_.mean) + "]";
    }
}

Outcome<void> MAR::drop(DataMatrix& matrix, double rate, std::size_t target) {
    return mar::run_removal_fast(mode_, max_missing_per_column_, rng_, matrix, rate, target, Pool::global());
}

}  // namespace porosa
