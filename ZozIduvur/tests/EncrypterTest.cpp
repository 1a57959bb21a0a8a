#include <sys/stat.h>

#include <fstream>

#include "ZozIduvur/DUZEEncrypter.h"
#include "ZozIduvurTest/CoreTest.h"
#include "foundation/Base64.h"

namespace {
class Encrypter : public duzetest::CoreTest {};
}  // namespace

TEST_F(Encrypter, RoundTripWithARandomIVAndAPrivateKeyFile) {
  auto encrypter = DUZEEncrypter::create();
  auto first = encrypter->encryptString("target-token-\xC3\xA9");
  auto second = encrypter->encryptString("target-token-\xC3\xA9");
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);  // a fresh IV each time
  EXPECT_EQ(encrypter->decryptString(*first), "target-token-\xC3\xA9");
  EXPECT_EQ(DUZEEncrypter::create()->decryptString(*second), "target-token-\xC3\xA9");
  EXPECT_EQ(encrypter->decryptString(*encrypter->encryptString("")), "");

  struct stat info {};
  ASSERT_EQ(stat((dataDir() / "encryption.key").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_size, 32);
}

TEST_F(Encrypter, NonBase64TextGivesNothingWithAWarning) {
  auto encrypter = DUZEEncrypter::create();
  EXPECT_FALSE(encrypter->decryptString("not base64 at all!"));
  EXPECT_TRUE(hasLine("[ZozIduvur] WARNING: "));
}

TEST_F(Encrypter, DecryptedBytesThatAreNotUTF8GiveNothingWithAWarning) {
  auto encrypter = DUZEEncrypter::create();
  auto encrypted = encrypter->encryptString("\xFF\xFE not text");
  ASSERT_TRUE(encrypted);
  clearLines();
  EXPECT_FALSE(encrypter->decryptString(*encrypted));
  EXPECT_EQ(countLines("[ZozIduvur] WARNING: "), 1u);
}

TEST_F(Encrypter, TamperedOrForeignValuesGiveNothing) {
  auto encrypter = DUZEEncrypter::create();
  auto encrypted = encrypter->encryptString("secret");
  auto bytes = *foundation::base64Decode(*encrypted);
  bytes.pop_back();
  EXPECT_FALSE(encrypter->decryptString(foundation::base64Encode(bytes)));  // wrong length
  EXPECT_FALSE(encrypter->decryptString(foundation::base64Encode(foundation::Data(8, 1))));

  // Another key (a damaged key file is replaced) cannot read the old value.
  std::ofstream(dataDir() / "encryption.key", std::ios::trunc) << "short";
  auto fresh = DUZEEncrypter::create();
  auto other = fresh->decryptString(*encrypted);
  EXPECT_NE(other, std::optional<std::string>("secret"));
  EXPECT_TRUE(hasLine("damaged"));
  EXPECT_EQ(fresh->decryptString(*fresh->encryptString("again")), "again");
}
