#include "python/dict_export.hpp"

#include <cstring>

#include "python/pyref.hpp"
#include "text/utf8.hpp"

namespace tessrin {

namespace {

/// Adds `child` to the container under construction: the next list item or table value.
bool attach(PyObject* parent, const RawValue& value, std::size_t index, PyRef child) {
  if (value.kind == RawValue::Kind::List) {
    PyList_SET_ITEM(parent, static_cast<Py_ssize_t>(index), child.release());
    return true;
  }
  PyRef key = PyRef::steal(make_str(value.keys[index]));
  return key && PyDict_SetItem(parent, key.get(), child.get()) == 0;
}

PyRef new_container(const RawValue& value) {
  if (value.kind == RawValue::Kind::List) {
    return PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.items.size())));
  }
  return PyRef::steal(PyDict_New());
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

/// The block or save-frame dict without "save_frames".
PyRef frame_data_to_python(std::string_view name, const FrameData& data, StrCache& cache) {
  PyRef dict = PyRef::steal(PyDict_New());
  FrameContainers parts;
  if (!dict || !set_item(dict.get(), "name", PyRef::steal(make_str(name))) ||
      !frame_data_to_py(data, cache, parts) ||
      !set_item(dict.get(), "tag_order", std::move(parts.tag_order)) ||
      !set_item(dict.get(), "loops", std::move(parts.loops)) ||
      !set_item(dict.get(), "tags", std::move(parts.tags))) {
    return {};
  }
  return dict;
}

}  // namespace

PyObject* raw_value_to_python(const RawValue& root) {
  if (root.kind == RawValue::Kind::Scalar) return make_str(root.text);
  struct Work {
    const RawValue* value;
    PyRef object;
    std::size_t next;
  };
  std::vector<Work> stack;
  PyRef first = new_container(root);
  if (!first) return nullptr;
  stack.push_back(Work{&root, std::move(first), 0});
  for (;;) {
    Work& top = stack.back();
    if (top.next == top.value->items.size()) {
      PyRef done = std::move(top.object);
      stack.pop_back();
      if (stack.empty()) return done.release();
      Work& parent = stack.back();
      if (!attach(parent.object.get(), *parent.value, parent.next - 1, std::move(done))) {
        return nullptr;
      }
      continue;
    }
    const RawValue& child = top.value->items[top.next++];
    if (child.kind == RawValue::Kind::Scalar) {
      PyRef text = PyRef::steal(make_str(child.text));
      if (!text || !attach(top.object.get(), *top.value, top.next - 1, std::move(text))) {
        return nullptr;
      }
    } else {
      PyRef object = new_container(child);
      if (!object) return nullptr;
      stack.push_back(Work{&child, std::move(object), 0});
    }
  }
}

PyObject* value_list_to_python(const ValueList& values, StrCache* cache) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  // Checking the whole packed buffer once lets every ASCII value skip UTF-8 decoding.
  const bool all_ascii = is_ascii(values.data());
  bool ok = true;
  values.for_each(
      [&](std::size_t i, std::string_view text) {
        if (!ok) return;
        PyObject* s = !all_ascii         ? make_str(text)
                      : cache != nullptr ? cache->ascii(text)
                                         : make_ascii_str(text);
        if (s == nullptr) {
          ok = false;
          return;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
      },
      [&](std::size_t i, const RawValue& value) {
        if (!ok) return;
        PyObject* object = raw_value_to_python(value);
        if (object == nullptr) {
          ok = false;
          return;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object);
      });
  return ok ? list.release() : nullptr;
}

