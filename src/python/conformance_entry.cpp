#include "python/conformance_entry.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "collect/raw_builder.hpp"
#include "conformance/conformance.hpp"
#include "conformance/syntax.hpp"
#include "python/arguments.hpp"
#include "python/gil.hpp"
#include "python/guarded.hpp"
#include "python/gzip_file.hpp"
#include "python/py_strings.hpp"
#include "python/pyref.hpp"
#include "text/grammar.hpp"
#include "text/lexer.hpp"
#include "text/text_file.hpp"
#include "text/utf8.hpp"

namespace tessrin {

namespace {

using conformance::Finding;
using conformance::Report;

/// The comparison form of a non-ASCII name or key, computed by Python's unicodedata: names
/// compare by canonical caseless matching (NFD, case fold, NFC), table keys by NFC. False with
/// a Python error set.
bool fold_with_python(PyObject* unicodedata, std::string_view text, bool key, std::string& out) {
  PyRef s = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (s && !key) {
    PyRef nfd = PyRef::steal(PyObject_CallMethod(unicodedata, "normalize", "sO", "NFD", s.get()));
    s = nfd ? PyRef::steal(PyObject_CallMethod(nfd.get(), "casefold", nullptr)) : PyRef();
  }
  if (s) s = PyRef::steal(PyObject_CallMethod(unicodedata, "normalize", "sO", "NFC", s.get()));
  Py_ssize_t size = 0;
  const char* data = s ? PyUnicode_AsUTF8AndSize(s.get(), &size) : nullptr;
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

/// The folds of the non-ASCII CIF 2.0 names and keys of one check. The check runs without the
/// interpreter lock, so it cannot call Python: it takes the folds known so far and notes the
/// texts it lacks; with the lock held again those are folded and the check is run once more.
/// Most files have no such name and are checked once.
class CollectedFolds {
 public:
  conformance::NameFolder folder() {
    return [this](std::string_view text, bool key, std::string& out) {
      std::string id = entry(text, key);
      if (const auto it = folded_.find(id); it != folded_.end()) {
        out.assign(it->second);
        return;
      }
      out.assign(text);  // a stand-in: this run's report is not kept
      missing_.insert(std::move(id));
    };
  }

  bool complete() const noexcept { return missing_.empty(); }

  /// Folds every text the last run lacked. Needs the interpreter lock.
  bool fold_missing(PyObject* unicodedata) {
    for (const std::string& id : missing_) {
      std::string out;
      if (!fold_with_python(unicodedata, std::string_view(id).substr(1), id[0] == 'k', out)) {
        return false;
      }
      folded_.emplace(id, std::move(out));
    }
    missing_.clear();
    return true;
  }

 private:
  static std::string entry(std::string_view text, bool key) {
    std::string id(1, key ? 'k' : 'n');
    id.append(text);
    return id;
  }

  std::unordered_map<std::string, std::string> folded_;
  std::unordered_set<std::string> missing_;
};

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* finding_dict(const Finding& f) {
  const conformance::RuleInfo& info = conformance::rule_info(f.rule);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::array<std::pair<const char*, PyRef>, 6> items = {{
      {"rule", PyRef::steal(text_object(info.id))},
      {"severity", PyRef::steal(PyUnicode_FromString(
                       info.severity == conformance::Severity::Error ? "error" : "warning"))},
      {"message", PyRef::steal(text_object(f.message))},
      {"line", PyRef::steal(PyLong_FromUnsignedLong(f.line))},
      {"column", PyRef::steal(PyLong_FromUnsignedLong(f.column))},
      {"context", PyRef::steal(text_object(f.context))},
  }};
  for (const auto& [key, value] : items) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* report_list(std::string_view bytes, std::size_t cap) {
  PyRef unicodedata = PyRef::steal(PyImport_ImportModule("unicodedata"));
  if (!unicodedata) return nullptr;
  CollectedFolds folds;
  conformance::Options options;
  options.max_findings = cap;
  options.fold = folds.folder();
  Report report;
  for (;;) {
    {
      WithoutGil unlocked;
      report = conformance::check_conformance(bytes, options);
    }
    // A run with the folds complete asks for no more; each run before it adds texts, so
    // this ends (after two runs, in practice).
    if (folds.complete()) break;
    if (!folds.fold_missing(unicodedata.get())) return nullptr;
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(report.findings.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < report.findings.size(); ++i) {
    PyObject* item = finding_dict(report.findings[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* py_conformance(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames = {"source", "max_errors"};
  std::array<PyObject*, 2> bound{};
  std::size_t cap = 0;
  if (!bind_fastcall("conformance", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames, bound) ||
      !max_errors_argument("conformance", bound[1], cap)) {
    return nullptr;
  }
  PyObject* source = bound[0];
  if (PyUnicode_Check(source)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(source, &size);
    if (data != nullptr) {
      return guarded([&] { return report_list({data, static_cast<std::size_t>(size)}, cap); });
    }
    // Lone surrogates (text decoded with surrogateescape, say): checked as the bytes they
    // stand for, which are not UTF-8 and so are findings themselves.
    PyErr_Clear();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(source, "utf-8", "surrogateescape"));
    if (!bytes) {
      PyErr_Clear();
      bytes = PyRef::steal(PyUnicode_AsEncodedString(source, "utf-8", "surrogatepass"));
    }
    if (!bytes) return nullptr;
    return guarded([&] {
      return report_list(
          {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))},
          cap);
    });
  }
  Py_buffer view;
  if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "conformance() argument 'source' must be str or bytes-like, not %.200s",
                 Py_TYPE(source)->tp_name);
    return nullptr;
  }
  PyObject* result = guarded([&] {
    return report_list({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)},
                       cap);
  });
  PyBuffer_Release(&view);
  return result;
}

PyObject* py_diagnostics(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames = {"source", "mode", "max_errors"};
  std::array<PyObject*, 3> bound{};
  std::size_t cap = 0;
  bool strict = false;
  if (!bind_fastcall("diagnostics", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames, bound) ||
      !strict_argument("diagnostics", bound[1], strict) ||
      !max_errors_argument("diagnostics", bound[2], cap)) {
    return nullptr;
  }
  std::string_view source;
  if (!text_argument("diagnostics", "source", bound[0], source)) return nullptr;
  return guarded([&] {
    ParsedCif parse;
    {
      WithoutGil unlocked;
      parse = collect_raw(source, strict, cap);
    }
    return diagnostics_to_list(module_state(module), parse.errors);
  });
}

PyObject* py_conformance_rules(PyObject*, PyObject*) {
  PyRef rules = PyRef::steal(PyDict_New());
  if (!rules) return nullptr;
  for (std::size_t i = 0;; ++i) {
    const auto rule = static_cast<conformance::Rule>(i);
    const conformance::RuleInfo& info = conformance::rule_info(rule);
    PyRef severity = PyRef::steal(
        PyUnicode_FromString(info.severity == conformance::Severity::Error ? "error" : "warning"));
    PyRef id = PyRef::steal(text_object(info.id));
    if (!severity || !id || PyDict_SetItem(rules.get(), id.get(), severity.get()) != 0) {
      return nullptr;
    }
    if (rule == conformance::kLastRule) break;
  }
  return rules.release();
}

PyObject* py_conformance_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames = {"path", "max_errors"};
  std::array<PyObject*, 2> bound{};
  std::size_t cap = 0;
  if (!bind_fastcall("conformance_file", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames,
                     bound) ||
      !max_errors_argument("conformance_file", bound[1], cap)) {
    return nullptr;
  }
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(bound[0], &converted)) return nullptr;
  PyRef encoded = PyRef::steal(converted);
  const char* name = PyBytes_AS_STRING(encoded.get());
  return guarded([&]() -> PyObject* {
    FileText bytes;
    const TextFileStatus status = read_text_file(name, bytes);
    if (status.kind == TextFileStatus::Kind::SystemError) {
      errno = status.error_number;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, bound[0]);
    }
    if (is_gzip(text_of(bytes))) {
      bytes = FileText();
      PyRef buffer;
      PyRef report;
      {
        Utf8Buffer inflated;
        if (!inflate_file(bound[0], inflated, buffer)) return nullptr;
        report = PyRef::steal(report_list(inflated.text(), cap));
      }  // the buffer is no longer viewed: it may serve the next file
      if (!report || !give_back_buffer(std::move(buffer))) return nullptr;
      return report.release();
    }
    // Not UTF-8 is no reason to refuse: the checker reports where.
    return report_list(text_of(bytes), cap);
  });
}

