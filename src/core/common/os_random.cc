#include "core/common/os_random.h"

#include <sys/random.h>

#include <cerrno>

namespace karvalith {

bool fill_os_random(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t got = getrandom(bytes + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

std::uint64_t os_random_u64() {
  std::uint64_t value = 0;
  if (!fill_os_random(&value, sizeof value)) return 0;
  return value;
}

}  // namespace karvalith
