// One process-wide budget for the memory that caches keep between calls to reuse it (released
// page mappings, the writer's buffers, a dataset conversion's gzip buffers, loaded
// dictionaries), whatever thread put it there: with many threads, a bound per thread would
// multiply.
#pragma once

#include <cstddef>

namespace tessrin {

inline constexpr std::size_t kKeptBudget = std::size_t{256} << 20;

/// Counts `bytes` more as kept when the budget has room for them; false, counting nothing,
/// when it has not (the caller then frees them instead of keeping them).
bool reserve_kept(std::size_t bytes) noexcept;

/// Counts `bytes` reserved before as no longer kept.
void unreserve_kept(std::size_t bytes) noexcept;

/// Hands the allocator's free memory back to the system, where it can (glibc keeps freed heap
/// memory for the process otherwise).
void trim_allocator() noexcept;

}  // namespace tessrin
