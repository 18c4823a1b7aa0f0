// The columnar layout: collect_raw, then frame_to_batches for every frame. Each batch must be a
// valid Arrow batch, read back through its C stream, whose cells give back exactly the collected
// values: scalars as they are, containers and NUL-led scalars as NUL-marked JSON, decoded here
// by a separate reader. ASan sees every shared buffer released, and released once.
#include <nanoarrow/nanoarrow.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fuzz_common.hpp"
#include "export/field_name.hpp"
#include "export/json_cell.hpp"
#include "collect/raw_builder.hpp"
#include "export/record_batch.hpp"
#include "text/utf8.hpp"

namespace {

using namespace tessrin;

// --- a strict reader for the JSON that cells hold --------------------------------------------

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  /// The one value that makes up the whole text, or false when the text is not exactly that.
  bool read(RawValue& out) {
    struct Open {
      RawValue* value;
      bool first = true;
    };
    std::vector<Open> stack;
    RawValue* target = &out;  // where the next value goes
    for (;;) {
      if (p_ == end_) return false;
      // One value into *target.
      if (*p_ == '"') {
        target->kind = RawValue::Kind::Scalar;
        if (!read_string(target->text)) return false;
      } else if (*p_ == '[' || *p_ == '{') {
        target->kind = *p_ == '[' ? RawValue::Kind::List : RawValue::Kind::Table;
        ++p_;
        stack.push_back({target});
      } else {
        return false;
      }
      // Close containers and find the slot of the next value, if any.
      for (;;) {
        if (stack.empty()) return p_ == end_;
        Open& top = stack.back();
        const bool is_list = top.value->kind == RawValue::Kind::List;
        if (p_ == end_) return false;
        if (*p_ == (is_list ? ']' : '}')) {
          ++p_;
          stack.pop_back();
          continue;
        }
        if (!top.first) {
          if (*p_ != ',') return false;
          ++p_;
        }
        top.first = false;
        if (!is_list) {
          std::string key;
          if (p_ == end_ || *p_ != '"' || !read_string(key)) return false;
          if (p_ == end_ || *p_ != ':') return false;
          ++p_;
          top.value->keys.push_back(std::move(key));
        }
        target = &top.value->items.emplace_back();
        break;
      }
    }
  }

