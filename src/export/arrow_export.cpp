#include "export/arrow_export.hpp"

#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>
#include <arrow/status.h>

#include "python/gil.hpp"
#include "python/pyref.hpp"
#include "export/record_batch.hpp"

namespace tessrin {
namespace {

using BatchPtr = std::shared_ptr<arrow::RecordBatch>;

void set_error(const arrow::Status& status) {
  PyObject* type = status.IsOutOfMemory()     ? PyExc_MemoryError
                   : status.IsCapacityError() ? PyExc_OverflowError
                                              : PyExc_ValueError;
  // Decoded with its length: a name in the message may hold NUL, where a C string would end.
  const std::string& message = status.message();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

// pyarrow.RecordBatchReader, imported on first use and kept for the life of the process. A
// failed import is not remembered, so installing pyarrow later in the session still works.
PyObject* reader_class() {
  static PyObject* cls = nullptr;
  if (cls != nullptr) return cls;
  PyRef module = PyRef::steal(PyImport_ImportModule("pyarrow"));
  if (!module) return nullptr;
  PyRef found = PyRef::steal(PyObject_GetAttrString(module.get(), "RecordBatchReader"));
  if (!found) return nullptr;
  // The import may have let another thread run and get here first; keep its object.
  if (cls == nullptr) cls = found.release();
  return cls;
}

// Releases an exported stream unless pyarrow took it over (import clears `release`).
struct StreamGuard {
  ArrowArrayStream stream{};
  ~StreamGuard() {
    if (stream.release != nullptr) stream.release(&stream);
  }
};

// Hands one batch to pyarrow through its own C stream; the buffers are not copied.
PyObject* to_pyarrow(const BatchPtr& batch) {
  PyObject* cls = reader_class();
  if (cls == nullptr) return nullptr;
  StreamGuard guard;
  {
    auto reader = arrow::RecordBatchReader::Make({batch}, batch->schema());
    if (!reader.ok()) {
      set_error(reader.status());
      return nullptr;
    }
    arrow::Status status = arrow::ExportRecordBatchReader(*std::move(reader), &guard.stream);
    if (!status.ok()) {
      set_error(status);
      return nullptr;
    }
  }
  PyRef address = PyRef::steal(PyLong_FromVoidPtr(&guard.stream));
  if (!address) return nullptr;
  PyRef py_reader =
      PyRef::steal(PyObject_CallMethod(cls, "_import_from_c", "O", address.get()));
  if (!py_reader) return nullptr;
  return PyObject_CallMethod(py_reader.get(), "read_next_batch", nullptr);
}

// Every batch of the parse, block by block, each block's own frame before its save frames.
// Frames are released as soon as their batches exist: the batches own the text from then on.
arrow::Status build_all(ParsedCif& parse, std::vector<BatchPtr>& out) {
  constexpr std::size_t kMaxIndex = std::numeric_limits<std::int32_t>::max();
  auto add = [&](FrameData& data, const BatchOrigin& origin) -> arrow::Status {
    ARROW_ASSIGN_OR_RAISE(auto batches, frame_to_batches(data, origin));
    for (auto& batch : batches) out.push_back(std::move(batch));
    data = FrameData();
    return arrow::Status::OK();
  };
  if (parse.blocks.size() > kMaxIndex + 1) {
    return arrow::Status::CapacityError("more data blocks than a 32-bit block index can number");
  }
  for (std::size_t b = 0; b < parse.blocks.size(); ++b) {
    ParsedBlock& block = parse.blocks[b];
    if (block.save_frames.size() > kMaxIndex + 1) {
      return arrow::Status::CapacityError(
          "more save frames than a 32-bit frame index can number in block '", block.name, "'");
    }
    BatchOrigin origin{static_cast<std::int32_t>(b), block.name, std::nullopt, std::nullopt};
    ARROW_RETURN_NOT_OK(add(block.data, origin));
    for (std::size_t f = 0; f < block.save_frames.size(); ++f) {
      ParsedSaveFrame& frame = block.save_frames[f];
      origin.frame_idx = static_cast<std::int32_t>(f);
      origin.frame_name = frame.name;
      ARROW_RETURN_NOT_OK(add(frame.data, origin));
    }
  }
  return arrow::Status::OK();
}

PyObject* to_py_batches_impl(ParsedCif& parse) {
  // Every fallible native step first; only then does anything cross into Python.
  std::vector<BatchPtr> batches;
  arrow::Status status;
  {
    // Building the batches is native work too; only their hand-over to pyarrow needs the lock.
    WithoutGil unlocked;
    status = build_all(parse, batches);
  }
  if (!status.ok()) {
    set_error(status);
    return nullptr;
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(batches.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < batches.size(); ++i) {
    PyObject* converted = to_pyarrow(batches[i]);
    if (converted == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), converted);
    batches[i].reset();  // pyarrow holds the only reference now
  }
  return list.release();
}

}  // namespace

PyObject* to_py_batches(ParsedCif& parse) {
  try {
    return to_py_batches_impl(parse);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

}  // namespace tessrin
