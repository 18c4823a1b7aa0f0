#include "python/arrow_export.hpp"

#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "export/arrow_stream.hpp"
#include "export/record_batch.hpp"
#include "python/pyarrow_import.hpp"
#include "python/pyref.hpp"

namespace tessrin {
namespace {

[[noreturn]] void too_many(const std::string& message) {
  throw ExportError(ExportError::Kind::capacity, message);
}

// Every batch of the parse, block by block, each block's own frame before its save frames.
// Frames are released as soon as their batches exist: the batches own the text from then on.
std::vector<Batch> build_all(ParsedCif& parse) {
  constexpr std::size_t kMaxIndex = std::numeric_limits<std::int32_t>::max();
  std::vector<Batch> out;
  auto add = [&](FrameData& data, const BatchOrigin& origin) {
    for (Batch& batch : frame_to_batches(data, origin)) out.push_back(std::move(batch));
    data = FrameData();
  };
  if (parse.blocks.size() > kMaxIndex + 1) {
    too_many("more data blocks than a 32-bit block index can number");
  }
  for (std::size_t b = 0; b < parse.blocks.size(); ++b) {
    ParsedBlock& block = parse.blocks[b];
    if (block.save_frames.size() > kMaxIndex + 1) {
      too_many("more save frames than a 32-bit frame index can number in block '" + block.name +
               "'");
    }
    BatchOrigin origin{static_cast<std::int32_t>(b), block.name, std::nullopt, std::nullopt};
    add(block.data, origin);
    for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
      ParsedSaveFrame& frame = block.save_frames[f];
      origin.frame_idx = static_cast<std::int32_t>(f);
      origin.frame_name = frame.name;
      add(frame.data, origin);
    }
  }
  return out;
}

// Field names, types and nullability: what makes two batch schemas the same.
std::string schema_key(const ArrowSchema& schema) {
  std::string key;
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema& field = *schema.children[i];
    // Neither a format nor a name holds NUL, so NUL separates them unambiguously.
    key.append(field.format).push_back('\0');
    key.append(field.name).push_back('\0');
    key.push_back((field.flags & ARROW_FLAG_NULLABLE) != 0 ? '1' : '0');
  }
  return key;
}

// Files of many frames repeat a few schemas thousands of times (every block of a chemical
// component dictionary has the same loops): pyarrow then imports each schema once, not once
// per batch. The batches keep their order through `positions`.
std::vector<SchemaGroup> group_by_schema(std::vector<Batch>& batches) {
  std::vector<SchemaGroup> groups;
  std::unordered_map<std::string, std::size_t> group_of;
  for (std::size_t i = 0; i < batches.size(); ++i) {
    auto [found, added] = group_of.try_emplace(schema_key(*batches[i].schema.get()), groups.size());
    if (added) groups.push_back({std::move(batches[i].schema), {}, {}});
    SchemaGroup& group = groups[found->second];
    group.arrays.push_back(std::move(batches[i].array));
    group.positions.push_back(i);
  }
  return groups;
}

}  // namespace

PyObject* batches_to_python(ModuleState& state, PreparedBatches& prepared) {
  if (prepared.failure) std::rethrow_exception(prepared.failure);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(prepared.count)));
  if (!list) return nullptr;
  for (SchemaGroup& group : prepared.groups) {
    // Each call into pyarrow lets go of the interpreter lock once (and waits its turn to take
    // it back when other threads want it): a lone batch is imported directly, and a group of
    // several, all with rows and columns, through one stream read whole.
    if (group.arrays.size() == 1) {
      PyObject* converted = import_batch(state, group.arrays[0].get(), group.schema.get());
      if (converted == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(group.positions[0]), converted);
      continue;
    }
    bool read_whole = group.schema->n_children > 0;
    for (const nanoarrow::UniqueArray& array : group.arrays) read_whole &= array->length > 0;
    ArrowArrayStream stream{};
    make_stream(std::move(group.schema), std::move(group.arrays), &stream);
    PyRef reader = PyRef::steal(import_stream(state, &stream));
    if (!reader) return nullptr;
    if (!read_whole) {
      for (std::size_t position : group.positions) {
        PyObject* converted = read_next_batch(state, reader.get());
        if (converted == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(position), converted);
      }
      continue;
    }
    PyRef batches = PyRef::steal(read_all_batches(state, reader.get()));
    if (!batches) return nullptr;
    if (!PyList_Check(batches.get()) ||
        PyList_GET_SIZE(batches.get()) != static_cast<Py_ssize_t>(group.positions.size())) {
      PyErr_SetString(PyExc_RuntimeError, "pyarrow gave back a different number of batches");
      return nullptr;
    }
    for (std::size_t i = 0; i < group.positions.size(); ++i) {
      PyObject* converted = PyList_GET_ITEM(batches.get(), static_cast<Py_ssize_t>(i));
      Py_INCREF(converted);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(group.positions[i]), converted);
    }
  }
  return list.release();
}

PreparedBatches prepare_batches(ParsedCif& parse) noexcept {
  PreparedBatches prepared;
  try {
    std::vector<Batch> batches = build_all(parse);
    prepared.count = batches.size();
    prepared.groups = group_by_schema(batches);
  } catch (...) {
    prepared.groups.clear();
    prepared.failure = std::current_exception();
  }
  return prepared;
}

}  // namespace tessrin
