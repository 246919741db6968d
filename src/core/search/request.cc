#include "core/search/request.h"

namespace karvalith {

Status require_query(bool has_embedding, bool has_text) {
  if (has_embedding || has_text) return {};
  return make_error(ErrorKind::InvalidInput, "at least one of query_embedding or query_text is required");
}

}  // namespace karvalith
