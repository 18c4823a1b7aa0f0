#include "collect/kept_memory.hpp"

#include <atomic>

#include "platform/memory.hpp"

namespace tessrin {
namespace {

std::atomic<std::size_t> kept{0};

}  // namespace

bool reserve_kept(std::size_t bytes) noexcept {
  std::size_t now = kept.load(std::memory_order_relaxed);
  do {
    if (bytes > kKeptBudget - now) return false;
  } while (!kept.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
  return true;
}

void unreserve_kept(std::size_t bytes) noexcept {
  kept.fetch_sub(bytes, std::memory_order_relaxed);
}

void trim_allocator() noexcept { platform::trim_allocator(); }

}  // namespace tessrin
