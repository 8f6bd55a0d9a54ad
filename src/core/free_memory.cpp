#include "core/free_memory.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace porosa {

void return_free_memory() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace porosa
