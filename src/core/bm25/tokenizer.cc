#include "core/bm25/tokenizer.h"

#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace karvalith {
namespace {

// Longest input handled: keeps ICU's 32-bit lengths and our 32-bit spans
// valid even when lower-casing lengthens the text (at most by half).
constexpr std::size_t MAX_TEXT_BYTES = std::size_t{1} << 30;

constexpr std::array<std::string_view, 64> STOP_WORD_LIST = {
    // English
    "a", "an", "and", "are", "as", "at", "be", "but", "by", "for", "if", "in", "into", "is", "it",
    "no", "not", "of", "on", "or", "such", "that", "the", "their", "then", "there", "these",
    "they", "this", "to", "was", "will", "with",
    // Italian
    "il", "lo", "la", "le", "li", "gli", "un", "uno", "una", "di", "da", "del", "dello", "della",
    "dei", "degli", "delle", "che", "per", "non", "si", "con", "su", "ha", "sono", "come", "ma",
    "anche", "se", "io", "ci"};

// Every stop word fits in 8 bytes and no term contains a zero byte, so a
// term of at most 8 bytes packed little-endian into a word (zero padded) is a
// unique key. The set is a small open-addressing table of such keys.
std::uint64_t pack_short(std::string_view s) {
  std::uint64_t key = 0;
  std::memcpy(&key, s.data(), s.size());
  return key;
}

class StopWordTable {
 public:
  StopWordTable() : words_(STOP_WORD_LIST.begin(), STOP_WORD_LIST.end()) {
    keys_.fill(0);
    for (std::string_view w : words_) {
      max_length_ = std::max(max_length_, w.size());
      std::uint64_t key = pack_short(w);
      std::size_t slot = home(key);
      while (keys_[slot] != 0 && keys_[slot] != key) slot = (slot + 1) & (SLOTS - 1);
      keys_[slot] = key;
    }
  }

  bool contains(std::string_view term) const {
    if (term.empty() || term.size() > max_length_) return false;
    std::uint64_t key = pack_short(term);
    for (std::size_t slot = home(key);; slot = (slot + 1) & (SLOTS - 1)) {
      if (keys_[slot] == key) return true;
      if (keys_[slot] == 0) return false;
    }
  }

  const std::vector<std::string_view>& words() const { return words_; }

 private:
  static constexpr std::size_t SLOTS = 256;  // load factor 1/4: most lookups probe once
  static std::size_t home(std::uint64_t key) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 56);
  }

  std::vector<std::string_view> words_;
  std::array<std::uint64_t, SLOTS> keys_;
  std::size_t max_length_ = 0;
};

const StopWordTable& stop_word_table() {
  static const StopWordTable table;  // thread-safe one-time construction
  return table;
}

// Lower-cases ASCII from `src` into `dst`, 16 bytes at a time. Returns false
// at the first non-ASCII byte (the output is then incomplete).
bool lower_ascii(const char* src, std::size_t n, char* dst) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i before_a = _mm_set1_epi8('A' - 1);
  const __m128i after_z = _mm_set1_epi8('Z' + 1);
  const __m128i case_bit = _mm_set1_epi8(0x20);
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    if (_mm_movemask_epi8(v) != 0) return false;
    // All bytes are < 0x80 here, so signed compares are exact.
    __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, before_a), _mm_cmplt_epi8(v, after_z));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm_or_si128(v, _mm_and_si128(upper, case_bit)));
  }
#endif
  for (; i < n; ++i) {
    auto b = static_cast<unsigned char>(src[i]);
    if (b >= 0x80) return false;
    dst[i] = static_cast<char>(b >= 'A' && b <= 'Z' ? b | 0x20 : b);
  }
  return true;
}

