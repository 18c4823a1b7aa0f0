// Page memory from the operating system: mapping, growing, releasing, and hints about pages
// held in reserve or large enough for huge pages. Linux maps anonymous pages and grows them
// with mremap; other POSIX systems map them and grow by copying; Windows uses VirtualAlloc;
// anything else falls back to the C allocator. Every function is safe to call anywhere: a
// hint the system cannot take is a no-op, and a refusal is a null pointer.
#pragma once

#include <cstddef>

namespace tessrin::platform {

/// The granule mapped lengths are rounded to (a page on every supported system).
inline constexpr std::size_t kPageBytes = 4096;

/// Fresh read-write memory of `bytes` (a multiple of kPageBytes), or null when refused.
void* map_memory(std::size_t bytes) noexcept;

/// Gives back memory from map_memory or remap_memory of that length.
void unmap_memory(void* pages, std::size_t bytes) noexcept;

/// `pages` (of `old_bytes`) grown to `new_bytes`, its contents kept; possibly moved. Null
/// when refused, `pages` then still valid.
void* remap_memory(void* pages, std::size_t old_bytes, std::size_t new_bytes) noexcept;

/// The system may take these pages back under memory pressure (their contents are then
/// lost); they stay mapped and are used again without asking.
void advise_reclaimable(void* pages, std::size_t bytes) noexcept;

/// These pages are worth backing with huge pages (large columns walked end to end).
void advise_huge_pages(void* pages, std::size_t bytes) noexcept;

/// Hands the allocator's free memory back to the system, where it can (glibc keeps freed
/// heap memory for the process otherwise).
void trim_allocator() noexcept;

}  // namespace tessrin::platform
