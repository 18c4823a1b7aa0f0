#include "export/record_batch.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <utility>

#include <arrow/array/builder_binary.h>
#include <arrow/array/concatenate.h>
#include <arrow/array/util.h>
#include <arrow/buffer.h>
#include <arrow/type.h>
#include <arrow/util/bit_util.h>

#include "export/field_name.hpp"
#include "export/json_cell.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace tessrin {
namespace {

using ArrayPtr = std::shared_ptr<arrow::Array>;

constexpr std::int64_t kMaxText = static_cast<std::int64_t>(ValueList::kMaxPackedBytes);

// The five leading fields are the same in every batch; build them once.
const std::vector<std::shared_ptr<arrow::Field>>& leading_fields() {
  static const std::vector<std::shared_ptr<arrow::Field>> fields = {
      arrow::field("_tessrin_block_idx", arrow::int32(), false),
      arrow::field("_block_name", arrow::utf8(), false),
      arrow::field("_frame_idx", arrow::int32(), true),
      arrow::field("_frame_name", arrow::utf8(), true),
      arrow::field("_loop_id", arrow::utf8(), false),
  };
  return fields;
}

// A name as an error message shows it: long ones cut at a character boundary.
std::string_view shown(std::string_view name) {
  constexpr std::size_t kLimit = 60;
  if (name.size() <= kLimit) return name;
  std::size_t cut = kLimit;
  while (cut > 0 && is_continuation(static_cast<unsigned char>(name[cut]))) --cut;
  return name.substr(0, cut);
}

std::string describe(const BatchOrigin& origin) {
  std::string where;
  auto quote = [&](std::string_view name) {
    where.append("'").append(shown(name)).append(name.size() > shown(name).size() ? "...'" : "'");
  };
  if (origin.frame_name) {
    where.append("save frame ");
    quote(*origin.frame_name);
    where.append(" of ");
  }
  where.append("block ");
  quote(origin.block_name);
  return where;
}

arrow::Status text_too_large(std::string_view what, std::int64_t bytes,
                             const BatchOrigin& origin) {
  return arrow::Status::CapacityError(what, " of ", describe(origin), " needs ", bytes,
                                      " bytes of text, more than the ", kMaxText,
                                      " that an Arrow utf8 column can hold");
}

// Memory of a value list handed to Arrow as it is; freed when Arrow lets go of it.
class ReleasedBuffer final : public arrow::Buffer {
 public:
  template <class T>
  static std::shared_ptr<arrow::Buffer> take(PodBuffer<T>& buffer) {
    const auto size = static_cast<std::int64_t>(buffer.size() * sizeof(T));
    ReleasedMemory memory = buffer.release();
    // Never a null pointer, even for no bytes: consumers of exported arrays may insist.
    if (memory.data == nullptr && (memory.data = std::malloc(1)) == nullptr) {
      throw std::bad_alloc();
    }
    return std::make_shared<ReleasedBuffer>(memory, size);
  }

  ReleasedBuffer(ReleasedMemory memory, std::int64_t size)
      : arrow::Buffer(static_cast<const std::uint8_t*>(memory.data), size), memory_(memory) {}
  ~ReleasedBuffer() override { memory_.free(); }