namespace {

/// The lexer's tokens as conformance::TokenMark: where each token's delimiter starts.
std::vector<conformance::TokenMark> lexer_tokens(std::string_view text, bool cif2) {
  std::vector<conformance::TokenMark> marks;
  Lexer lexer(text, cif2 ? CifVersion::Cif20 : CifVersion::Cif11, 0, is_ascii(text));
  Token token;
  while (lexer.next(token)) {
    auto offset = static_cast<std::size_t>(token.text.data() - text.data());
    char kind = 'b';
    if (token.kind == TokenKind::Tag) {
      kind = 't';
    } else if (token.kind == TokenKind::Reserved) {
      kind = 'r';
    } else if (token.value_type == kSingleQuoted || token.value_type == kDoubleQuoted) {
      kind = 'q';
      offset -= 1;
    } else if (token.value_type == kTripleSingleQuoted || token.value_type == kTripleDoubleQuoted ||
               (!token.errors.empty() && offset >= 3 && token.value_type == kString &&
                token.errors[0].message == "triple-quoted strings are not valid in CIF 1.x")) {
      kind = '3';
      offset -= 3;
    } else if (token.value_type == kMultilineString) {
      kind = ';';
      offset -= 1;
    } else if (token.punctuation) {
      kind = 'p';
    }
    marks.push_back(conformance::TokenMark{offset, kind});
  }
  return marks;
}

}  // namespace

PyObject* py_tokens(PyObject*, PyObject* args) {
  PyObject* source = nullptr;
  int cif2 = 0;
  int strict = 0;
  if (!PyArg_ParseTuple(args, "O!pp:_tokens", &PyBytes_Type, &source, &cif2, &strict)) {
    return nullptr;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(source, &data, &size) != 0) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string_view text(data, static_cast<std::size_t>(size));
    const std::size_t start = grammar::content_start(text);
    const std::vector<conformance::TokenMark> marks =
        strict ? conformance::syntax_tokens(text, start, cif2 != 0) : lexer_tokens(text, cif2 != 0);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(marks.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < marks.size(); ++i) {
      PyObject* item = Py_BuildValue("(nC)", static_cast<Py_ssize_t>(marks[i].offset),
                                     static_cast<int>(marks[i].kind));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

}  // namespace tessrin
