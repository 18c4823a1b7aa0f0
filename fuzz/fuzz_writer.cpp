// The writer: what collect_raw collects is written through CifWriter and LoopLayout (as dumps
// writes a parse_raw result) and read back with collect_raw. Every value written must come
// back with the same text, under the same tag, in the same block and save frame, each loop
// with the same tags, and nothing else may come back. Written output of a file that parsed
// without diagnostics, in its own version, parses without diagnostics too.
//
// What the writer refuses is left out of both sides rather than compared: a block or frame
// whose name cannot follow `data_` or `save_`, a tag that cannot be written as one, a value
// that no form of the target version reads back as itself (dumps raises ValueError for
// these), and the frame's parts that hold them. Lists and tables are left out too: their walk
// is over Python containers (py_dumps), which this target does not reach.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "collect/raw_builder.hpp"
#include "fuzz_common.hpp"
#include "text/utf8.hpp"
#include "write/cif_writer.hpp"
#include "write/loop_layout.hpp"
#include "write/value_form.hpp"

namespace {

using namespace tessrin;

/// What one frame should read back as.
struct ExpectedFrame {
  std::string name;
  std::vector<std::string_view> tags;                 // in written order
  std::vector<std::vector<std::string_view>> values;  // parallel to tags
  std::vector<std::vector<std::string_view>> loops;   // the tags of each loop, header order
};

struct ExpectedBlock {
  ExpectedFrame data;
  std::vector<ExpectedFrame> save_frames;
};

/// The scalar texts of a value list, or false when it holds a list or a table.
bool scalar_texts(const ValueList& list, std::vector<std::string_view>& out) {
  out.clear();
  bool scalars = true;
  list.for_each([&](std::size_t, std::string_view text) { out.push_back(text); },
                [&](std::size_t, const RawValue& value) {
                  if (value.kind != RawValue::Kind::Scalar) scalars = false;
                  out.push_back(value.text);
                });
  return scalars;
}

/// The cell of `text` in the target version, or false when it cannot be written.
bool cell_of(std::string_view text, bool cif2, Cell& cell) {
  FormProblem problem;
  const ValueForm form = choose_form(text, cif2, problem);
  if (form == ValueForm::Unwritable) return false;
  cell = make_cell(text, count_chars(text), form);
  return true;
}

class FrameWriter {
 public:
  FrameWriter(CifWriter& writer, bool cif2) : writer_(writer), layout_(arenas_), cif2_(cif2) {}

  /// Writes the parts of `data` the writer can write (loops where their last tag stands in
  /// the tag order, the rest as items) and records them in `expected`.
  void frame(const FrameData& data, ExpectedFrame& expected) {
    const std::size_t n = data.tag_order.size();
    // A tag that two loops name (kept by a lenient parse) has one column for both: such
    // loops, and loops whose columns differ in length, are left out.
    std::vector<int> loops_of(n, 0);
    for (const auto& loop : data.loops) {
      for (std::size_t position : loop) ++loops_of[position];
    }
    std::vector<std::size_t> trigger(data.loops.size(), 0);
    for (std::size_t l = 0; l < data.loops.size(); ++l) {
      for (std::size_t position : data.loops[l]) trigger[l] = std::max(trigger[l], position);
    }
    std::size_t pad = 0;
    for (std::string_view tag : data.tag_order) pad = std::max(pad, tag.size());
    pad = std::min(pad, kMaxTagPad);
    std::vector<std::string_view> texts;
    std::vector<std::size_t> empty;  // loops without values go last, as dumps writes them
    for (std::size_t i = 0; i < n; ++i) {
      if (data.looped[i]) {
        for (std::size_t l = 0; l < data.loops.size(); ++l) {
          if (trigger[l] != i) continue;
          if (data.values[data.loops[l].front()].empty()) {
            empty.push_back(l);
          } else {
            loop(data, data.loops[l], loops_of, expected);
          }
        }
        continue;
      }
      const std::string_view tag = data.tag_order[i];
      if (name_problem(tag, cif2_, true) != nullptr) continue;
      if (!scalar_texts(data.values[i], texts) || texts.empty()) continue;
      std::vector<Cell> cells(texts.size());
      bool writable = true;
      for (std::size_t v = 0; v < texts.size() && writable; ++v) {
        writable = cell_of(texts[v], cif2_, cells[v]);
      }
      if (!writable) continue;
      for (const Cell& cell : cells) writer_.item(tag, pad, cell);
      expected.tags.push_back(tag);
      expected.values.push_back(texts);
    }
    for (std::size_t l : empty) loop(data, data.loops[l], loops_of, expected);
  }