bool frame_data_to_py(const FrameData& data, StrCache& cache, FrameContainers& out) {
  const auto tag_count = static_cast<Py_ssize_t>(data.tag_order.size());
  // Sized once: growing a dict of many tags step by step reallocates it several times.
  out.tags = PyRef::steal(_PyDict_NewPresized(tag_count));
  out.tag_order = PyRef::steal(PyList_New(tag_count));
  out.loops = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(data.loops.size())));
  if (!out.tags || !out.tag_order || !out.loops) return false;
  for (Py_ssize_t i = 0; i < tag_count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    PyObject* tag = cache.tag(data.tag_order[index]);
    if (tag == nullptr) return false;
    PyList_SET_ITEM(out.tag_order.get(), i, tag);
    PyRef values = PyRef::steal(value_list_to_python(data.values[index], &cache));
    if (!values || PyDict_SetItem(out.tags.get(), tag, values.get()) < 0) return false;
  }
  for (std::size_t i = 0; i < data.loops.size(); ++i) {
    const auto& positions = data.loops[i];
    PyObject* loop = PyList_New(static_cast<Py_ssize_t>(positions.size()));
    if (loop == nullptr) return false;
    PyList_SET_ITEM(out.loops.get(), static_cast<Py_ssize_t>(i), loop);
    for (std::size_t j = 0; j < positions.size(); ++j) {
      PyObject* tag = PyList_GET_ITEM(out.tag_order.get(), static_cast<Py_ssize_t>(positions[j]));
      PyList_SET_ITEM(loop, static_cast<Py_ssize_t>(j), Py_NewRef(tag));
    }
  }
  return true;
}

namespace {

PyRef frame_origins(const FrameData& data) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(data.values.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < data.values.size(); ++i) {
    const auto words = data.values[i].origins();
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(words.data()),
                                                static_cast<Py_ssize_t>(words.size_bytes()));
    if (bytes == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), bytes);
  }
  return list;
}

}  // namespace

PyObject* origins_to_python(const ParsedCif& parse) {
  PyRef blocks = PyRef::steal(PyList_New(0));
  if (!blocks) return nullptr;
  for (const ParsedBlock& block : parse.blocks) {
    PyRef own = frame_origins(block.data);
    PyRef frames = PyRef::steal(PyList_New(0));
    if (!own || !frames) return nullptr;
    for (const ParsedSaveFrame& frame : block.save_frames) {
      PyRef origins = frame_origins(frame.data);
      if (!origins || PyList_Append(frames.get(), origins.get()) != 0) return nullptr;
    }
    PyRef pair = PyRef::steal(PyTuple_Pack(2, own.get(), frames.get()));
    if (!pair || PyList_Append(blocks.get(), pair.get()) != 0) return nullptr;
  }
  return blocks.release();
}

PyObject* to_python(const ModuleState& state, ParsedCif&& parse) {
  GcPause pause;
  PyRef result = PyRef::steal(PyDict_New());
  if (!result ||
      !set_item(result.get(), "version",
                PyRef::steal(make_str(parse.version == 0 ? "CIF_1_1" : "CIF_2_0"))) ||
      !set_item(result.get(), "errors", PyRef::steal(diagnostics_to_list(state, parse.errors)))) {
    return nullptr;
  }
  PyRef blocks = PyRef::steal(PyList_New(0));
  if (!blocks) return nullptr;
  StrCache cache;
  for (ParsedBlock& block : parse.blocks) {
    PyRef dict = frame_data_to_python(block.name, block.data, cache);
    if (!dict) return nullptr;
    PyRef frames = PyRef::steal(PyList_New(0));
    if (!frames) return nullptr;
    for (const ParsedSaveFrame& frame : block.save_frames) {
      PyRef frame_dict = frame_data_to_python(frame.name, frame.data, cache);
      if (!frame_dict || PyList_Append(frames.get(), frame_dict.get()) != 0) return nullptr;
    }
    if (!set_item(dict.get(), "save_frames", std::move(frames)) ||
        PyList_Append(blocks.get(), dict.get()) != 0) {
      return nullptr;
    }
    // Release each block's native data as soon as it is converted: lower peak memory.
    block = ParsedBlock{};
  }
  if (!set_item(result.get(), "blocks", std::move(blocks))) return nullptr;
  return result.release();
}

}  // namespace tessrin
