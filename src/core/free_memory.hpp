// Giving the allocator's free memory back to the system.
#pragma once

namespace porosa {

// After a step whose scratch came and went in many large pieces: the C library
// may keep them on its heap, where the resident size still counts them while
// the next step allocates afresh. Does nothing where the library has no such call.
void return_free_memory() noexcept;

}  // namespace porosa
