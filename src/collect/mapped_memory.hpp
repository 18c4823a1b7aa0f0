// Page mappings for large value columns, with a small process-wide cache of released ones.
#pragma once

#include <cstddef>

namespace tessrin {

/// A fresh or recycled read-write mapping of at least `bytes` (a multiple of the page size);
/// `bytes` is set to its actual length. Null when the system refuses.
void* map_pages(std::size_t& bytes) noexcept;

/// Gives back a mapping from map_pages (possibly grown by platform::remap_memory since).
void unmap_pages(void* pages, std::size_t bytes) noexcept;

/// Unmaps every kept mapping; returns their bytes. Thread-safe.
std::size_t release_mapped_pages() noexcept;

}  // namespace tessrin
