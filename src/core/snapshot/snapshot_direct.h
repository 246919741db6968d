// Loading a snapshot payload straight into a live collection: documents go
// into the record store, neighbour lists into the graph's rows and the id
// maps into the id table, without the per-document objects, per-list
// vectors and hash maps of CollectionData. Every check of validate() is made
// on the way; a payload that fails one, or that uses a form this path leaves
// to the general one (a repeated map key, a level-0 list longer than a row),
// gives nothing, and the caller decodes it with decode_collection_data, which
// then gives the result or the error it always gave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/engine/collection.h"

namespace karvalith {

// The collection of a payload that decodes and passes validate(), built as
// build_collection builds it, raw vectors dropped when the configuration
// does not keep them (as load_collection does); null otherwise. `unused`
// receives the count of bytes after the encoded data.
CollectionPtr load_collection_direct(std::span<const std::uint8_t> payload, std::size_t* unused);

}  // namespace karvalith
