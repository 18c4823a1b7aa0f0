// The collected parse: every block, save frame, tag, loop and value as native text, with
// every diagnostic. Built only by RawBuilder, consumed by exactly one exporter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "parse/error.hpp"
#include "collect/pod_buffer.hpp"

namespace tessrin {

/// One value that is not a plain scalar of a column: a list, a table, or (rarely) a scalar
/// too large for a column's packed storage. Nested values are destroyed with an explicit
/// stack, so a value nested a million levels deep cannot overflow the C stack.
struct RawValue {
  enum class Kind : std::uint8_t { Scalar, List, Table };

  Kind kind = Kind::Scalar;
  std::string text;               // Scalar
  std::vector<RawValue> items;    // List items, or Table values
  std::vector<std::string> keys;  // Table keys, parallel to items (case kept, repeats kept)

  RawValue() = default;
  explicit RawValue(Kind k) : kind(k) {}
  RawValue(RawValue&&) noexcept = default;
  RawValue& operator=(RawValue&& other) noexcept {
    RawValue old(std::move(*this));  // released iteratively by its destructor
    kind = other.kind;
    text = std::move(other.text);
    items = std::move(other.items);
    keys = std::move(other.keys);
    return *this;
  }
  RawValue(const RawValue&) = delete;
  RawValue& operator=(const RawValue&) = delete;
  ~RawValue() {
    if (items.empty()) return;
    std::vector<RawValue> stack = std::move(items);
    while (!stack.empty()) {
      RawValue last = std::move(stack.back());
      stack.pop_back();
      for (RawValue& child : last.items) stack.push_back(std::move(child));
      last.items.clear();  // children were moved out: no recursion here
    }
  }
};

/// The ordered values of one tag. Scalars, the bulk of every file, are packed column-wise the
/// way Arrow lays out a string array (one text buffer plus 32-bit offsets), so the columnar
/// export can hand the buffers over without copying. Containers live beside them, keyed by
/// their position.
class ValueList {
 public:
  /// Largest text buffer that 32-bit Arrow offsets can address.
  static constexpr std::size_t kMaxPackedBytes = std::numeric_limits<std::int32_t>::max();

  // The offsets start empty and get their leading 0 with the first value, so an empty list
  // (every tag of a loop without rows, every frame's new tag) allocates nothing.
  ValueList() = default;

  std::size_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  bool empty() const noexcept { return offsets_.empty(); }

  [[gnu::always_inline]] void append_scalar(std::string_view text) {
    if (offsets_.empty() || data_.size() + text.size() > kMaxPackedBytes) [[unlikely]] {
      append_scalar_slowly(text);
      return;
    }
    char* out = data_.extend(text.size());  // null while the buffer is empty
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    offsets_.push_back(static_cast<std::uint32_t>(data_.size()));
  }

  /// Most values are copied as one fixed block of this many bytes, instead of with a copy
  /// whose branches follow the length of each value.
  static constexpr std::size_t kBlock = 16;

  /// True when `text` is at most one block long with a block readable from its start.
  static bool fits_block(std::string_view text, const char* readable_end) noexcept {
    return text.size() <= kBlock && readable_end - text.data() >= std::ptrdiff_t{kBlock};
  }

  /// append_scalar for a text that lies in a buffer readable up to `readable_end`.
  [[gnu::always_inline]] void append_scalar(std::string_view text, const char* readable_end) {
    if (!fits_block(text, readable_end) || offsets_.empty() ||
        data_.size() + kBlock > kMaxPackedBytes) [[unlikely]] {
      append_scalar(text);
      return;
    }
    char* out = data_.room(kBlock);
    data_.commit(text.size());
    offsets_.push_back(static_cast<std::uint32_t>(data_.size()));
    std::memcpy(out, text.data(), kBlock);  // last: a char store may alias any field above
  }

