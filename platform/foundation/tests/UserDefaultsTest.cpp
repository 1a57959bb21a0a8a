#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "dispatchTest/TemporaryFolder.h"
#include "foundation/Paths.h"
#include "foundation/UserDefaults.h"

using foundation::Data;
using foundation::NSUserDefaults;
using foundation::Value;

namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  dispatch::testing::TemporaryFolder folder_{"kestrix-defaults"};
  std::filesystem::path dir_ = folder_.path();
  std::filesystem::path file_ = dir_ / "UserDefaults.json";
};

}  // namespace

TEST_F(UserDefaultsTest, ValuesOfEveryKindSurviveANewInstance) {
  auto defaults = NSUserDefaults::createWithFile(file_);
  Value::Dictionary nested{{"inner", Value(Value::Array{Value(int64_t{1}), Value("two")})}};
  defaults->setObject(Value("text"), "s");
  defaults->setObject(Value(Data{1, 2, 3}), "d");
  defaults->setObject(Value(dispatch::Date(99.5)), "t");
  defaults->setBool(true, "b");
  defaults->setObject(Value(nested), "n");
  defaults->setObject(Value(2.75), "f");
  // A string that looks like a tag stays a string.
  defaults->setObject(Value(Value::Dictionary{{"$data", Value("x")}}), "tricky");

  auto again = NSUserDefaults::createWithFile(file_);
  EXPECT_EQ(again->stringForKey("s"), "text");
  EXPECT_EQ(again->dataForKey("d"), (Data{1, 2, 3}));
  EXPECT_EQ(again->objectForKey("t"), Value(dispatch::Date(99.5)));
  EXPECT_TRUE(again->boolForKey("b"));
  EXPECT_EQ(again->objectForKey("n"), Value(nested));
  EXPECT_EQ(again->objectForKey("f"), Value(2.75));
  EXPECT_EQ(again->objectForKey("tricky"), Value(Value::Dictionary{{"$data", Value("x")}}));
  EXPECT_EQ(again->persistentDomain().size(), 7u);
}

TEST_F(UserDefaultsTest, RemovalAndNullErasePersistently) {
  auto defaults = NSUserDefaults::createWithFile(file_);
  defaults->setObject(Value("a"), "k1");
  defaults->setObject(Value("b"), "k2");
  defaults->removeObjectForKey("k1");
  defaults->setObject(Value(), "k2");
  EXPECT_FALSE(defaults->objectForKey("k1"));
  EXPECT_TRUE(NSUserDefaults::createWithFile(file_)->persistentDomain().empty());
}

TEST_F(UserDefaultsTest, RegistrationDomainIsAFallbackKeptInMemory) {
  auto defaults = NSUserDefaults::createWithFile(file_);
  defaults->registerDefaults({{"flag", Value(true)}, {"name", Value("registered")}});
  defaults->setObject(Value("stored"), "name");
  EXPECT_TRUE(defaults->boolForKey("flag"));
  EXPECT_EQ(defaults->stringForKey("name"), "stored");
  EXPECT_EQ(defaults->dictionaryRepresentation().size(), 2u);
  auto again = NSUserDefaults::createWithFile(file_);
  EXPECT_FALSE(again->objectForKey("flag"));
}

TEST_F(UserDefaultsTest, ObjectsAreRefusedAndACorruptFileStartsEmpty) {
  class Thing : public foundation::NSCoding {
    std::string_view className() const override { return "Thing"; }
    void encodeWithCoder(foundation::NSCoder&) const override {}
    bool initWithCoder(foundation::NSCoder&) override { return true; }
  };
  auto defaults = NSUserDefaults::createWithFile(file_);
  EXPECT_FALSE(defaults->setObject(Value(Value::Array{Value(std::make_shared<Thing>())}), "o"));
  EXPECT_FALSE(defaults->objectForKey("o"));

  std::ofstream(file_) << "{ this is not json";
  auto fromCorrupt = NSUserDefaults::createWithFile(file_);
  EXPECT_TRUE(fromCorrupt->persistentDomain().empty());
  fromCorrupt->setObject(Value("fresh"), "k");
  EXPECT_EQ(NSUserDefaults::createWithFile(file_)->stringForKey("k"), "fresh");
  // No temporary files are left behind, only the corrupt file set aside.
  size_t entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 2u);
}

TEST_F(UserDefaultsTest, DamagedFilesAreKeptAsideNeverOverwrittenAndNeverStopTheProgram) {
  const std::string deep = "{\"k\":" + std::string(20000, '[') + std::string(20000, ']') + "}";
  const std::string truncated = R"({"InstallId":"6F1C)";
  const std::string partly = R"({"kept":"yes","odd":{"$what":1}})";
  for (const auto& text : {deep, truncated, partly}) {
    std::ofstream(file_, std::ios::trunc) << text;
    EXPECT_EQ(NSUserDefaults::createWithFile(file_)->persistentDomain().size(),
              text == partly ? 1u : 0u);
  }
  // Each damaged file is kept whole under a name of its own.
  auto read = [](const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(dir_ / "UserDefaults.json.unreadable"), deep);
  EXPECT_EQ(read(dir_ / "UserDefaults.json.unreadable.2"), truncated);
  EXPECT_EQ(read(dir_ / "UserDefaults.json.unreadable.3"), partly);
  // What could be read of the last went on in a fresh, owner-only file.
  auto again = NSUserDefaults::createWithFile(file_);
  EXPECT_EQ(again->stringForKey("kept"), "yes");
  EXPECT_EQ(std::filesystem::status(file_).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(UserDefaultsTest, StandardDefaultsLiveInTheDataDirectory) {
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), dir_.c_str(), 1);
  NSUserDefaults::resetStandardUserDefaults();
  NSUserDefaults::standardUserDefaults()->setObject(Value("v"), "key");
  EXPECT_EQ(NSUserDefaults::standardUserDefaults()->file(), file_);
  EXPECT_TRUE(std::filesystem::exists(file_));
  NSUserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(NSUserDefaults::standardUserDefaults()->stringForKey("key"), "v");
  NSUserDefaults::resetStandardUserDefaults();
  unsetenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str());
}
