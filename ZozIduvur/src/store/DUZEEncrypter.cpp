#include "ZozIduvur/DUZEEncrypter.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "foundation/Base64.h"
#include "foundation/UTF16.h"
#include "foundation/UUID.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kBlockSize = 16;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

bool readExactly(const fs::path& path, uint8_t* out, size_t size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  bool ok = true;
  while (got < size) {
    ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    got += static_cast<size_t>(n);
  }
  // The file must hold exactly one key.
  uint8_t extra;
  if (ok && ::read(fd, &extra, 1) != 0) ok = false;
  ::close(fd);
  return ok;
}

// Writes a new key to a private temporary file and links it into place, so
// two processes starting at once agree on one key and a crash never leaves a
// partial key behind. False when another process won the race (or on error).
bool publishKey(const fs::path& path, const uint8_t* key) {
  fs::path temp = path;
  temp += ".tmp." + foundation::NSUUID().UUIDString();
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, key, kKeySize) == static_cast<ssize_t>(kKeySize);
  ok = (::fsync(fd) == 0) && ok;
  ::close(fd);
  ok = ok && ::link(temp.c_str(), path.c_str()) == 0;
  ::unlink(temp.c_str());
  return ok;
}

}  // namespace

std::optional<DUZEEncrypter::Key> DUZEEncrypter::key() {
  base::LockGuard lock(mutex_);
  if (key_) return key_;
  const fs::path folder = DUZEUtility::dataFolder();
  const fs::path path = folder / std::string(kKeyFileName);
  Key key{};
  if (readExactly(path, key.data(), key.size())) {
    key_ = key;
    return key_;
  }
  std::error_code ec;
  DUZEUtility::createDirectoryAtURL(folder);
  if (fs::exists(path, ec)) {
    // A key file of the wrong size cannot decrypt anything: replace it.
    DUZELogWarning(kDUZELogTag, "The encryption key file is damaged; a new key is made.");
    fs::remove(path, ec);
  }
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
    DUZELogError(kDUZELogTag, "Couldn't make an encryption key: no random bytes.");
    return std::nullopt;
  }
  // Either this key gets stored, or another process stored one first: in both
  // cases the file's key is the one to use.
  publishKey(path, key.data());
  if (readExactly(path, key.data(), key.size())) {
    key_ = key;
    return key_;
  }
  DUZELogError(kDUZELogTag, "Couldn't store the encryption key at %@.", path.string());
  return std::nullopt;
}

std::optional<std::string> DUZEEncrypter::encryptString(std::string_view text) {
  auto k = key();
  if (!k) return std::nullopt;
  uint8_t iv[kBlockSize];
  if (RAND_bytes(iv, sizeof iv) != 1) {
    DUZELogError(kDUZELogTag, "Couldn't encrypt: no random bytes.");
    return std::nullopt;
  }
  CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  std::vector<uint8_t> out(kBlockSize + text.size() + kBlockSize);
  std::copy(iv, iv + kBlockSize, out.begin());
  int written = 0;
  int final = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k->data(), iv) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.data() + kBlockSize, &written,
                        reinterpret_cast<const uint8_t*>(text.data()),
                        static_cast<int>(text.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.data() + kBlockSize + written, &final) != 1) {
    DUZELogError(kDUZELogTag, "Couldn't encrypt the value.");
    return std::nullopt;
  }
  out.resize(kBlockSize + static_cast<size_t>(written + final));
  return foundation::base64Encode(out);
}

std::optional<std::string> DUZEEncrypter::decryptString(std::string_view encrypted) {
  auto bytes = foundation::base64Decode(encrypted);
  if (!bytes) {
    DUZELogWarning(kDUZELogTag, "Couldn't decrypt the value: it is not Base64 text.");
    return std::nullopt;
  }
  if (bytes->size() < 2 * kBlockSize || bytes->size() % kBlockSize != 0) {
    DUZELogWarning(kDUZELogTag, "Couldn't decrypt the value: it has the wrong length.");
    return std::nullopt;
  }
  auto k = key();
  if (!k) return std::nullopt;
  CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  std::string out(bytes->size(), '\0');
  int written = 0;
  int final = 0;
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k->data(), bytes->data()) != 1 ||
      EVP_DecryptUpdate(ctx.get(), reinterpret_cast<uint8_t*>(out.data()), &written,
                        bytes->data() + kBlockSize,
                        static_cast<int>(bytes->size() - kBlockSize)) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<uint8_t*>(out.data()) + written, &final) !=
          1) {
    DUZELogWarning(kDUZELogTag, "Couldn't decrypt the value with the stored key.");
    return std::nullopt;
  }
  out.resize(static_cast<size_t>(written + final));
  if (!foundation::isValidUTF8(out)) {
    DUZELogWarning(kDUZELogTag, "Couldn't decrypt the value: the result is not UTF-8 text.");
    return std::nullopt;
  }
  return out;
}