  /// Appends texts from `count` values, every `stride`-th one from `first`, for as long as
  /// each fits_block and `plain(value)` says it is stored as it stands; returns how many were
  /// appended. The sizes stay in registers for the whole run instead of being stored and
  /// reloaded around every copy.
  template <class Value, class Plain>
  [[gnu::always_inline]] std::size_t append_block_run(const Value* first, std::size_t count,
                                                      std::size_t stride,
                                                      const char* readable_end, Plain&& plain) {
    if (offsets_.empty() || data_.size() + count * kBlock > kMaxPackedBytes) return 0;
    char* const data = data_.room(count * kBlock);
    std::uint32_t* const offsets = offsets_.room(count);
    const auto base = static_cast<std::uint32_t>(data_.size());
    std::size_t size = 0;
    std::size_t k = 0;
    for (; k < count; ++k) {
      const Value& value = first[k * stride];
      if (!fits_block(value.text(), readable_end) || !plain(value)) break;
      std::memcpy(data + size, value.begin, kBlock);
      size += static_cast<std::size_t>(value.end - value.begin);
      offsets[k] = base + static_cast<std::uint32_t>(size);
    }
    data_.commit(size);
    offsets_.commit(k);
    return k;
  }

  void append_value(RawValue&& value) {
    if (offsets_.empty()) offsets_.push_back(0);
    others_.emplace_back(size(), std::move(value));
    offsets_.push_back(offsets_.back());
  }

  /// Scalar text of value `i`; meaningful only when `i` is not among `others()`.
  std::string_view packed(std::size_t i) const noexcept {
    return std::string_view(base() + offsets_[i], offsets_[i + 1] - offsets_[i]);
  }

  /// Where each value stood in the source: per value two words, the byte offsets of its
  /// token's start and end (delimiters included), or kNoOrigin twice for a value the source
  /// does not hold as one token (a list, a table, an inserted placeholder). Recorded only by
  /// a builder asked to keep origins; empty otherwise.
  static constexpr std::uint64_t kNoOrigin = std::numeric_limits<std::uint64_t>::max();
  void append_origin(std::uint64_t start, std::uint64_t end) {
    std::uint64_t* out = origins_.extend(2);
    out[0] = start;
    out[1] = end;
  }
  std::span<const std::uint64_t> origins() const noexcept { return origins_.span(); }

  /// Values stored out of line, by ascending position.
  const std::vector<std::pair<std::size_t, RawValue>>& others() const noexcept { return others_; }

  std::string_view data() const noexcept { return {base(), data_.size()}; }
  /// size() + 1 offsets, or none at all for an empty list.
  std::span<const std::uint32_t> offsets() const noexcept { return offsets_.span(); }
  PodBuffer<char>& mutable_data() noexcept { return data_; }
  /// The offsets in Arrow's layout: always size() + 1 entries, starting with 0.
  PodBuffer<std::uint32_t>& mutable_offsets() {
    if (offsets_.empty()) offsets_.push_back(0);
    return offsets_;
  }

  /// Calls `scalar(i, text)` or `other(i, value)` for every value in order.
  template <class OnScalar, class OnOther>
  void for_each(OnScalar&& scalar, OnOther&& other) const {
    std::size_t next_other = 0;
    for (std::size_t i = 0, n = size(); i < n; ++i) {
      if (next_other < others_.size() && others_[next_other].first == i) {
        other(i, others_[next_other].second);
        ++next_other;
      } else {
        scalar(i, packed(i));
      }
    }
  }

 private:
  /// The packed text, never a null pointer (callers hand views to memcpy, even empty ones).
  const char* base() const noexcept { return data_.data() != nullptr ? data_.data() : ""; }

  [[gnu::noinline]] void append_scalar_slowly(std::string_view text) {
    if (offsets_.empty()) offsets_.push_back(0);
    if (data_.size() + text.size() > kMaxPackedBytes) {
      RawValue big;
      big.text.assign(text);
      append_value(std::move(big));
      return;
    }
    append_scalar(text);
  }

  PodBuffer<char> data_;
  PodBuffer<std::uint32_t> offsets_;
  std::vector<std::pair<std::size_t, RawValue>> others_;
  PodBuffer<std::uint64_t> origins_;
};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

/// The distinct tag names of one parse, each stored once. Files with many blocks repeat one
/// set of tags in every block (a chemical-component file has thousands): a frame refers to
/// the pooled copy instead of owning one per tag. Views stay valid while the pool lives,
/// moves included.
class TagPool {
 public:
  std::string_view intern(std::string_view tag) {
    auto it = tags_.find(tag);
    if (it == tags_.end()) it = tags_.emplace(tag).first;
    return *it;
  }

