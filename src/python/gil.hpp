// Releasing the interpreter lock around native work.
#pragma once

#include <Python.h>

namespace tessrin {

/// Native work that touches no Python object runs without the interpreter lock, so threads
/// parse in parallel. The lock is taken back on leaving the scope, by an exception too.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace tessrin
