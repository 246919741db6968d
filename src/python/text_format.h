// Text helpers behind the record reprs. Pure C++ (no Python), so they can be
// checked on their own.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace karvalith::py {

inline constexpr std::size_t TEXT_PREVIEW_BYTES = 50;

// The whole text when it has at most TEXT_PREVIEW_BYTES bytes; otherwise its
// first TEXT_PREVIEW_BYTES bytes and "...". A UTF-8 character straddling the
// cut is left out whole, so the preview stays valid text.
inline std::string text_preview(std::string_view text) {
  if (text.size() <= TEXT_PREVIEW_BYTES) return std::string(text);
  std::size_t cut = TEXT_PREVIEW_BYTES;
  // Continuation bytes look like 10xxxxxx; back up to a character start.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string preview(text.substr(0, cut));
  preview += "...";
  return preview;
}

// Four digits after the point; "NaN", "inf" and "-inf" for the non-finite.
inline std::string format_score(float score) {
  if (std::isnan(score)) return "NaN";
  if (std::isinf(score)) return score > 0 ? "inf" : "-inf";
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "%.4f", static_cast<double>(score));
  return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace karvalith::py
