#include "tables/table_export.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace tessrin {
namespace {

// --- arrays ----------------------------------------------------------------------------------

/// The memory behind one array: up to three buffers and the child arrays it owns.
struct ArrayMemory {
  std::vector<ReleasedMemory> buffers;
  std::vector<const void*> pointers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
  auto* memory = static_cast<ArrayMemory*>(array->private_data);
  for (ArrowArray& child : memory->children) {
    if (child.release != nullptr) child.release(&child);
  }
  for (ReleasedMemory& buffer : memory->buffers) buffer.free();
  delete memory;
  array->release = nullptr;
}

/// Never a null pointer, even for no bytes: some consumers of exported arrays insist.
template <class T>
ReleasedMemory take(PodBuffer<T>& buffer) {
  ReleasedMemory memory = buffer.release();
  if (memory.data == nullptr && (memory.data = std::malloc(sizeof(T))) == nullptr) {
    throw std::bad_alloc();
  }
  return memory;
}

/// An array of `rows` over the buffers that `memory` holds (validity first).
void make_array(std::size_t rows, std::size_t nulls, std::unique_ptr<ArrayMemory> memory,
                ArrowArray* out) {
  for (const ReleasedMemory& buffer : memory->buffers) memory->pointers.push_back(buffer.data);
  *out = ArrowArray{};
  out->length = static_cast<std::int64_t>(rows);
  out->null_count = static_cast<std::int64_t>(nulls);
  out->n_buffers = static_cast<std::int64_t>(memory->buffers.size());
  out->buffers = memory->pointers.data();
  out->private_data = memory.release();
  out->release = release_array;
}

/// A utf8 array over the three buffers; `validity` may be empty (no nulls).
void make_utf8(std::size_t rows, std::size_t nulls, PodBuffer<std::uint8_t>& validity,
               PodBuffer<std::uint32_t>& offsets, PodBuffer<char>& data, ArrowArray* out) {
  auto memory = std::make_unique<ArrayMemory>();
  if (offsets.empty()) offsets.push_back(0);
  memory->buffers.reserve(3);
  memory->buffers.push_back(nulls == 0 ? ReleasedMemory{} : take(validity));
  memory->buffers.push_back(take(offsets));
  memory->buffers.push_back(take(data));
  make_array(rows, nulls, std::move(memory), out);
}

/// An int64 or float64 array over its values; `validity` is left out when there are no nulls.
template <class T>
void make_fixed(std::size_t rows, std::size_t nulls, PodBuffer<std::uint8_t>& validity,
                PodBuffer<T>& values, ArrowArray* out) {
  auto memory = std::make_unique<ArrayMemory>();
  memory->buffers.reserve(2);
  memory->buffers.push_back(nulls == 0 ? ReleasedMemory{} : take(validity));
  memory->buffers.push_back(take(values));
  make_array(rows, nulls, std::move(memory), out);
}

/// The validity bitmap of a column's kinds; the number of nulls.
std::size_t validity_of(const PodBuffer<std::uint8_t>& kinds, PodBuffer<std::uint8_t>& out) {
  const std::size_t rows = kinds.size();
  std::uint8_t* bits = out.extend((rows + 7) / 8);
  std::memset(bits, 0, (rows + 7) / 8);
  std::size_t nulls = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    const bool valid = kinds[i] != kNullCell;
    bits[i / 8] |= static_cast<std::uint8_t>(valid) << (i % 8);
    nulls += !valid;
  }
  return nulls;
}

void column_array(TableColumn& column, ArrowArray* out) {
  PodBuffer<std::uint8_t> validity;
  const std::size_t nulls = validity_of(column.kinds(), validity);
  make_utf8(column.size(), nulls, validity, column.offsets(), column.data(), out);
  column.kinds().release().free();
}

