#include "core/cpu_features.hpp"

namespace porosa {

#if defined(__x86_64__) || defined(__i386__)
// The cpu model is filled by a constructor that may not have run yet when
// another constructor asks, so every probe fills it first.
bool cpu_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
bool cpu_has_avx512f() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}
#else
bool cpu_has_avx2() noexcept { return false; }
bool cpu_has_avx512f() noexcept { return false; }
#endif

}  // namespace porosa
