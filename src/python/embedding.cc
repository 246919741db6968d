#include "embedding.h"

#include <bit>
#include <cstring>
#include <string_view>

#include "args.h"
#include "py_ref.h"

namespace karvalith::py {

namespace {

// Element kind of a buffer this module reads directly: 'f', 'd' or 0.
char native_float_format(const char* format) {
  if (format == nullptr) return 0;
  std::string_view text(format);
  if (!text.empty() && (text[0] == '@' || text[0] == '=' ||
                        (text[0] == '<' && std::endian::native == std::endian::little))) {
    text.remove_prefix(1);
  }
  if (text == "f" || text == "d") return text[0];
  return 0;
}

class BufferView {
 public:
  // Exports `object` as a strided buffer with its format; false (and no
  // pending error) when the object cannot.
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

template <class Element>
void copy_strided(const Py_buffer& view, std::vector<float>& out) {
  const auto* base = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides[0];
  for (std::size_t i = 0; i < out.size(); ++i) {
    Element element;
    std::memcpy(&element, base + static_cast<Py_ssize_t>(i) * stride, sizeof element);
    out[i] = static_cast<float>(element);  // float64 rounds to nearest
  }
}

// The direct path; false when the buffer is not a 1-D float32/float64 vector.
bool read_float_buffer(PyObject* value, std::vector<float>& out) {
  BufferView buffer;
  if (!buffer.acquire(value)) return false;
  const Py_buffer& view = buffer.view();
  const char kind = native_float_format(view.format);
  if (view.ndim != 1 || kind == 0 || view.shape == nullptr || view.strides == nullptr) {
    return false;
  }
  const bool is_float = kind == 'f' && view.itemsize == sizeof(float);
  const bool is_double = kind == 'd' && view.itemsize == sizeof(double);
  if (!is_float && !is_double) return false;
  out.resize(static_cast<std::size_t>(view.shape[0]));
  if (out.empty()) return true;
  if (is_float && view.strides[0] == sizeof(float)) {
    std::memcpy(out.data(), view.buf, out.size() * sizeof(float));
  } else if (is_float) {
    copy_strided<float>(view, out);
  } else if (view.strides[0] == sizeof(double)) {
    const auto* source = static_cast<const double*>(view.buf);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(source[i]);
  } else {
    copy_strided<double>(view, out);
  }
  return true;
}

}  // namespace

bool to_embedding(PyObject* value, const std::string& label, std::vector<float>& out) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s: expected a sequence of numbers, got %s", label.c_str(),
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (PyObject_CheckBuffer(value) && read_float_buffer(value, out)) return true;

  PyRef sequence = PyRef::steal(PySequence_Fast(value, "expected a sequence of numbers"));
  if (!sequence) return prefix_pending_error(label);
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  PyObject** items = PySequence_Fast_ITEMS(sequence.get());
  out.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const double component = PyFloat_AsDouble(items[i]);
    if (component == -1.0 && PyErr_Occurred()) {
      return prefix_pending_error(label + ": element " + std::to_string(i));
    }
    out[static_cast<std::size_t>(i)] = static_cast<float>(component);
  }
  return true;
}

EmbeddingRows::~EmbeddingRows() {
  if (held_) PyBuffer_Release(&view_);
}

bool EmbeddingRows::convert(PyObject* value, const std::string& label) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s: expected a 2-D array or a sequence of embeddings, got %s", label.c_str(),
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (PyObject_CheckBuffer(value) && PyObject_GetBuffer(value, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0) {
    held_ = true;
    const char kind = native_float_format(view_.format);
    const bool is_float = kind == 'f' && view_.itemsize == sizeof(float);
    const bool is_double = kind == 'd' && view_.itemsize == sizeof(double);
    if (view_.ndim == 2 && (is_float || is_double) && view_.shape != nullptr && view_.strides != nullptr) {
      const auto count = static_cast<std::size_t>(view_.shape[0]);
      const auto width = static_cast<std::size_t>(view_.shape[1]);
      const auto* base = static_cast<const char*>(view_.buf);
      rows_.reserve(count);
      if (is_float && view_.strides[1] == sizeof(float)) {
        for (std::size_t r = 0; r < count; ++r) {
          rows_.emplace_back(reinterpret_cast<const float*>(base + static_cast<Py_ssize_t>(r) * view_.strides[0]), width);
        }
        return true;
      }
      copied_.resize(count * width);
      for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t c = 0; c < width; ++c) {
          const char* item = base + static_cast<Py_ssize_t>(r) * view_.strides[0] + static_cast<Py_ssize_t>(c) * view_.strides[1];
          if (is_float) {
            float x;
            std::memcpy(&x, item, sizeof x);
            copied_[r * width + c] = x;
          } else {
            double x;
            std::memcpy(&x, item, sizeof x);
            copied_[r * width + c] = static_cast<float>(x);  // rounds to nearest
          }
        }
        rows_.emplace_back(copied_.data() + r * width, width);
      }
      return true;
    }
    PyBuffer_Release(&view_);
    held_ = false;
  } else {
    PyErr_Clear();
  }
  // A sequence of embeddings; a 1-D buffer is a sequence of numbers, not of rows.
  PyRef sequence = PyRef::steal(PySequence_Fast(value, "expected a sequence of embeddings"));
  if (!sequence) return prefix_pending_error(label);
  // The size is re-read and each row held: converting a row may run Python
  // code that changes a list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyRef row = PyRef::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (!to_embedding(row.get(), label + "[" + std::to_string(i) + "]", sequence_.emplace_back())) {
      rows_.clear();
      sequence_.clear();
      return false;
    }
  }
  for (const std::vector<float>& row : sequence_) rows_.emplace_back(row);
  return true;
}

}  // namespace karvalith::py