// Full Unicode lower-casing (root locale: full mappings and final sigma).
// ICU copies ill-formed sequences through unchanged; should it still fail,
// the text is kept with only its ASCII letters lowered.
void lower_unicode(std::string_view text, std::string& out) {
  const auto n = static_cast<int32_t>(text.size());
  out.resize(text.size() + text.size() / 2 + 16);
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = icu::CaseMap::utf8ToLower("", 0, text.data(), n, out.data(),
                                             static_cast<int32_t>(out.size()), nullptr, status);
  if (status == U_BUFFER_OVERFLOW_ERROR && length > 0) {
    out.resize(static_cast<std::size_t>(length) + 1);
    status = U_ZERO_ERROR;
    length = icu::CaseMap::utf8ToLower("", 0, text.data(), n, out.data(),
                                       static_cast<int32_t>(out.size()), nullptr, status);
  }
  if (U_FAILURE(status) || length < 0 || static_cast<std::size_t>(length) > out.size()) {
    out.assign(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    }
    return;
  }
  out.resize(static_cast<std::size_t>(length));
}

constexpr std::array<bool, 256> make_ascii_alnum() {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  return table;
}
constexpr std::array<bool, 256> ASCII_ALNUM = make_ascii_alnum();

bool is_unicode_alnum(UChar32 c) {
  if (u_isUAlphabetic(c)) return true;
  int8_t type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

inline void keep_term(const StopWordTable& stop, const std::string& lowered, std::size_t start,
                      std::size_t end, std::vector<TermSpan>& spans) {
  if (end - start <= 1) return;
  if (stop.contains(std::string_view(lowered.data() + start, end - start))) return;
  spans.push_back(TermSpan{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
}

void split_ascii(const std::string& lowered, std::vector<TermSpan>& spans) {
  const StopWordTable& stop = stop_word_table();
  const auto* s = reinterpret_cast<const unsigned char*>(lowered.data());
  const std::size_t n = lowered.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && !ASCII_ALNUM[s[i]]) ++i;
    std::size_t start = i;
    while (i < n && ASCII_ALNUM[s[i]]) ++i;
    if (i > start) keep_term(stop, lowered, start, i, spans);
  }
}

void split_unicode(const std::string& lowered, std::vector<TermSpan>& spans) {
  const StopWordTable& stop = stop_word_table();
  const auto* s = reinterpret_cast<const uint8_t*>(lowered.data());
  const auto n = static_cast<int32_t>(lowered.size());
  int32_t i = 0;
  int32_t start = -1;  // start of the current run, -1 outside a run
  while (i < n) {
    int32_t at = i;
    bool alnum;
    if (s[i] < 0x80) {
      alnum = ASCII_ALNUM[s[i]];
      ++i;
    } else {
      UChar32 c;
      U8_NEXT(s, i, n, c);  // advances i; c < 0 for an ill-formed sequence
      alnum = c >= 0 && is_unicode_alnum(c);
    }
    if (alnum) {
      if (start < 0) start = at;
    } else if (start >= 0) {
      keep_term(stop, lowered, static_cast<std::size_t>(start), static_cast<std::size_t>(at), spans);
      start = -1;
    }
  }
  if (start >= 0) {
    keep_term(stop, lowered, static_cast<std::size_t>(start), static_cast<std::size_t>(n), spans);
  }
}

}  // namespace

bool StopWordSet::contains(std::string_view term) const { return stop_word_table().contains(term); }

const std::vector<std::string_view>& StopWordSet::words() const { return stop_word_table().words(); }

void tokenize_into(std::string_view text, Tokens& out) {
  text = text.substr(0, std::min(text.size(), MAX_TEXT_BYTES));
  out.spans.clear();
  out.lowered.resize(text.size());
  // Typical prose has a term every 6 to 8 bytes.
  out.spans.reserve(text.size() / 6 + 1);
  if (lower_ascii(text.data(), text.size(), out.lowered.data())) {
    split_ascii(out.lowered, out.spans);
  } else {
    lower_unicode(text, out.lowered);
    split_unicode(out.lowered, out.spans);
  }
}

Tokens tokenize(std::string_view text) {
  Tokens tokens;
  tokenize_into(text, tokens);
  return tokens;
}

}  // namespace karvalith