 private:
  ReleasedMemory memory_;
};

// The leading columns are built on malloc too, not in Arrow's pool: written once and handed
// over like the value columns, they would otherwise leave the pool's allocator holding several
// times their size.

/// `count` copies of `value`.
template <class T>
std::shared_ptr<arrow::Buffer> filled(std::size_t count, T value) {
  PodBuffer<T> buffer;
  std::fill_n(buffer.extend(count), count, value);
  return ReleasedBuffer::take(buffer);
}

/// `bytes` zero bytes. Large ones come as fresh pages, which stay shared and cost no memory.
std::shared_ptr<arrow::Buffer> zeros(std::size_t bytes) {
  void* memory = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (memory == nullptr) throw std::bad_alloc();
  return std::make_shared<ReleasedBuffer>(ReleasedMemory{memory, 0},
                                          static_cast<std::int64_t>(bytes));
}

/// A column of `rows` nulls: one zero buffer serves as validity bitmap, values and offsets.
ArrayPtr nulls(const std::shared_ptr<arrow::DataType>& type, std::int64_t rows) {
  auto zero = zeros(static_cast<std::size_t>(rows + 1) * 4);
  std::vector<std::shared_ptr<arrow::Buffer>> buffers{zero, zero};
  if (type->id() == arrow::Type::STRING) buffers.push_back(zero);
  return arrow::MakeArray(arrow::ArrayData::Make(type, rows, std::move(buffers), rows));
}

ArrayPtr constant_int32(std::int32_t value, std::int64_t rows) {
  const auto count = static_cast<std::size_t>(rows);
  auto values = value == 0 ? zeros(count * sizeof(value)) : filled(count, value);
  return arrow::MakeArray(arrow::ArrayData::Make(arrow::int32(), rows, {nullptr, values}, 0));
}

arrow::Result<ArrayPtr> constant_utf8(std::string_view text, std::int64_t rows,
                                      std::string_view what, const BatchOrigin& origin) {
  const auto len = static_cast<std::int64_t>(text.size());
  if (len != 0 && rows > kMaxText / len) return text_too_large(what, len * rows, origin);
  PodBuffer<std::int32_t> offsets;
  PodBuffer<char> data;
  std::int32_t* offset = offsets.extend(static_cast<std::size_t>(rows) + 1);
  char* out = data.extend(static_cast<std::size_t>(len * rows));
  for (std::int64_t r = 0; r < rows; ++r) {
    offset[r] = static_cast<std::int32_t>(r * len);
    if (len != 0) std::memcpy(out + r * len, text.data(), text.size());
  }
  offset[rows] = static_cast<std::int32_t>(rows * len);
  return arrow::MakeArray(arrow::ArrayData::Make(
      arrow::utf8(), rows, {nullptr, ReleasedBuffer::take(offsets), ReleasedBuffer::take(data)},
      0));
}

// A ragged loop's shorter columns, or a plain tag with fewer values than another, get nulls at
// the end. The text buffer is shared; only offsets and a validity bitmap are new.
arrow::Result<ArrayPtr> pad_with_nulls(const ArrayPtr& column, std::int64_t rows) {
  const std::int64_t n = column->length();
  if (n == 0) return nulls(arrow::utf8(), rows);
  if (column->null_count() != 0) {
    return arrow::Concatenate({column, nulls(arrow::utf8(), rows - n)});
  }
  const arrow::ArrayData& in = *column->data();
  const std::int32_t* old_offsets = in.GetValues<std::int32_t>(1);  // already shifted by offset
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> offsets,
                        arrow::AllocateBuffer((rows + 1) * 4));
  auto* offset = offsets->mutable_data_as<std::int32_t>();
  std::memcpy(offset, old_offsets, static_cast<std::size_t>(n + 1) * 4);
  std::fill(offset + n + 1, offset + rows + 1, old_offsets[n]);
  const std::int64_t bitmap_bytes = arrow::bit_util::BytesForBits(rows);
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> validity,
                        arrow::AllocateBuffer(bitmap_bytes));
  std::memset(validity->mutable_data(), 0, static_cast<std::size_t>(bitmap_bytes));
  arrow::bit_util::SetBitsTo(validity->mutable_data(), 0, n, true);
  return arrow::MakeArray(arrow::ArrayData::Make(arrow::utf8(), rows,
                                                 {validity, offsets, in.buffers[2]}, rows - n));
}

bool has_marked_scalar(const ValueList& list) noexcept {
  const std::string_view data = list.data();
  const std::span<const std::uint32_t> offsets = list.offsets();
  for (std::size_t i = 0, n = list.size(); i < n; ++i) {
    if (offsets[i] != offsets[i + 1] && data[offsets[i]] == '\0') return true;
  }
  return false;
}

