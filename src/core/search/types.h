// Ranked hits: by internal slot while ranking, by shared document once resolved.
#pragma once

#include <cstdint>

#include "core/document/document.h"

namespace karvalith {

// An internal id (collection slot) with its score, higher is better.
struct ScoredId {
  std::uint32_t id;
  float score;
};

// A resolved hit. The shared reference keeps the document alive after the
// collection lock is released, even if it is deleted meanwhile.
struct ScoredDocument {
  DocumentPtr document;
  float score;
};

}  // namespace karvalith
