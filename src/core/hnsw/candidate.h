// The element of every graph heap and result list: a distance to some base
// point (smaller is closer) and a node id.
#pragma once

#include <cstdint>

namespace karvalith {

struct Candidate {
  float distance;
  std::uint32_t id;
};

}  // namespace karvalith
