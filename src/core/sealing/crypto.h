// Sealing with AES-256-GCM: a 32-byte key parsed from 64 hex characters seals
// a buffer as nonce(12) | ciphertext | tag(16) and opens such blobs again.
// One key object is shared by the log and the snapshot code of a handle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/common/result.h"

namespace karvalith {

// The raw key bytes; overwritten (in a way the optimiser keeps) on destruction.
struct ZeroizeKey {
  std::array<std::uint8_t, 32> bytes{};

  ZeroizeKey() = default;
  ZeroizeKey(const ZeroizeKey&) = delete;
  ZeroizeKey& operator=(const ZeroizeKey&) = delete;
  ~ZeroizeKey();
};

class EncryptionKey {
 public:
  static constexpr std::size_t KEY_BYTES = 32;
  static constexpr std::size_t NONCE_BYTES = 12;
  static constexpr std::size_t TAG_BYTES = 16;
  static constexpr std::size_t SEAL_OVERHEAD = NONCE_BYTES + TAG_BYTES;
  // GCM encrypts at most this many bytes under one nonce.
  static constexpr std::uint64_t MAX_PLAINTEXT_BYTES = std::uint64_t{1} << 36;

  // Trims Unicode White_Space at both ends, then expects exactly 64 bytes of
  // hex digit pairs (either case; a pair "+d" reads as 0d). ErrorKind::InvalidInput
  // "encryption key must be 64 hex characters (32 bytes), got N" or
  // "invalid hex at position P: invalid digit found in string".
  static Result<std::shared_ptr<const EncryptionKey>> from_hex(std::string_view text);

  EncryptionKey(const EncryptionKey&) = delete;
  EncryptionKey& operator=(const EncryptionKey&) = delete;

  // Seals under a fresh random nonce: n + 28 bytes. Fails (no output) when the
  // random source fails or the plaintext exceeds MAX_PLAINTEXT_BYTES.
  Result<std::vector<std::uint8_t>> encrypt(std::span<const std::uint8_t> plaintext) const;

  // Same, into `out`, which must be exactly plaintext.size() + SEAL_OVERHEAD
  // bytes and must not overlap `plaintext` (lets callers seal into a larger
  // record buffer without a copy).
  Status encrypt_into(std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> out) const;

  // Opens a sealed blob. ErrorKind::InvalidData with "encrypted data too short:
  // N bytes (minimum 28)" or "decryption failed: wrong key or corrupted data"
  // (wrong key and damage are not told apart). The tag is checked in constant time.
  Result<std::vector<std::uint8_t>> decrypt(std::span<const std::uint8_t> sealed) const;

  // True when both hold the same 32 bytes (compared in constant time).
  bool same_as(const EncryptionKey& other) const;

 private:
  explicit EncryptionKey(const std::array<std::uint8_t, KEY_BYTES>& key);

  // The sealing core with a caller-chosen nonce; only for known-answer tests,
  // since a repeated nonce breaks GCM.
  Status seal_with_nonce(std::span<const std::uint8_t, NONCE_BYTES> nonce,
                         std::span<const std::uint8_t> plaintext,
                         std::span<std::uint8_t> out) const;
  friend struct EncryptionKeyTestAccess;

  ZeroizeKey key_;
};

using EncryptionKeyPtr = std::shared_ptr<const EncryptionKey>;

}  // namespace karvalith