// The column of one tag's values. The value list is emptied: packed scalars hand their buffers
// to Arrow as they are (uint32 offsets below 2^31 are valid int32 offsets); a list with
// containers or NUL-led scalars is copied once, those values as NUL-marked JSON.
arrow::Result<ArrayPtr> take_column(ValueList& list, std::string_view tag,
                                    const BatchOrigin& origin) {
  const auto n = static_cast<std::int64_t>(list.size());
  if (list.others().empty() && !has_marked_scalar(list)) {
    std::shared_ptr<arrow::Buffer> data = ReleasedBuffer::take(list.mutable_data());
    std::shared_ptr<arrow::Buffer> offsets = ReleasedBuffer::take(list.mutable_offsets());
    list = ValueList();
    return arrow::MakeArray(
        arrow::ArrayData::Make(arrow::utf8(), n, {nullptr, offsets, data}, 0));
  }

  // The rewritten cells first, back to back, so the builder can reserve the exact text size.
  std::string cells;
  std::vector<std::size_t> cell_ends;
  std::size_t replaced = 0;  // packed bytes that a rewritten cell stands in for
  list.for_each(
      [&](std::size_t, std::string_view text) {
        if (!needs_marking(text)) return;
        scalar_cell(text, cells);
        cell_ends.push_back(cells.size());
        replaced += text.size();
      },
      [&](std::size_t, const RawValue& value) {
        cell_text(value, cells);
        cell_ends.push_back(cells.size());
      });
  const auto total = static_cast<std::int64_t>(list.data().size() - replaced + cells.size());
  if (total > kMaxText) {
    return text_too_large(std::string("column '").append(shown(tag)).append("'"), total, origin);
  }
  arrow::StringBuilder builder;
  ARROW_RETURN_NOT_OK(builder.Reserve(n));
  ARROW_RETURN_NOT_OK(builder.ReserveData(total));
  std::size_t next_cell = 0;
  std::size_t cell_start = 0;
  auto append_cell = [&] {
    builder.UnsafeAppend(cells.data() + cell_start,
                         static_cast<std::int32_t>(cell_ends[next_cell] - cell_start));
    cell_start = cell_ends[next_cell++];
  };
  list.for_each(
      [&](std::size_t, std::string_view text) {
        if (needs_marking(text)) {
          append_cell();
        } else {
          builder.UnsafeAppend(text);
        }
      },
      [&](std::size_t, const RawValue&) { append_cell(); });
  list = ValueList();
  return builder.Finish();
}

