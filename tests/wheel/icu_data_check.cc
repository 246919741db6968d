// Prints a digest of everything the tokenizer asks ICU: the lower-case form of
// every code point (in a word, followed by a capital sigma to exercise the
// final-sigma rule) and its Alphabetic and general-category properties, plus
// how many calls failed. scripts/test-wheel.sh runs it once with the system's
// ICU data and once with the wheel's filtered package: the digests must match
// and no call may fail.
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>
#include <string>

int main() {
  std::uint64_t digest = 1469598103934665603ull;  // FNV-1a
  auto mix = [&digest](std::uint64_t value) {
    digest ^= value;
    digest *= 1099511628211ull;
  };
  int failures = 0;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (U_IS_SURROGATE(c)) continue;
    char encoded[4];
    int32_t length = 0;
    UBool error = false;
    U8_APPEND(encoded, length, 4, c, error);
    const std::string word = "A" + std::string(encoded, static_cast<std::size_t>(length)) + "\xCE\xA3 x";
    char lowered[64];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = icu::CaseMap::utf8ToLower("", 0, word.data(), static_cast<int32_t>(word.size()), lowered,
                                                sizeof lowered, nullptr, status);
    if (U_FAILURE(status)) ++failures;
    for (int32_t i = 0; i < n; ++i) mix(static_cast<unsigned char>(lowered[i]));
    mix(u_isUAlphabetic(c) ? 1 : 0);
    mix(static_cast<std::uint64_t>(u_charType(c)));
  }
  std::printf("%016llx %d\n", static_cast<unsigned long long>(digest), failures);
  return failures == 0 ? 0 : 1;
}
