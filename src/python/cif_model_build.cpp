// The CifFile tree of a collected parse, built in one pass once the parse is complete.
#include <new>
#include <utility>

#include "python/cif_model.hpp"
#include "python/cif_model_internal.hpp"
#include "python/dict_export.hpp"

namespace tessrin::model {

namespace {

PyRef model_type(PyObject* module, const char* name, newfunc expected_new) {
  PyRef type = PyRef::steal(PyObject_GetAttrString(module, name));
  if (!type) return {};
  if (!PyType_Check(type.get()) ||
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type.get()), Py_tp_new) !=
          reinterpret_cast<void*>(expected_new)) {
    PyErr_Format(PyExc_TypeError, "tessrin_core.%s is not the native %s class", name, name);
    return {};
  }
  return type;
}

}  // namespace

bool load_model_types(PyObject* module, ModelTypes& types) {
  types.save_frame = model_type(module, kSaveFrameName, frame_new);
  if (!types.save_frame) return false;
  types.block = model_type(module, kBlockName, block_new);
  if (!types.block) return false;
  types.file = model_type(module, kFileName, file_new);
  return static_cast<bool>(types.file);
}

namespace {


PyObject* build_tree(const ModelTypes& types, const ParsedCif& parse) {
  PyRef block_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parse.blocks.size())));
  if (!block_list) return nullptr;
  PyRef blocks = PyRef::steal(PyDict_New());
  if (!blocks) return nullptr;
  StrCache cache;
  for (std::size_t i = 0; i < parse.blocks.size(); ++i) {
    const ParsedBlock& parsed = parse.blocks[i];
    PyRef frame_list =
        PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parsed.save_frames.size())));
    if (!frame_list) return nullptr;
    PyRef frames = PyRef::steal(PyDict_New());
    if (!frames) return nullptr;
    for (std::size_t j = 0; j < parsed.save_frames.size(); ++j) {
      const ParsedSaveFrame& parsed_frame = parsed.save_frames[j];
      FrameContainers c;
      if (!frame_data_to_py(parsed_frame.data, cache, c)) return nullptr;
      PyRef name = PyRef::steal(make_str(parsed_frame.name));
      if (!name) return nullptr;
      PyObject* frame =
          new_frame(types.save_frame_type(), PyRef::borrow(name.get()), j, std::move(c.tags),
                    std::move(c.tag_order), std::move(c.loops));
      if (frame == nullptr) return nullptr;
      PyList_SET_ITEM(frame_list.get(), static_cast<Py_ssize_t>(j), frame);
      // The first frame of a name stays the one found by name.
      if (PyDict_SetDefault(frames.get(), name.get(), frame) == nullptr) return nullptr;
    }
    FrameContainers c;
    if (!frame_data_to_py(parsed.data, cache, c)) return nullptr;
    PyRef name = PyRef::steal(make_str(parsed.name));
    if (!name) return nullptr;
    PyObject* block = new_block(types.block_type(), PyRef::borrow(name.get()), i,
                                std::move(c.tags), std::move(c.tag_order), std::move(c.loops),
                                std::move(frames), std::move(frame_list));
    if (block == nullptr) return nullptr;
    PyList_SET_ITEM(block_list.get(), static_cast<Py_ssize_t>(i), block);
    if (PyDict_SetDefault(blocks.get(), name.get(), block) == nullptr) return nullptr;
  }
  return new_file(types.file_type(), std::move(blocks), std::move(block_list),
                  parse.version == 0);
}

}  // namespace
}  // namespace tessrin::model

namespace tessrin {

PyObject* build_py_cif(PyObject* module, const ParsedCif& parse) {
  try {
    model::ModelTypes types;
    if (!model::load_model_types(module, types)) return nullptr;
    GcPause pause;
    return model::build_tree(types, parse);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace tessrin