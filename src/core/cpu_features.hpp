// What the processor can run beyond the baseline the build targets, for the
// kernels that pick a wider path at run time.
#pragma once

namespace porosa {

// Each answer also checks that the system saves the wide registers; false on
// processors of other families.
bool cpu_has_avx2() noexcept;
bool cpu_has_avx512f() noexcept;

}  // namespace porosa
