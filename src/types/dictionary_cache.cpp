#include "types/dictionary_cache.hpp"

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "collect/kept_memory.hpp"
#include "platform/file.hpp"

namespace tessrin {
namespace {

struct Entry {
  std::shared_ptr<const ItemTypes> types;
  platform::FileStamp stamp;
  std::size_t bytes = 0;  // counted against the kept budget
};

// Native data only (no Python objects), so one cache serves the whole process.
struct Cache {
  std::mutex mutex;
  std::unordered_map<std::string, Entry> entries;
};

Cache& cache() {
  static Cache instance;
  return instance;
}

}  // namespace

std::shared_ptr<const ItemTypes> cached_item_types(const std::string& path,
                                                   DictionaryError& error) {
  Cache& c = cache();
  platform::FileStamp stamp;
  if (const int failure = platform::file_stamp(path.c_str(), stamp); failure != 0) {
    error.error_number = failure;
    error.message = "cannot read dictionary " + path + ": " + std::strerror(failure);
    return nullptr;
  }
  {
    std::lock_guard lock(c.mutex);
    const auto it = c.entries.find(path);
    if (it != c.entries.end() && it->second.stamp == stamp) return it->second.types;
  }
  // Read outside the lock: a large dictionary takes a while, and two threads reading the
  // same one at once only do the work twice.
  auto types = std::make_shared<const ItemTypes>(read_dictionary_file(path, error));
  if (!error.message.empty()) return nullptr;
  std::lock_guard lock(c.mutex);
  if (const auto it = c.entries.find(path); it != c.entries.end()) {
    unreserve_kept(it->second.bytes);
    c.entries.erase(it);
  }
  // Past the kept budget the types serve this call only.
  const std::size_t bytes = types->memory();
  if (reserve_kept(bytes)) c.entries.emplace(path, Entry{types, stamp, bytes});
  return types;
}

std::size_t release_dictionaries() noexcept {
  Cache& c = cache();
  std::lock_guard lock(c.mutex);
  std::size_t bytes = 0;
  for (const auto& [path, entry] : c.entries) bytes += entry.bytes;
  // A call that still uses a dictionary holds its own reference to it.
  c.entries.clear();
  unreserve_kept(bytes);
  return bytes;
}

}  // namespace tessrin