arrow::Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> build_frame(
    FrameData& frame, const BatchOrigin& origin) {
  const std::size_t n_tags = frame.tag_order.size();
  if (frame.values.size() != n_tags) {
    return arrow::Status::Invalid("tags and value lists of ", describe(origin), " differ");
  }
  std::vector<char> in_loop(n_tags, 0);
  for (const auto& loop : frame.loops) {
    for (std::size_t position : loop) {
      if (position >= n_tags) {
        return arrow::Status::Invalid("a loop of ", describe(origin), " names an unknown tag");
      }
      in_loop[position] = 1;
    }
  }

  // A tag can sit in several loops (it then holds the last one's values) and twice in one
  // header; each tag's column is built once and shared by every batch that names it.
  std::vector<ArrayPtr> built(n_tags);
  auto length_of = [&](std::size_t position) -> std::int64_t {
    return built[position] ? built[position]->length()
                           : static_cast<std::int64_t>(frame.values[position].size());
  };
  auto column_of = [&](std::size_t position) -> arrow::Result<ArrayPtr> {
    if (!built[position]) {
      ARROW_ASSIGN_OR_RAISE(built[position], take_column(frame.values[position],
                                                         frame.tag_order[position], origin));
    }
    return built[position];
  };

  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  std::vector<std::string_view> tags;
  std::vector<ArrayPtr> columns;
  auto emit = [&](const std::vector<std::size_t>& positions,
                  std::string_view loop_id) -> arrow::Status {
    std::int64_t rows = 0;
    for (std::size_t position : positions) rows = std::max(rows, length_of(position));
    if (positions.empty() || rows == 0) return arrow::Status::OK();
    tags.clear();
    columns.clear();
    for (std::size_t position : positions) {
      tags.push_back(frame.tag_order[position]);
      ARROW_ASSIGN_OR_RAISE(ArrayPtr column, column_of(position));
      columns.push_back(std::move(column));
    }
    ARROW_ASSIGN_OR_RAISE(auto batch, make_batch(origin, loop_id, tags, columns, rows));
    batches.push_back(std::move(batch));
    return arrow::Status::OK();
  };

  std::vector<std::size_t> plain;
  for (std::size_t position = 0; position < n_tags; ++position) {
    if (!in_loop[position]) plain.push_back(position);
  }
  ARROW_RETURN_NOT_OK(emit(plain, kScalarsLoopId));
  std::string loop_id;
  for (std::size_t i = 0; i < frame.loops.size(); ++i) {
    loop_id.assign("__loop_").append(std::to_string(i)).append("__");
    ARROW_RETURN_NOT_OK(emit(frame.loops[i], loop_id));
  }
  return batches;
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> make_batch(
    const BatchOrigin& origin, std::string_view loop_id, std::span<const std::string_view> tags,
    std::span<const std::shared_ptr<arrow::Array>> columns, std::int64_t rows) {
  if (rows < 0 || columns.size() != tags.size()) {
    return arrow::Status::Invalid("malformed batch request for ", describe(origin));
  }
  const auto& leading = leading_fields();
  std::vector<std::shared_ptr<arrow::Field>> fields(leading.begin(), leading.end());
  std::vector<ArrayPtr> arrays;
  fields.reserve(leading.size() + tags.size());
  arrays.reserve(leading.size() + tags.size());

  arrays.push_back(constant_int32(origin.block_idx, rows));
  ARROW_ASSIGN_OR_RAISE(ArrayPtr block_name,
                        constant_utf8(origin.block_name, rows, "the block name column", origin));
  arrays.push_back(std::move(block_name));
  arrays.push_back(origin.frame_idx ? constant_int32(*origin.frame_idx, rows)
                                    : nulls(arrow::int32(), rows));
  if (origin.frame_name) {
    ARROW_ASSIGN_OR_RAISE(
        ArrayPtr frame_name,
        constant_utf8(*origin.frame_name, rows, "the save frame name column", origin));
    arrays.push_back(std::move(frame_name));
  } else {
    arrays.push_back(nulls(arrow::utf8(), rows));
  }
  ARROW_ASSIGN_OR_RAISE(ArrayPtr loop, constant_utf8(loop_id, rows, "the loop id column", origin));
  arrays.push_back(std::move(loop));

  for (std::size_t i = 0; i < tags.size(); ++i) {
    fields.push_back(arrow::field(arrow_field_name(tags[i]), arrow::utf8(), true));
    const ArrayPtr& column = columns[i];
    if (!column) {
      arrays.push_back(nulls(arrow::utf8(), rows));
    } else if (column->type_id() != arrow::Type::STRING || column->length() > rows) {
      return arrow::Status::Invalid("column '", tags[i], "' of ", describe(origin),
                                    " does not fit its batch");
    } else if (column->length() < rows) {
      ARROW_ASSIGN_OR_RAISE(ArrayPtr padded, pad_with_nulls(column, rows));
      arrays.push_back(std::move(padded));
    } else {
      arrays.push_back(column);
    }
  }
  return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), rows, std::move(arrays));
}

arrow::Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> frame_to_batches(
    FrameData& frame, const BatchOrigin& origin) noexcept {
  try {
    return build_frame(frame, origin);
  } catch (const std::bad_alloc&) {
    return arrow::Status::OutOfMemory("out of memory while building record batches");
  } catch (const std::exception& e) {
    return arrow::Status::UnknownError(e.what());
  }
}

}  // namespace tessrin
