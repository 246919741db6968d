// Conversion of an embedding argument to 32-bit floats.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <vector>

namespace karvalith::py {

// Accepts any sequence of numbers other than str. Objects exporting a 1-D
// buffer (any stride) of native float32 or float64 (numpy arrays,
// array.array('f'/'d'), memoryviews) are read directly, without a Python
// float per component; every other sequence goes item by item. Both paths
// round each value to the nearest float32 the same way. On failure raises
// TypeError (or OverflowError) whose message starts with `label`.
bool to_embedding(PyObject* value, const std::string& label, std::vector<float>& out);

// The query embeddings of a batch: a 2-D float32 or float64 buffer (numpy
// arrays and the like), or a sequence of embeddings (each as to_embedding).
// C-contiguous float32 rows are read in place: the buffer stays exported
// (the array cannot be resized) until this object goes, so the rows stay
// valid while the interpreter lock is released. Other layouts are copied.
class EmbeddingRows {
 public:
  EmbeddingRows() = default;
  EmbeddingRows(const EmbeddingRows&) = delete;
  EmbeddingRows& operator=(const EmbeddingRows&) = delete;
  ~EmbeddingRows();

  // TypeError (or OverflowError) starting with `label` when the value is
  // neither; nothing is kept then.
  bool convert(PyObject* value, const std::string& label);
  const std::vector<std::span<const float>>& rows() const { return rows_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  std::vector<float> copied_;                // rows of a buffer that could not be read in place
  std::vector<std::vector<float>> sequence_;  // rows of a sequence of embeddings
  std::vector<std::span<const float>> rows_;
};

}  // namespace karvalith::py