/// The arrays of a column typed int64 or float64 (src/types): its values, then its
/// uncertainties when it has any. The text is no longer needed.
std::size_t typed_arrays(TableColumn& column, TypedColumn& typed, ArrowArray* out) {
  const std::size_t rows = column.size();
  if (typed.type == TypedColumn::Type::Int64) {
    make_fixed(rows, typed.null_count, typed.validity, typed.ints, out);
  } else {
    make_fixed(rows, typed.null_count, typed.validity, typed.reals, out);
  }
  if (typed.has_su) make_fixed(rows, typed.su_null_count, typed.su_validity, typed.sus, out + 1);
  column.data().release().free();
  column.offsets().release().free();
  column.kinds().release().free();
  return typed.has_su ? 2 : 1;
}

bool is_typed(const TableTyping* typing, std::size_t column) {
  return typing != nullptr && typing->columns[column].type != TypedColumn::Type::String;
}

/// The `block` column (frame = false) or the `frame` column of the table's rows.
void origin_array(const TableSet& set, const CategoryTable& table, bool frame, ArrowArray* out) {
  PodBuffer<std::uint8_t> validity;
  PodBuffer<std::uint32_t> offsets;
  PodBuffer<char> data;
  offsets.push_back(0);
  std::size_t nulls = 0;
  if (frame) std::memset(validity.extend((table.rows + 7) / 8), 0xff, (table.rows + 7) / 8);
  for (std::size_t r = 0; r < table.runs.size(); ++r) {
    const std::size_t end = r + 1 < table.runs.size() ? table.runs[r + 1].first_row : table.rows;
    const RowOrigin& origin = set.origins[table.runs[r].origin];
    const bool null = frame && origin.frame < 0;
    const std::string& name =
        set.names[frame ? static_cast<std::size_t>(null ? 0 : origin.frame) : origin.block];
    for (std::size_t row = table.runs[r].first_row; row < end; ++row) {
      if (null) {
        validity.data()[row / 8] &= static_cast<std::uint8_t>(~(1u << (row % 8)));
        ++nulls;
      } else {
        if (data.size() + name.size() > TableColumn::kMaxBytes) {
          throw ColumnTooLarge("the block and frame names of table '" + table.name +
                               "' need more text than an Arrow utf8 column holds");
        }
        std::memcpy(data.extend(name.size()), name.data(), name.size());
      }
      offsets.push_back(static_cast<std::uint32_t>(data.size()));
    }
  }
  make_utf8(table.rows, nulls, validity, offsets, data, out);
}

void batch_array(const TableSet& set, CategoryTable& table, TableTyping* typing,
                 std::size_t fields, ArrowArray* out) {
  auto memory = std::make_unique<ArrayMemory>();
  memory->children.resize(fields);
  memory->pointers.push_back(nullptr);  // a struct batch has no validity
  ArrowArray self{};
  self.private_data = memory.get();
  self.release = release_array;
  try {
    origin_array(set, table, false, &memory->children[0]);
    origin_array(set, table, true, &memory->children[1]);
    for (std::size_t i = 0, child = 2; i < table.columns.size(); ++i) {
      if (is_typed(typing, i)) {
        child += typed_arrays(table.columns[i], typing->columns[i], &memory->children[child]);
      } else {
        column_array(table.columns[i], &memory->children[child++]);
      }
    }
  } catch (...) {
    memory.release();
    release_array(&self);
    throw;
  }
  for (ArrowArray& child : memory->children) memory->child_pointers.push_back(&child);
  self.length = static_cast<std::int64_t>(table.rows);
  self.n_buffers = 1;
  self.buffers = memory->pointers.data();
  self.n_children = static_cast<std::int64_t>(memory->children.size());
  self.children = memory->child_pointers.data();
  memory.release();
  *out = self;
}

// --- schema ----------------------------------------------------------------------------------