 private:
  void loop(const FrameData& data, const std::vector<std::size_t>& positions,
            const std::vector<int>& loops_of, ExpectedFrame& expected) {
    std::vector<std::vector<std::string_view>> columns(positions.size());
    std::vector<std::string_view> names;
    for (std::size_t c = 0; c < positions.size(); ++c) {
      const std::size_t p = positions[c];
      if (loops_of[p] != 1 || name_problem(data.tag_order[p], cif2_, true) != nullptr ||
          !scalar_texts(data.values[p], columns[c]) || columns[c].size() != columns[0].size()) {
        return;
      }
      names.push_back(data.tag_order[p]);
    }
    if (names.empty()) return;
    const std::size_t rows = columns[0].size();
    layout_.begin(names.size());
    for (std::size_t c = 0; c < names.size(); ++c) {
      for (std::string_view text : columns[c]) {
        Cell cell;
        if (!cell_of(text, cif2_, cell) || !layout_.add(c, cell)) return;
      }
      layout_.end_column(c);
    }
    layout_.write(writer_, names, rows);
    for (std::size_t c = 0; c < names.size(); ++c) {
      expected.tags.push_back(names[c]);
      expected.values.push_back(std::move(columns[c]));
    }
    expected.loops.push_back(std::move(names));
  }

  CifWriter& writer_;
  std::vector<ByteBuffer> arenas_;
  LoopLayout layout_;
  bool cif2_;
};

void check_frame(const ExpectedFrame& expected, std::string_view name, const FrameData& read) {
  FUZZ_CHECK(expected.name == name);
  FUZZ_CHECK(read.tag_order.size() == expected.tags.size());
  std::vector<std::string_view> texts;
  for (std::size_t i = 0; i < expected.tags.size(); ++i) {
    FUZZ_CHECK(read.tag_order[i] == expected.tags[i]);
    FUZZ_CHECK(scalar_texts(read.values[i], texts));
    if (texts != expected.values[i]) {
      std::fprintf(stderr, "tag %.*s:", static_cast<int>(expected.tags[i].size()),
                   expected.tags[i].data());
      for (std::string_view t : expected.values[i]) {
        std::fprintf(stderr, " <%.*s>", static_cast<int>(t.size()), t.data());
      }
      std::fprintf(stderr, " read back as");
      for (std::string_view t : texts) {
        std::fprintf(stderr, " <%.*s>", static_cast<int>(t.size()), t.data());
      }
      std::fprintf(stderr, "\n");
    }
    FUZZ_CHECK(texts == expected.values[i]);
  }
  FUZZ_CHECK(read.loops.size() == expected.loops.size());
  for (std::size_t l = 0; l < read.loops.size(); ++l) {
    FUZZ_CHECK(read.loops[l].size() == expected.loops[l].size());
    for (std::size_t c = 0; c < read.loops[l].size(); ++c) {
      FUZZ_CHECK(read.tag_order[read.loops[l][c]] == expected.loops[l][c]);
    }
  }
}

}  // namespace

// Input: one flag byte and the CIF text (fuzz/README.md). Bit 0 writes the other version than
// the source's; bits 1-2 choose the magic line (flagged_source); bits 3-4 the line width.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string source = fuzz::flagged_source(data, size);
  // dumps writes strs, which are UTF-8.
  if (!is_valid_utf8(source)) return -1;
  static constexpr std::size_t kWidths[] = {80, 2048, 20, 1};
  const std::size_t width = kWidths[(flags >> 3) & 3];

  const ParsedCif parse = collect_raw(source, false);
  const bool source_cif2 = parse.version != 0;
  const bool cif2 = (flags & 1) ? !source_cif2 : source_cif2;
  CifWriter writer(cif2, width);
  FrameWriter frames(writer, cif2);
  std::vector<ExpectedBlock> expected;
  for (const ParsedBlock& block : parse.blocks) {
    if (name_problem(block.name, cif2, false) != nullptr) continue;
    ExpectedBlock& e = expected.emplace_back();
    e.data.name = block.name;
    writer.begin_block(block.name);
    frames.frame(block.data, e.data);
    for (const ParsedSaveFrame& save : block.save_frames) {
      if (name_problem(save.name, cif2, false) != nullptr) continue;
      ExpectedFrame& f = e.save_frames.emplace_back();
      f.name = save.name;
      writer.begin_save_frame(save.name);
      frames.frame(save.data, f);
      writer.end_save_frame();
    }
  }

  const ByteBuffer& out = writer.out();
  const std::string_view written(out.data(), out.size());
  const ParsedCif read = collect_raw(written, false);
  FUZZ_CHECK((read.version != 0) == cif2);
  if (parse.errors.empty() && cif2 == source_cif2) {
    if (!read.errors.empty()) {
      std::fprintf(stderr, "written text:\n%.*s\nfirst diagnostic: %s\n",
                   static_cast<int>(written.size()), written.data(),
                   read.errors.front().message.c_str());
    }
    FUZZ_CHECK(read.errors.empty());
  }
  FUZZ_CHECK(read.blocks.size() == expected.size());
  for (std::size_t b = 0; b < expected.size(); ++b) {
    const ParsedBlock& block = read.blocks[b];
    check_frame(expected[b].data, block.name, block.data);
    FUZZ_CHECK(block.save_frames.size() == expected[b].save_frames.size());
    for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
      check_frame(expected[b].save_frames[f], block.save_frames[f].name, block.save_frames[f].data);
    }
  }
  return 0;
}
