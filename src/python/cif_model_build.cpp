// The CifFile tree of a collected parse, built in one pass once the parse is complete.
#include <utility>

#include "python/cif_model.hpp"
#include "python/cif_model_internal.hpp"
#include "python/dict_export.hpp"

namespace tessrin::model {

namespace {

PyObject* build_tree(const ModuleState& types, const ParsedCif& parse) {
  PyRef block_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parse.blocks.size())));
  if (!block_list) return nullptr;
  PyRef blocks = PyRef::steal(PyDict_New());
  if (!blocks) return nullptr;
  StrCache cache;
  for (std::size_t i = 0; i < parse.blocks.size(); ++i) {
    const ParsedBlock& parsed = parse.blocks[i];
    PyRef frame_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parsed.save_frames.size())));
    if (!frame_list) return nullptr;
    PyRef frames = PyRef::steal(PyDict_New());
    if (!frames) return nullptr;
    for (std::size_t j = 0; j < parsed.save_frames.size(); ++j) {
      const ParsedSaveFrame& parsed_frame = parsed.save_frames[j];
      FrameContainers c;
      if (!frame_data_to_py(parsed_frame.data, cache, c)) return nullptr;
      PyRef name = PyRef::steal(make_str(parsed_frame.name));
      if (!name) return nullptr;
      PyObject* frame = new_frame(types.save_frame_type, PyRef::borrow(name.get()), j,
                                  std::move(c.tags), std::move(c.tag_order), std::move(c.loops));
      if (frame == nullptr) return nullptr;
      PyList_SET_ITEM(frame_list.get(), static_cast<Py_ssize_t>(j), frame);
      // The first frame of a name stays the one found by name.
      if (PyDict_SetDefault(frames.get(), name.get(), frame) == nullptr) return nullptr;
    }
    FrameContainers c;
    if (!frame_data_to_py(parsed.data, cache, c)) return nullptr;
    PyRef name = PyRef::steal(make_str(parsed.name));
    if (!name) return nullptr;
    PyObject* block = new_block(types.block_type, PyRef::borrow(name.get()), i, std::move(c.tags),
                                std::move(c.tag_order), std::move(c.loops), std::move(frames),
                                std::move(frame_list));
    if (block == nullptr) return nullptr;
    PyList_SET_ITEM(block_list.get(), static_cast<Py_ssize_t>(i), block);
    if (PyDict_SetDefault(blocks.get(), name.get(), block) == nullptr) return nullptr;
  }
  return new_file(types.file_type, std::move(blocks), std::move(block_list), parse.version == 0);
}

}  // namespace
}  // namespace tessrin::model

namespace tessrin {

PyObject* build_py_cif(const ModuleState& state, const ParsedCif& parse) {
  GcPause pause;
  return model::build_tree(state, parse);
}

}  // namespace tessrin