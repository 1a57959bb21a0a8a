#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"

// Encryption of values the client stores (target tokens in the log store and
// the crash-time buffer): AES-256-CBC with a random IV per value, written as
// Base64 text of the IV followed by the cipher text. The 32-byte key lives in
// the file "encryption.key" of the data folder, readable by the owner only;
// the first use makes it. Thread-safe.
class DUZEEncrypter {
 public:
  // `new`.
  static std::shared_ptr<DUZEEncrypter> create() { return std::make_shared<DUZEEncrypter>(); }

  // The encrypted text as Base64, or std::nullopt (with an error log) when no
  // key can be read or made.
  std::optional<std::string> encryptString(std::string_view text);
  // The decrypted UTF-8 text, or std::nullopt with a warning when the text is
  // not Base64, does not decrypt with the key, or is not UTF-8.
  std::optional<std::string> decryptString(std::string_view encrypted);

  static constexpr std::string_view kKeyFileName = "encryption.key";

 private:
  using Key = std::array<uint8_t, 32>;
  std::optional<Key> key();

  base::Mutex mutex_;
  std::optional<Key> key_ KX_GUARDED_BY(mutex_);
};
