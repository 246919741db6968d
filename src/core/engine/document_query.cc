#include "core/engine/document_query.h"

#include <memory>
#include <unordered_set>
#include <utility>

#include "core/engine/passing_set.h"
#include "core/search/filter.h"

namespace karvalith {

namespace {

Status check(const std::optional<MetadataFilter>& filter) {
  return filter ? check_filter(*filter) : Status{};
}

// Collects the selected slots' documents past `offset`, up to `limit`.
class Page {
 public:
  Page(const CollectionState& state, const DocumentQuery& query) : state_(state), query_(query) {}

  // False once the page is full.
  bool take(std::uint32_t slot) {
    // Every set bit is a live slot (the index holds nothing else); checked
    // anyway, since decoding an empty slot is not allowed.
    if (slot >= state_.internal_to_uuid.size() || !state_.documents.contains(slot)) return true;
    if (query_.limit && documents_.size() >= *query_.limit) return false;
    if (skipped_ < query_.offset) {
      ++skipped_;
      return true;
    }
    documents_.push_back(
        std::make_shared<const Document>(state_.documents.document(slot, state_.internal_to_uuid[slot])));
    return true;
  }

  std::vector<DocumentPtr> release() { return std::move(documents_); }

 private:
  const CollectionState& state_;
  const DocumentQuery& query_;
  std::uint64_t skipped_ = 0;
  std::vector<DocumentPtr> documents_;
};

}  // namespace

Result<std::vector<DocumentPtr>> select_documents(const Collection& collection, const DocumentQuery& query) {
  if (Status valid = check(query.filter); !valid) return std::unexpected(std::move(valid.error()));
  auto state = collection.state().read();
  Page page(*state, query);
  if (query.limit && *query.limit == 0) return page.release();
  const MetadataFilter everything;
  const PassingSet passing = passing_set(*state, query.filter ? *query.filter : everything);
  if (!query.ids) {
    for (std::size_t w = 0; w < passing.words.size(); ++w) {
      for (std::uint64_t bits = passing.words[w]; bits != 0; bits &= bits - 1) {
        if (!page.take(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))))) {
          return page.release();
        }
      }
    }
    return page.release();
  }
  std::unordered_set<std::uint32_t> seen;
  for (const Uuid& id : *query.ids) {
    const std::optional<std::uint32_t> slot = state->live_slot(id);
    if (!slot || !passing(*slot) || !seen.insert(*slot).second) continue;
    if (!page.take(*slot)) break;
  }
  return page.release();
}

Result<std::uint64_t> count_documents(const Collection& collection, const MetadataFilter* filter) {
  if (filter != nullptr) {
    if (Status valid = check_filter(*filter); !valid) return std::unexpected(std::move(valid.error()));
  }
  auto state = collection.state().read();
  if (filter == nullptr) return state->metadata_index.live_count();
  return passing_set(*state, *filter).count;
}

std::vector<Uuid> live_among(const Collection& collection, std::span<const Uuid> ids) {
  auto state = collection.state().read();
  std::unordered_set<std::uint32_t> seen;
  std::vector<Uuid> live;
  for (const Uuid& id : ids) {
    const std::optional<std::uint32_t> slot = state->live_slot(id);
    if (slot && seen.insert(*slot).second) live.push_back(id);
  }
  return live;
}

Result<std::vector<Uuid>> passing_ids(const Collection& collection, const MetadataFilter& filter) {
  if (Status valid = check_filter(filter); !valid) return std::unexpected(std::move(valid.error()));
  auto state = collection.state().read();
  const PassingSet passing = passing_set(*state, filter);
  std::vector<Uuid> ids;
  ids.reserve(static_cast<std::size_t>(passing.count));
  passing.for_each([&](std::uint32_t slot) { ids.push_back(state->internal_to_uuid[slot]); });
  return ids;
}

}  // namespace karvalith
