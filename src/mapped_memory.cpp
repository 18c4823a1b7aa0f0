#include "mapped_memory.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessrin {
namespace {

// Parsing one file after another maps and unmaps the same column sizes again and again, and
// every fresh page costs a fault and a clear: more than a loop body's whole lexing. Released
// mappings are kept for the next parse, up to a bound. The kernel may take their pages back
// under memory pressure (MADV_FREE), so the bound costs nothing a busy machine needs.
constexpr std::size_t kCacheBytes = std::size_t{64} << 20;
constexpr std::size_t kCacheEntries = 64;

struct Mapping {
  void* pages;
  std::size_t bytes;
};

struct Cache {
  std::mutex mutex;
  std::vector<Mapping> free;  // released mappings
  std::size_t bytes = 0;
};

Cache& cache() {
  static Cache* instance = new Cache();  // never destroyed: buffers may outlive static teardown
  return *instance;
}

}  // namespace

#if defined(__linux__)

void* map_pages(std::size_t& bytes) noexcept {
  {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    // The smallest kept mapping that is large enough.
    auto best = c.free.end();
    for (auto it = c.free.begin(); it != c.free.end(); ++it) {
      if (it->bytes >= bytes && (best == c.free.end() || it->bytes < best->bytes)) best = it;
    }
    if (best != c.free.end()) {
      Mapping found = *best;
      c.free.erase(best);
      c.bytes -= found.bytes;
      bytes = found.bytes;
      return found.pages;
    }
  }
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void unmap_pages(void* pages, std::size_t bytes) noexcept {
  if (bytes <= kCacheBytes / 2) {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    if (c.bytes + bytes <= kCacheBytes && c.free.size() < kCacheEntries) {
      try {
        c.free.push_back(Mapping{pages, bytes});
      } catch (...) {
        munmap(pages, bytes);
        return;
      }
      c.bytes += bytes;
      madvise(pages, bytes, MADV_FREE);
      return;
    }
  }
  munmap(pages, bytes);
}

#else

void* map_pages(std::size_t&) noexcept { return nullptr; }
void unmap_pages(void*, std::size_t) noexcept {}

#endif

}  // namespace tessrin
