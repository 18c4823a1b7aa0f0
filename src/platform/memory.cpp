#include "platform/memory.hpp"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#define TESSRIN_MEMORY_WINDOWS 1
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
#define TESSRIN_MEMORY_MMAP 1
#include <sys/mman.h>
#endif

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tessrin::platform {

#if defined(TESSRIN_MEMORY_MMAP)

void* map_memory(std::size_t bytes) noexcept {
#if defined(MAP_ANONYMOUS)
  constexpr int kAnonymous = MAP_ANONYMOUS;
#else
  constexpr int kAnonymous = MAP_ANON;
#endif
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | kAnonymous, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void unmap_memory(void* pages, std::size_t bytes) noexcept { munmap(pages, bytes); }

void* remap_memory(void* pages, std::size_t old_bytes, std::size_t new_bytes) noexcept {
#if defined(__linux__)
  // Moves the page table entries, not the bytes.
  void* grown = mremap(pages, old_bytes, new_bytes, MREMAP_MAYMOVE);
  return grown == MAP_FAILED ? nullptr : grown;
#else
  void* grown = map_memory(new_bytes);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, pages, old_bytes < new_bytes ? old_bytes : new_bytes);
  unmap_memory(pages, old_bytes);
  return grown;
#endif
}

void advise_reclaimable(void* pages, std::size_t bytes) noexcept {
#if defined(MADV_FREE)
  madvise(pages, bytes, MADV_FREE);
#else
  (void)pages;
  (void)bytes;
#endif
}

void advise_huge_pages(void* pages, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  madvise(pages, bytes, MADV_HUGEPAGE);
#else
  (void)pages;
  (void)bytes;
#endif
}

#elif defined(TESSRIN_MEMORY_WINDOWS)

void* map_memory(std::size_t bytes) noexcept {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_memory(void* pages, std::size_t) noexcept { VirtualFree(pages, 0, MEM_RELEASE); }

void* remap_memory(void* pages, std::size_t old_bytes, std::size_t new_bytes) noexcept {
  void* grown = map_memory(new_bytes);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, pages, old_bytes < new_bytes ? old_bytes : new_bytes);
  unmap_memory(pages, old_bytes);
  return grown;
}

void advise_reclaimable(void* pages, std::size_t bytes) noexcept {
  VirtualAlloc(pages, bytes, MEM_RESET, PAGE_READWRITE);
}

// Large pages need a privilege most accounts lack and must be asked for at allocation.
void advise_huge_pages(void*, std::size_t) noexcept {}

#else

void* map_memory(std::size_t bytes) noexcept { return std::malloc(bytes); }
void unmap_memory(void* pages, std::size_t) noexcept { std::free(pages); }
void* remap_memory(void* pages, std::size_t, std::size_t new_bytes) noexcept {
  return std::realloc(pages, new_bytes);
}
void advise_reclaimable(void*, std::size_t) noexcept {}
void advise_huge_pages(void*, std::size_t) noexcept {}

#endif

void trim_allocator() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace tessrin::platform
