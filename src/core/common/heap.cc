#include "core/common/heap.h"

#include <cstdlib>  // defines __GLIBC__ on the GNU C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace karvalith {

void return_free_heap() {
#if defined(__GLIBC__)
  (void)::malloc_trim(0);  // also releases whole free pages inside the heap, not only its top
#endif
}

}  // namespace karvalith
