// The keyword tokenizer: lower-cases a UTF-8 text and splits it into terms
// (runs of Unicode letters and digits), dropping one-byte terms and the
// English and Italian stop words. Indexing and queries both use it, so a
// document and a query always agree on their terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace karvalith {

// Byte range [start, end) of one term in `Tokens::lowered`.
struct TermSpan {
  std::uint32_t start;
  std::uint32_t end;
};

// The terms of one text: the lower-cased text plus one span per kept term,
// in text order (a repeated word has one span per occurrence).
struct Tokens {
  std::string lowered;
  std::vector<TermSpan> spans;

  std::size_t size() const { return spans.size(); }
  bool empty() const { return spans.empty(); }
  std::string_view term(std::size_t i) const {
    return std::string_view(lowered.data() + spans[i].start, spans[i].end - spans[i].start);
  }
};

// Tokenizes `text`. Never fails: ill-formed UTF-8 sequences are treated as
// separators and never read past the end. Texts longer than 2^30 bytes
// are tokenized up to that length (spans and ICU lengths are 32-bit).
Tokens tokenize(std::string_view text);

// Same as `tokenize`, reusing the buffers of `out` (its previous content is
// replaced), so hot callers keep one `Tokens` per thread and allocate nothing
// in steady state.
void tokenize_into(std::string_view text, Tokens& out);

// The fixed set of 64 English and Italian stop words. Built once on first use
// (thread-safe) and immutable afterwards; lookup is by exact bytes.
class StopWordSet {
 public:
  bool contains(std::string_view term) const;
  // The words in their defining order (English first, then Italian).
  const std::vector<std::string_view>& words() const;
  std::size_t size() const { return words().size(); }
};

inline constexpr StopWordSet STOP_WORDS{};

}  // namespace karvalith
