#include "export/packed_batch.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <type_traits>

namespace tessrin {
namespace {

// A consumer may move a child out and release it after its parent (the C data interface
// allows it), so a block lives until the parent and every child have let go.
struct BlockHeader {
  std::atomic<std::int64_t> live;
  std::int64_t children;
  std::int64_t extra;         // schema: the block's size in bytes; array: the SharedBytes it holds
  BlockHeader* next_retired;  // array: the next block waiting to be freed
};

constexpr std::size_t round_up(std::size_t bytes) { return (bytes + 7) / 8 * 8; }

template <class T>
T* at(void* block, std::size_t offset) {
  return reinterpret_cast<T*>(static_cast<char*>(block) + offset);
}

void* allocate(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

[[noreturn]] void invalid(const std::string& message) {
  throw ExportError(ExportError::Kind::invalid, message);
}

// ---- schema ----

struct SchemaLayout {
  std::size_t children, pointers, metadata, text, total;
  SchemaLayout(std::size_t n, std::size_t metadata_bytes, std::size_t text_bytes)
      : children(round_up(sizeof(BlockHeader))),
        pointers(children + n * sizeof(ArrowSchema)),
        metadata(pointers + n * sizeof(ArrowSchema*)),  // NOLINT(bugprone-sizeof-expression)
        text(metadata + round_up(metadata_bytes)),
        total(text + text_bytes) {}
};

const char* format_of(ArrowType type) {
  switch (type) {
    case NANOARROW_TYPE_INT32:
      return "i";
    case NANOARROW_TYPE_INT64:
      return "l";
    case NANOARROW_TYPE_DOUBLE:
      return "g";
    case NANOARROW_TYPE_STRING:
      return "u";
    default:
      invalid("a column of an Arrow type the batches do not use");
  }
}

void drop_schema_block(void* block) {
  if (static_cast<BlockHeader*>(block)->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::free(block);
  }
}

// ---- array ----

struct ArrayLayout {
  std::size_t children, pointers, buffers, shares, total;
  ArrayLayout(std::size_t n, std::size_t n_shares)
      : children(round_up(sizeof(BlockHeader))),
        pointers(children + n * sizeof(ArrowArray)),
        buffers(pointers + n * sizeof(ArrowArray*)),  // NOLINT(bugprone-sizeof-expression)
        shares(buffers + (1 + 3 * n) * sizeof(const void*)),
        total(shares + n_shares * sizeof(SharedBytes)) {}
};

std::span<SharedBytes> shares_of(void* block) {
  const auto& header = *static_cast<BlockHeader*>(block);
  const ArrayLayout layout(static_cast<std::size_t>(header.children),
                           static_cast<std::size_t>(header.extra));
  return {at<SharedBytes>(block, layout.shares), static_cast<std::size_t>(header.extra)};
}

void free_array_block(void* block) {
  for (SharedBytes& share : shares_of(block)) share.~SharedBytes();
  std::free(block);
}

// Consumers free batches while they hold the interpreter lock (pyarrow does, when the last
// Python reference goes), and freeing the dozens of small buffers of a batch took a third of
// that time: two threads parsing files then waited on each other. Small blocks are only
// queued there, and freed by the next pack_array, which runs without the lock. Blocks with
// large buffers go at once, so their pages return to the mapping cache for the next parse.
constexpr std::int64_t kRetiredBlockBytes = std::int64_t{64} * 1024;  // queued only below this
constexpr std::int64_t kMaxRetiredBytes = 16 << 20;  // and while the queue holds less

std::atomic<BlockHeader*> retired{nullptr};
std::atomic<std::int64_t> retired_bytes{0};

void drop_array_block(void* block) {
  auto* header = static_cast<BlockHeader*>(block);
  if (header->live.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  std::int64_t bytes = 0;
  for (const SharedBytes& share : shares_of(block)) bytes += share.size();
  if (bytes >= kRetiredBlockBytes ||
      retired_bytes.load(std::memory_order_relaxed) + bytes > kMaxRetiredBytes) {
    free_array_block(block);
    return;
  }
  retired_bytes.fetch_add(bytes, std::memory_order_relaxed);
  header->next_retired = retired.load(std::memory_order_relaxed);
  while (!retired.compare_exchange_weak(header->next_retired, header, std::memory_order_release,
                                        std::memory_order_relaxed)) {
  }
}

}  // namespace

std::size_t free_retired_blocks() noexcept {
  if (retired.load(std::memory_order_relaxed) == nullptr) return 0;
  // Taking the whole queue at once leaves no node another thread could pop twice.
  BlockHeader* next = retired.exchange(nullptr, std::memory_order_acquire);
  std::int64_t bytes = 0;
  while (next != nullptr) {
    BlockHeader* block = next;
    next = block->next_retired;
    for (const SharedBytes& share : shares_of(block)) bytes += share.size();
    free_array_block(block);
  }
  retired_bytes.fetch_sub(bytes, std::memory_order_relaxed);
  return static_cast<std::size_t>(bytes);
}

namespace {

// The release callbacks of a packed schema or array (T) and of its children.
template <class T, void (*Drop)(void*)>
void release_child(T* child) {
  child->release = nullptr;
  Drop(child->private_data);
}

template <class T, void (*Drop)(void*)>
void release_root(T* root) {
  for (std::int64_t i = 0; i < root->n_children; ++i) {
    T* child = root->children[i];
    if (child->release != nullptr) child->release(child);
  }
  root->release = nullptr;
  Drop(root->private_data);
}

std::int64_t n_buffers_of(ArrowType type) { return type == NANOARROW_TYPE_STRING ? 3 : 2; }

std::int64_t width_of(ArrowType type) { return type == NANOARROW_TYPE_INT32 ? 4 : 8; }

// Buffer sizes and end offsets, as a consumer relies on them: constant time per column.
void check_column(const Field& field, std::int64_t rows) {
  const Column& column = *field.column;
  auto fail = [&](const char* what) {
    invalid("column '" + std::string(field.name) + "': " + what);
  };
  if (column.length != rows) fail("length differs from its batch");
  if (column.null_count < 0 || column.null_count > rows) fail("null count out of range");
  const SharedBytes& validity = column.buffers[0];
  if (column.null_count != 0 && (!validity || validity.size() < (rows + 7) / 8)) {
    fail("validity bitmap missing or short");
  }
  format_of(column.type);
  if (column.type != NANOARROW_TYPE_STRING) {
    if (!column.buffers[1] || column.buffers[1].size() < rows * width_of(column.type)) {
      fail("values buffer short");
    }
    return;
  }
  const SharedBytes& offsets = column.buffers[1];
  if (!offsets || !column.buffers[2] || offsets.size() < (rows + 1) * 4) {
    fail("offsets buffer short");
  }
  const auto* offset = offsets.as<const std::int32_t>();
  if (offset[0] < 0 || offset[rows] < offset[0] || offset[rows] > column.buffers[2].size()) {
    fail("offsets outside its text");
  }
}

}  // namespace

void pack_schema(std::span<const Field> fields, std::span<const char> metadata, ArrowSchema* out) {
  const std::size_t n = fields.size();
  std::size_t text_bytes = 3;  // "+s"
  for (const Field& field : fields) {
    text_bytes += std::strlen(format_of(field.column->type)) + 1 + field.name.size() + 1;
  }
  const SchemaLayout layout(n, metadata.size(), text_bytes);
  void* block = allocate(layout.total);
  new (block) BlockHeader{{static_cast<std::int64_t>(n) + 1},
                          static_cast<std::int64_t>(n),
                          static_cast<std::int64_t>(layout.total),
                          nullptr};
  auto* children = at<ArrowSchema>(block, layout.children);
  auto* pointers = at<ArrowSchema*>(block, layout.pointers);
  char* text = at<char>(block, layout.text);
  auto copy = [&](std::string_view from) {
    char* start = text;
    std::memcpy(text, from.data(), from.size());
    text += from.size();
    *text++ = '\0';
    return start;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const Field& field = fields[i];
    ArrowSchema* child = &children[i];
    *child = ArrowSchema{};
    child->format = copy(format_of(field.column->type));
    child->name = copy(field.name);
    child->flags = field.nullable ? ARROW_FLAG_NULLABLE : 0;
    child->release = &release_child<ArrowSchema, drop_schema_block>;
    child->private_data = block;
    pointers[i] = child;
  }
  *out = ArrowSchema{};
  out->format = copy("+s");
  if (!metadata.empty()) {
    char* bytes = at<char>(block, layout.metadata);
    std::memcpy(bytes, metadata.data(), metadata.size());
    out->metadata = bytes;
  }
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = static_cast<std::int64_t>(n);
  out->children = pointers;
  out->release = &release_root<ArrowSchema, drop_schema_block>;
  out->private_data = block;
}

void copy_packed_schema(const ArrowSchema& schema, ArrowSchema* out) {
  const void* old_block = schema.private_data;
  const auto& header = *static_cast<const BlockHeader*>(old_block);
  const auto bytes = static_cast<std::size_t>(header.extra);
  void* block = allocate(bytes);
  std::memcpy(block, old_block, bytes);
  new (block) BlockHeader{{header.children + 1}, header.children, header.extra, nullptr};
  // Every pointer into the old block moves by the same distance.
  const std::ptrdiff_t shift = static_cast<char*>(block) - static_cast<const char*>(old_block);
  auto moved = [&](auto* pointer) {
    using T = std::remove_cv_t<std::remove_pointer_t<decltype(pointer)>>;
    return pointer == nullptr
               ? nullptr
               : reinterpret_cast<T*>(reinterpret_cast<char*>(const_cast<T*>(pointer)) + shift);
  };
  *out = schema;
  out->format = moved(schema.format);
  out->metadata = moved(schema.metadata);
  out->children = moved(schema.children);
  out->private_data = block;
  for (std::int64_t i = 0; i < header.children; ++i) {
    ArrowSchema*& child = out->children[i];
    child = moved(child);
    child->format = moved(child->format);
    child->name = moved(child->name);
    child->private_data = block;
  }
}

void pack_array(std::span<const Field> fields, std::int64_t rows, ArrowArray* out) {
  free_retired_blocks();
  const std::size_t n = fields.size();
  std::size_t n_shares = 0;
  for (const Field& field : fields) {
    check_column(field, rows);
    for (const SharedBytes& buffer : field.column->buffers) n_shares += buffer ? 1 : 0;
  }
  const ArrayLayout layout(n, n_shares);
  void* block = allocate(layout.total);
  new (block) BlockHeader{{static_cast<std::int64_t>(n) + 1},
                          static_cast<std::int64_t>(n),
                          static_cast<std::int64_t>(n_shares),
                          nullptr};
  auto* children = at<ArrowArray>(block, layout.children);
  auto* pointers = at<ArrowArray*>(block, layout.pointers);
  auto* buffers = at<const void*>(block, layout.buffers);
  auto* share = at<SharedBytes>(block, layout.shares);
  buffers[0] = nullptr;  // the struct array itself has no nulls
  const void** next_buffers = buffers + 1;
  for (std::size_t i = 0; i < n; ++i) {
    const Column& column = *fields[i].column;
    ArrowArray* child = &children[i];
    *child = ArrowArray{};
    child->length = rows;
    child->null_count = column.null_count;
    child->n_buffers = n_buffers_of(column.type);
    child->buffers = next_buffers;
    for (std::int64_t b = 0; b < child->n_buffers; ++b) {
      const SharedBytes& bytes = column.buffers[static_cast<std::size_t>(b)];
      // A validity bitmap is left out where no cell is null, as consumers expect.
      const bool shown = bytes && (b != 0 || column.null_count != 0);
      next_buffers[b] = shown ? bytes.data() : nullptr;
      if (bytes) new (share++) SharedBytes(bytes);
    }
    next_buffers += child->n_buffers;
    child->release = &release_child<ArrowArray, drop_array_block>;
    child->private_data = block;
    pointers[i] = child;
  }
  *out = ArrowArray{};
  out->length = rows;
  out->n_buffers = 1;
  out->buffers = buffers;
  out->n_children = static_cast<std::int64_t>(n);
  out->children = pointers;
  out->release = &release_root<ArrowArray, drop_array_block>;
  out->private_data = block;
}

}  // namespace tessrin