 private:
  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool read_string(std::string& out) {
    ++p_;  // opening quote
    while (p_ < end_) {
      const char c = *p_++;
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;  // must have been escaped
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (p_ == end_) return false;
      const char e = *p_++;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out.push_back(e);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          if (end_ - p_ < 4) return false;
          int code = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = hex(*p_++);
            if (digit < 0) return false;
            code = code * 16 + digit;
          }
          // The writer escapes only control characters; anything else is copied as UTF-8.
          if (code >= 0x20) return false;
          out.push_back(static_cast<char>(code));
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  const char* p_;
  const char* end_;
};

// A cell decodes to `expected` by the one rule the readers use: NUL first means JSON.
void check_cell(std::string_view cell, const RawValue& expected) {
  if (cell.empty() || cell.front() != '\0') {
    FUZZ_CHECK(expected.kind == RawValue::Kind::Scalar && cell == expected.text);
    return;
  }
  RawValue decoded;
  FUZZ_CHECK(JsonReader(cell.substr(1)).read(decoded));
  FUZZ_CHECK(fuzz::same_value(decoded, expected));
}

void check_cell(std::string_view cell, std::string_view scalar) {
  RawValue expected;
  expected.text.assign(scalar);
  check_cell(cell, expected);
}

// --- batches against the frame they came from ------------------------------------------------

// The batch as a consumer gets it: through a one-batch C stream, then fully validated.
struct Received {
  nanoarrow::UniqueSchema schema;
  nanoarrow::UniqueArray array;
  nanoarrow::UniqueArrayView view;
};

void receive(Batch batch, Received& out) {
  nanoarrow::UniqueArrayStream stream;
  make_stream(std::move(batch), stream.get());
  FUZZ_CHECK(stream->get_schema(stream.get(), out.schema.get()) == 0);
  FUZZ_CHECK(stream->get_next(stream.get(), out.array.get()) == 0);
  nanoarrow::UniqueArray end;
  FUZZ_CHECK(stream->get_next(stream.get(), end.get()) == 0 && end->release == nullptr);
  ArrowError error{};
  FUZZ_CHECK(ArrowArrayViewInitFromSchema(out.view.get(), out.schema.get(), &error) == 0);
  FUZZ_CHECK(ArrowArrayViewSetArray(out.view.get(), out.array.get(), &error) == 0);
  FUZZ_CHECK(ArrowArrayViewValidate(out.view.get(), NANOARROW_VALIDATION_LEVEL_FULL, &error) ==
             0);
}

std::string_view text_at(const ArrowArrayView* column, std::int64_t row) {
  const ArrowStringView cell = ArrowArrayViewGetStringUnsafe(column, row);
  const std::string_view text(cell.data, static_cast<std::size_t>(cell.size_bytes));
  FUZZ_CHECK(is_valid_utf8(text));
  return text;
}

void check_batches(FrameData& frame, const FrameData& reference, const BatchOrigin& origin) {
  // By field name; Arrow's C interface ends a name at NUL, so the field has U+FFFD there, and
  // two tags may then share a name. The frame's index may be empty.
  std::unordered_multimap<std::string, std::size_t> position;
  for (std::size_t i = 0; i < reference.tag_order.size(); ++i) {
    position.emplace(arrow_field_name(reference.tag_order[i]), i);
  }
  std::vector<Batch> batches = frame_to_batches(frame, origin);
  std::unordered_set<std::string_view> seen;
  std::size_t expected_loop = 0;
  bool first = true;
  for (Batch& built : batches) {
    Received batch;
    receive(std::move(built), batch);
    const std::int64_t rows = batch.array->length;
    const std::int64_t n_columns = batch.schema->n_children;
    const ArrowArrayView* const* column = batch.view->children;
    FUZZ_CHECK(rows > 0 && n_columns >= 6);
    FUZZ_CHECK(text_at(column[1], 0) == origin.block_name);
    FUZZ_CHECK(ArrowArrayViewGetIntUnsafe(column[0], 0) == origin.block_idx);
    FUZZ_CHECK(ArrowArrayViewIsNull(column[2], 0) == !origin.frame_idx.has_value());

    // The plain tags' batch comes first; loops follow in order, empty ones skipped.
    const std::string_view loop_id = text_at(column[4], 0);
    const std::vector<std::size_t>* header = nullptr;
    if (loop_id == kScalarsLoopId) {
      FUZZ_CHECK(first);
    } else {
      while (expected_loop < reference.loops.size() &&
             loop_id != "__loop_" + std::to_string(expected_loop) + "__") {
        ++expected_loop;
      }
      FUZZ_CHECK(expected_loop < reference.loops.size());
      header = &reference.loops[expected_loop++];
      FUZZ_CHECK(static_cast<std::size_t>(n_columns) == 5 + header->size());
    }
    first = false;

    std::int64_t longest = 0;
    for (std::int64_t c = 5; c < n_columns; ++c) {
      const std::string tag = batch.schema->children[c]->name;
      FUZZ_CHECK(tag.find('\0') == std::string::npos);
      // The tag of this column: the loop header says; among plain tags sharing a field name,
      // the first not seen yet.
      std::size_t at = reference.tag_order.size();
      const auto [first_named, end_named] = position.equal_range(tag);
      for (auto it = first_named; it != end_named; ++it) {
        if (!seen.contains(reference.tag_order[it->second])) at = std::min(at, it->second);
      }
      if (header != nullptr) at = (*header)[c - 5];
      FUZZ_CHECK(at < reference.tag_order.size() &&
                 arrow_field_name(reference.tag_order[at]) == tag);
      seen.insert(reference.tag_order[at]);
      const ValueList& values = reference.values[at];
      const auto n = static_cast<std::int64_t>(values.size());
      longest = std::max(longest, n);
      const ArrowArrayView* cells = column[c];
      for (std::int64_t r = n; r < rows; ++r) FUZZ_CHECK(ArrowArrayViewIsNull(cells, r));
      auto check_row = [&](std::size_t i, const auto& expected) {
        const auto row = static_cast<std::int64_t>(i);
        if (row >= rows) return;
        FUZZ_CHECK(!ArrowArrayViewIsNull(cells, row));
        check_cell(text_at(cells, row), expected);
      };
      values.for_each([&](std::size_t i, std::string_view text) { check_row(i, text); },
                      [&](std::size_t i, const RawValue& value) { check_row(i, value); });
    }
    FUZZ_CHECK(longest == rows);
  }
  // No value is lost: every tag that has one is in some batch.
  for (std::size_t i = 0; i < reference.tag_order.size(); ++i) {
    if (!reference.values[i].empty()) FUZZ_CHECK(seen.contains(reference.tag_order[i]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string source = fuzz::flagged_source(data, size);
  // The Python entry points hand over UTF-8 only, and the cells are checked for it.
  if (!is_valid_utf8(source)) return -1;
  const bool strict = flags & 1;

  ParsedCif parse = collect_raw(source, strict);
  const ParsedCif reference = collect_raw(source, strict);  // frame_to_batches consumes `parse`
  for (std::size_t b = 0; b < parse.blocks.size(); ++b) {
    ParsedBlock& block = parse.blocks[b];
    const ParsedBlock& ref = reference.blocks[b];
    BatchOrigin origin{static_cast<std::int32_t>(b), ref.name, std::nullopt, std::nullopt};
    check_batches(block.data, ref.data, origin);
    for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
      origin.frame_idx = static_cast<std::int32_t>(f);
      origin.frame_name = ref.save_frames[f].name;
      check_batches(block.save_frames[f].data, ref.save_frames[f].data, origin);
    }
  }
  return 0;
}
