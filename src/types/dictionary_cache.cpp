#include "types/dictionary_cache.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace tessrin {
namespace {

struct Entry {
  std::shared_ptr<const ItemTypes> types;
  off_t size = 0;
  struct timespec modified {};
};

bool same_file(const Entry& entry, const struct stat& info) {
  return entry.size == info.st_size && entry.modified.tv_sec == info.st_mtim.tv_sec &&
         entry.modified.tv_nsec == info.st_mtim.tv_nsec;
}

}  // namespace

std::shared_ptr<const ItemTypes> cached_item_types(const std::string& path,
                                                   DictionaryError& error) {
  // Native data only (no Python objects), so one cache serves the whole process.
  static std::mutex mutex;
  static std::unordered_map<std::string, Entry> cache;

  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    error.error_number = errno;
    error.message = "cannot read dictionary " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  {
    std::lock_guard lock(mutex);
    const auto it = cache.find(path);
    if (it != cache.end() && same_file(it->second, info)) return it->second.types;
  }
  // Read outside the lock: a large dictionary takes a while, and two threads reading the
  // same one at once only do the work twice.
  auto types = std::make_shared<const ItemTypes>(read_dictionary_file(path, error));
  if (!error.message.empty()) return nullptr;
  std::lock_guard lock(mutex);
  cache.insert_or_assign(path, Entry{types, info.st_size, info.st_mtim});
  return types;
}

}  // namespace tessrin
