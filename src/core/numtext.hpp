// Number texts: the shortest decimal that reads back to the same double, always
// positional, a whole number without a point, "inf", "-inf" and "NaN".
#pragma once
#include <string>

namespace porosa {

std::string number_text(double value);

}  // namespace porosa
