// Dictionaries named by `types=` are read once per path and kept for the process, within its
// kept budget (kept_memory).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "types/dictionary.hpp"

namespace tessrin {

/// The item types of the dictionary at `path`, read on first use and again only when the file
/// changes (size or modification time). Null with `error` set when it cannot be read.
/// Thread-safe: entries may run with the interpreter lock released.
std::shared_ptr<const ItemTypes> cached_item_types(const std::string& path,
                                                   DictionaryError& error);

/// Forgets every kept dictionary; returns the bytes they were counted for. Thread-safe.
std::size_t release_dictionaries() noexcept;

}  // namespace tessrin