 private:
  std::unordered_set<std::string, StringHash, std::equal_to<>> tags_;
};

/// Positions of a frame's tags, keyed by the address of the pooled name: open addressing
/// with linear probing in one array, no allocation per tag.
class TagIndex {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  bool empty() const noexcept { return count_ == 0; }
  std::size_t size() const noexcept { return count_; }

  std::size_t find(const char* key, const std::vector<std::string_view>& order) const noexcept {
    if (slots_.empty()) return npos;
    for (std::size_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
      const std::uint32_t entry = slots_[i];
      if (entry == 0) return npos;
      if (order[entry - 1].data() == key) return entry - 1;
    }
  }

  /// Adds `order[position]`, which must not be present yet.
  void insert(std::size_t position, const std::vector<std::string_view>& order) {
    if ((count_ + 1) * 2 > slots_.size()) rehash(order);
    place(position, order);
    ++count_;
  }

 private:
  std::size_t home(const char* key) const noexcept {
    // Fibonacci hashing of the address; its low bits are alignment, its high bits the heap.
    const auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)) *
                   0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
  }

  void place(std::size_t position, const std::vector<std::string_view>& order) {
    std::size_t i = home(order[position].data());
    while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = static_cast<std::uint32_t>(position + 1);
  }

  void rehash(const std::vector<std::string_view>& order) {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, 0);
    for (std::uint32_t entry : old) {
      if (entry != 0) place(entry - 1, order);
    }
  }

  std::vector<std::uint32_t> slots_;  // position + 1; 0 marks a free slot
  std::size_t count_ = 0;
};

/// Tags, values and loops of one block or save frame.
struct FrameData {
  std::vector<std::string_view> tag_order;        // every distinct tag, first-seen order (pooled)
  std::vector<std::vector<std::size_t>> loops;    // per loop: positions in tag_order, header order
  std::vector<ValueList> values;                  // parallel to tag_order: each tag's values
  TagIndex index;                                 // built only for frames with many tags
  std::vector<bool> looped;                       // parallel to tag_order: a loop holds it

  /// Position of `tag` (a name from the parse's TagPool) in tag_order, adding it (with no
  /// values) when new. Small frames (most save frames of a dictionary, most blocks of a
  /// chemical-component file) are searched linearly; the index is built once a frame
  /// outgrows that. Pooled names are equal exactly when their addresses are.
  std::size_t slot(std::string_view tag) {
    static constexpr std::size_t kLinearLimit = 16;
    if (index.empty()) {
      for (std::size_t i = 0; i < tag_order.size(); ++i) {
        if (tag_order[i].data() == tag.data()) return i;
      }
      if (tag_order.size() >= kLinearLimit) {
        for (std::size_t i = 0; i < tag_order.size(); ++i) index.insert(i, tag_order);
      }
    } else if (std::size_t found = index.find(tag.data(), tag_order); found != TagIndex::npos) {
      return found;
    }
    tag_order.push_back(tag);
    values.emplace_back();
    looped.push_back(false);
    if (!index.empty()) index.insert(tag_order.size() - 1, tag_order);
    return tag_order.size() - 1;
  }
};

struct ParsedSaveFrame {
  std::string name;  // lower-cased
  FrameData data;
};

struct ParsedBlock {
  std::string name;  // lower-cased
  FrameData data;
  std::vector<ParsedSaveFrame> save_frames;  // in the order they were closed
};

struct ParsedCif {
  std::uint8_t version = 0;  // 0 is CIF 1.1, anything else CIF 2.0
  TagPool tags;              // every frame's tag names point here
  std::vector<ParseDiagnostic> errors;
  TextPool diagnostic_texts;  // the contexts and recovery actions `errors` view
  std::vector<ParsedBlock> blocks;
};

}  // namespace tessrin
