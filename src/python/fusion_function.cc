// _karvalith.fuse: the fusion a hybrid search runs, for rankings gathered
// elsewhere (for instance merged from several collections). Ids are the
// caller's u32 keys: among equal fused scores larger ids rank first, so a
// caller numbering its documents in insertion order gets a single
// collection's tie order.
#include "fusion_function.h"

#include <string>
#include <vector>

#include "args.h"
#include "core/search/hybrid.h"
#include "core/search/request.h"
#include "errors.h"
#include "py_ref.h"

namespace karvalith::py {

namespace {

// A sequence of (id, score) pairs, ids from 0 to 2^32 - 1.
bool to_ranking(PyObject* object, const char* param, std::vector<ScoredId>& out) {
  PyRef items = PyRef::steal(PySequence_Fast(object, ""));
  if (!items) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of (id, score) pairs, got %s", param,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef pair = PyRef::steal(PySequence_Tuple(PySequence_Fast_GET_ITEM(items.get(), i)));
    if (!pair || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd is not an (id, score) pair", param, i);
      return false;
    }
    std::uint64_t id = 0;
    float score = 0.0f;
    if (!to_u64(PyTuple_GET_ITEM(pair.get(), 0), param, id) ||
        !to_f32(PyTuple_GET_ITEM(pair.get(), 1), param, score)) {
      return false;
    }
    if (id > UINT32_MAX) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': id %llu of item %zd is above 2^32 - 1", param,
                   static_cast<unsigned long long>(id), i);
      return false;
    }
    out.push_back({static_cast<std::uint32_t>(id), score});
  }
  return true;
}

PyObject* ranking_to_py(const std::vector<ScoredId>& ranking) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranking.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ranking.size(); ++i) {
    PyObject* pair = Py_BuildValue("(kd)", static_cast<unsigned long>(ranking[i].id),
                                   static_cast<double>(ranking[i].score));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

}  // namespace

PyObject* fuse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    static constexpr const char* const names[] = {"vector_hits", "keyword_hits", "k", "fusion_method", "alpha"};
    PyObject* slots[std::size(names)];
    if (!bind_arguments({"fuse", names, 2}, args, nargs, kwnames, slots)) return nullptr;
    std::vector<ScoredId> vector_hits;
    std::vector<ScoredId> keyword_hits;
    std::uint64_t k = DEFAULT_K;
    float alpha = DEFAULT_ALPHA;
    FusionMethod method = FusionMethod::ReciprocalRank;
    if (!to_ranking(slots[0], "vector_hits", vector_hits) || !to_ranking(slots[1], "keyword_hits", keyword_hits)) {
      return nullptr;
    }
    if (slots[2] != nullptr && !to_u64(slots[2], "k", k)) return nullptr;
    if (slots[3] != nullptr) {
      std::string text;
      if (!to_text(slots[3], "fusion_method", text)) return nullptr;
      method = fusion_method_from_text(text);
    }
    if (slots[4] != nullptr && !to_f32(slots[4], "alpha", alpha)) return nullptr;
    // Short pure work on the caller's lists: not worth releasing the interpreter lock.
    const std::vector<ScoredId> fused = method == FusionMethod::Linear
                                            ? linear_fusion(vector_hits, keyword_hits, k, alpha)
                                            : rrf_fusion(vector_hits, keyword_hits, k);
    return ranking_to_py(fused);
  });
}

}  // namespace karvalith::py