struct SchemaMemory {
  std::string format;
  std::string name;
  std::string metadata;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
  auto* memory = static_cast<SchemaMemory*>(schema->private_data);
  for (ArrowSchema& child : memory->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete memory;
  schema->release = nullptr;
}

void make_field(std::string_view format, std::string_view name, bool nullable, ArrowSchema* out) {
  auto memory = std::make_unique<SchemaMemory>();
  memory->format.assign(format);
  memory->name.assign(name);
  *out = ArrowSchema{};
  out->format = memory->format.c_str();
  out->name = memory->name.c_str();
  out->flags = nullable ? ARROW_FLAG_NULLABLE : 0;
  out->private_data = memory.release();
  out->release = release_schema;
}

/// Field names are the columns' names; a name holding NUL cannot cross the C interface (its
/// names are C strings), so the NUL is written as U+FFFD there.
std::string field_name(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '\0') {
      out.append("\xef\xbf\xbd");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

/// Schema metadata in the C interface's encoding: pair count, then each key and value with
/// its length (32-bit, native byte order).
std::string encode_metadata(std::string_view key, std::string_view value) {
  std::string out;
  auto put = [&](std::string_view text) {
    const auto size = static_cast<std::int32_t>(text.size());
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out.append(text);
  };
  const std::int32_t pairs = 1;
  out.append(reinterpret_cast<const char*>(&pairs), sizeof pairs);
  put(key);
  put(value);
  return out;
}

struct StreamState {
  std::vector<std::string> names;
  std::vector<std::string_view> formats;  // "u" utf8, "l" int64, "g" float64
  std::string metadata;                   // encoded; empty for none
  ArrowArray batch{};
  bool given = false;
  std::string error;
};

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  try {
    ArrowSchema top{};
    make_field("+s", "", false, &top);
    auto* memory = static_cast<SchemaMemory*>(top.private_data);
    if (!state->metadata.empty()) {
      memory->metadata = state->metadata;
      top.metadata = memory->metadata.data();
    }
    memory->children.resize(state->names.size());
    for (std::size_t i = 0; i < state->names.size(); ++i) {
      make_field(state->formats[i], state->names[i], i != 0, &memory->children[i]);
    }
    for (ArrowSchema& child : memory->children) memory->child_pointers.push_back(&child);
    top.n_children = static_cast<std::int64_t>(memory->children.size());
    top.children = memory->child_pointers.data();
    *out = top;
    return 0;
  } catch (const std::bad_alloc&) {
    state->error = "out of memory";
    return ENOMEM;
  }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  if (state->given) {
    *out = ArrowArray{};  // release left null: the end of the stream
    return 0;
  }
  *out = state->batch;
  state->batch.release = nullptr;
  state->given = true;
  return 0;
}

const char* get_last_error(ArrowArrayStream* stream) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  return state->error.empty() ? nullptr : state->error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  if (state->batch.release != nullptr) state->batch.release(&state->batch);
  delete state;
  stream->release = nullptr;
}

}  // namespace

void export_table(const TableSet& set, CategoryTable& table, TableTyping* typing,
                  ArrowArrayStream* out) {
  auto state = std::make_unique<StreamState>();
  state->names.reserve(table.columns.size() + 2);
  state->names.emplace_back("block");
  state->names.emplace_back("frame");
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    state->names.push_back(field_name(table.columns[i].name()));
    if (!is_typed(typing, i)) continue;
    const TypedColumn& typed = typing->columns[i];
    if (typed.has_su) state->names.push_back(field_name(typing->su_names[i]));
  }
  state->formats.assign(state->names.size(), "u");
  for (std::size_t i = 0, field = 2; i < table.columns.size(); ++i, ++field) {
    if (!is_typed(typing, i)) continue;
    const TypedColumn& typed = typing->columns[i];
    state->formats[field] = typed.type == TypedColumn::Type::Int64 ? "l" : "g";
    if (typed.has_su) state->formats[++field] = "g";
  }
  if (typing != nullptr) state->metadata = encode_metadata(kTypesMetadataKey, typing->rules);
  batch_array(set, table, typing, state->names.size(), &state->batch);
  *out = ArrowArrayStream{};
  out->get_schema = get_schema;
  out->get_next = get_next;
  out->get_last_error = get_last_error;
  out->release = release_stream;
  out->private_data = state.release();
}

}  // namespace tessrin
