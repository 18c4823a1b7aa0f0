#include "collect/mapped_memory.hpp"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "collect/kept_memory.hpp"
#include "platform/memory.hpp"

namespace tessrin {
namespace {

// Parsing one file after another maps and unmaps the same column sizes again and again, and
// every fresh page costs a fault and a clear: more than a loop body's whole lexing. Released
// mappings are kept for the next parse, up to a bound. Past the first kHotBytes the system
// may take their pages back under memory pressure (advise_reclaimable), so the bound costs
// little a busy machine needs; the first kHotBytes stay as they are, because marking pages free and
// writing them again cost a tenth of the time of parsing a mid-sized file once more. What is kept
// also counts against the process's kept budget (kept_memory).
constexpr std::size_t kCacheBytes = std::size_t{64} << 20;
constexpr std::size_t kHotBytes = std::size_t{32} << 20;
constexpr std::size_t kCacheEntries = 64;

struct Mapping {
  void* pages;
  std::size_t bytes;
  bool hot;  // not marked free
};

struct Cache {
  Cache() { free.reserve(kCacheEntries); }  // no allocation under the lock later
  std::mutex mutex;
  std::vector<Mapping> free;  // released mappings
  std::size_t bytes = 0;
  std::size_t hot_bytes = 0;
};

Cache& cache() {
  static Cache* instance = new Cache();  // never destroyed: buffers may outlive static teardown
  return *instance;
}

}  // namespace

// The cache is only ever tried, never waited for: a thread that finds it busy maps or unmaps
// directly. So no thread blocks on another, and a child forked while some thread held the
// lock (the lock is then held forever in the child) just never uses the cache.

void* map_pages(std::size_t& bytes) noexcept {
  if (Cache& c = cache(); c.mutex.try_lock()) {
    std::lock_guard lock(c.mutex, std::adopt_lock);
    // The smallest kept mapping that is large enough.
    auto best = c.free.end();
    for (auto it = c.free.begin(); it != c.free.end(); ++it) {
      if (it->bytes >= bytes && (best == c.free.end() || it->bytes < best->bytes)) best = it;
    }
    if (best != c.free.end()) {
      Mapping found = *best;
      c.free.erase(best);
      c.bytes -= found.bytes;
      if (found.hot) c.hot_bytes -= found.bytes;
      unreserve_kept(found.bytes);
      bytes = found.bytes;
      return found.pages;
    }
  }
  return platform::map_memory(bytes);
}

void unmap_pages(void* pages, std::size_t bytes) noexcept {
  if (Cache& c = cache(); bytes <= kCacheBytes / 2 && c.mutex.try_lock()) {
    std::lock_guard lock(c.mutex, std::adopt_lock);
    if (c.bytes + bytes <= kCacheBytes && c.free.size() < kCacheEntries && reserve_kept(bytes)) {
      const bool hot = c.hot_bytes + bytes <= kHotBytes;
      c.free.push_back(Mapping{pages, bytes, hot});
      c.bytes += bytes;
      if (hot) {
        c.hot_bytes += bytes;
      } else {
        platform::advise_reclaimable(pages, bytes);
      }
      return;
    }
  }
  platform::unmap_memory(pages, bytes);
}

std::size_t release_mapped_pages() noexcept {
  Cache& c = cache();
  // The others only try the lock, for a few instructions: waiting here is short. A child
  // forked while a thread held it finds it held forever, and gives up after a while.
  for (int tries = 0; !c.mutex.try_lock(); ++tries) {
    if (tries == 100000) return 0;
    std::this_thread::yield();
  }
  std::lock_guard lock(c.mutex, std::adopt_lock);
  const std::size_t bytes = c.bytes;
  for (const Mapping& m : c.free) platform::unmap_memory(m.pages, m.bytes);
  c.free.clear();
  c.bytes = c.hot_bytes = 0;
  unreserve_kept(bytes);
  return bytes;
}

}  // namespace tessrin
