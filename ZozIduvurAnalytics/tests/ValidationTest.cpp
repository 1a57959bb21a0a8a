// Names and properties are checked and cut before logs are stored.

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/DUZEStartSessionLog.h"
#include "foundation/UTF16.h"

namespace {

using foundation::utf16Length;

class Validation : public analyticstest::AnalyticsTest {
 protected:
  static std::string repeat(size_t n, char c = 'a') { return std::string(n, c); }
};

TEST_F(Validation, MissingOrEmptyNamesAreRefusedAndNameTheType) {
  EXPECT_FALSE(DUZEAnalytics::validateEventName(std::nullopt, "event"));
  EXPECT_FALSE(DUZEAnalytics::validateEventName(std::string(), "page"));
  EXPECT_EQ(countLines("[ZozIduvurAnalytics] ERROR"), 2u);
  EXPECT_TRUE(hasLine("event name cannot be null or empty"));
  EXPECT_TRUE(hasLine("page name cannot be null or empty"));
}

TEST_F(Validation, NamesAreCutAfter256CodeUnits) {
  EXPECT_EQ(DUZEAnalytics::validateEventName(repeat(256), "event"), repeat(256));
  EXPECT_EQ(countLines("WARNING"), 0u);
  EXPECT_EQ(DUZEAnalytics::validateEventName(repeat(257), "event"), repeat(256));
  EXPECT_EQ(countLines("event '" + repeat(257) +
                       "' : name length cannot be longer than 256 characters. Name will be "
                       "truncated."),
            1u);
  // Lengths are UTF-16 code units: "é" is one unit in two UTF-8 bytes.
  std::string accented;
  for (int i = 0; i < 256; ++i) accented += "\xC3\xA9";
  EXPECT_EQ(DUZEAnalytics::validateEventName(accented, "page"), accented);
}

TEST_F(Validation, ACutNeverSplitsASurrogatePair) {
  // 255 units, then U+1F600 (two units: the 256th and 257th).
  const std::string name = repeat(255) + "\xF0\x9F\x98\x80" + "b";
  auto cut = DUZEAnalytics::validateEventName(name, "event");
  ASSERT_TRUE(cut);
  EXPECT_EQ(*cut, repeat(255));
  EXPECT_TRUE(foundation::isValidUTF8(*cut));
}

TEST_F(Validation, TypedKeysAndStringValuesAreCutAfter125CodeUnits) {
  EXPECT_EQ(DUZEAnalytics::validateZozIduvurPropertyName(repeat(125)), repeat(125));
  EXPECT_EQ(DUZEAnalytics::validateZozIduvurStringTypedPropertyValue(repeat(125)), repeat(125));
  EXPECT_EQ(countLines("WARNING"), 0u);
  EXPECT_EQ(DUZEAnalytics::validateZozIduvurPropertyName(repeat(126)), repeat(125));
  EXPECT_EQ(countLines("Typed property '" + repeat(126) +
                       "': key length cannot exceed 125 characters. Property value will be "
                       "truncated."),
            1u);
  EXPECT_EQ(DUZEAnalytics::validateZozIduvurStringTypedPropertyValue(repeat(126)), repeat(125));
  EXPECT_EQ(countLines("Typed property value length cannot exceed 125 characters. Property value "
                       "will be truncated."),
            1u);
}

TEST_F(Validation, TwentyTypedPropertiesPassAndTheTwentyFirstIsSkipped) {
  auto twenty = DUZEEventProperties::create();
  for (int i = 0; i < 20; ++i) twenty->setInt64(i, "k" + std::to_string(100 + i));
  EXPECT_EQ(DUZEAnalytics::validateZozIduvurEventProperties(*twenty)->count(), 20u);
  EXPECT_EQ(countLines("WARNING"), 0u);
  twenty->setInt64(99, "k999");
  auto validated = DUZEAnalytics::validateZozIduvurEventProperties(*twenty);
  EXPECT_EQ(validated->count(), 20u);
  EXPECT_FALSE(validated->propertyForKey("k999"));  // the last in key order
  EXPECT_EQ(countLines("Typed properties cannot contain more than 20 items. Skipping other "
                       "properties."),
            1u);
  EXPECT_EQ(twenty->count(), 21u);  // the input is left alone
}

TEST_F(Validation, KeysEqualAfterTheCutBecomeOneProperty) {
  auto properties = DUZEEventProperties::create();
  properties->setString("first", repeat(125) + "1").setString("second", repeat(125) + "2");
  auto validated = DUZEAnalytics::validateZozIduvurEventProperties(*properties);
  ASSERT_EQ(validated->count(), 1u);
  auto kept =
      std::dynamic_pointer_cast<DUZEStringTypedProperty>(validated->propertyForKey(repeat(125)));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->value(), "second");
  EXPECT_EQ(kept->name(), repeat(125));
}

TEST_F(Validation, TypedPropertiesAreCopiedByKindAndUnknownKindsDropped) {
  auto date = DUZEDateTimeTypedProperty::create();
  date->setName("when");
  date->setValue(dispatch::Date(3));
  auto copy = DUZEAnalytics::validateZozIduvurTypedProperty(*date);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), date.get());
  EXPECT_TRUE(copy->isEqual(*date));
  auto longString = DUZEStringTypedProperty::create();
  longString->setName("s");
  longString->setValue(repeat(200));
  auto cut = std::dynamic_pointer_cast<DUZEStringTypedProperty>(
      DUZEAnalytics::validateZozIduvurTypedProperty(*longString));
  ASSERT_TRUE(cut);
  EXPECT_EQ(utf16Length(*cut->value()), 125u);
  EXPECT_EQ(utf16Length(*longString->value()), 200u);
  DUZETypedProperty bare;
  bare.setName("unknown");
  EXPECT_FALSE(DUZEAnalytics::validateZozIduvurTypedProperty(bare));
}

TEST_F(Validation, ValidateLogRepairsNameAndStringProperties) {
  auto page = DUZEPageLog::create();
  page->setName(repeat(300));
  DUZEProperties properties;
  for (int i = 0; i < 25; ++i) properties["p" + std::to_string(10 + i)] = "v";
  properties["long"] = repeat(130);
  page->setProperties(properties);
  EXPECT_TRUE(DUZEAnalytics::validateLog(*page));
  EXPECT_EQ(page->name(), repeat(256));
  ASSERT_TRUE(page->properties());
  EXPECT_EQ(page->properties()->size(), 20u);
  auto event = DUZEEventLog::create();
  event->setName("e");
  EXPECT_TRUE(DUZEAnalytics::validateLog(*event));
  ASSERT_TRUE(event->properties());  // a new, empty dictionary
  EXPECT_TRUE(event->properties()->empty());
  EXPECT_FALSE(event->serializeToDictionary().contains("properties"));
}

TEST_F(Validation, OnlyEventAndPageLogsAreFiltered) {
  auto page = DUZEPageLog::create();
  page->setName("");
  EXPECT_TRUE(analytics()->channelUnitShouldFilterLog(nullptr, page));
  auto event = DUZEEventLog::create();
  EXPECT_TRUE(analytics()->channelUnitShouldFilterLog(nullptr, event));
  event->setName("ok");
  EXPECT_FALSE(analytics()->channelUnitShouldFilterLog(nullptr, event));
  auto start = DUZEStartSessionLog::create();
  EXPECT_FALSE(analytics()->channelUnitShouldFilterLog(nullptr, start));
  auto named = std::make_shared<DUZELogWithNameAndProperties>();
  EXPECT_FALSE(analytics()->channelUnitShouldFilterLog(nullptr, named));
}

// Through the real pipeline: the filter runs on the logs queue before storage.
TEST_F(Validation, APageWithAnEmptyNameIsNeverStored) {
  // Nothing is sent (and deleted) while the test counts rows.
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::seconds(60));
  startClient();
  auto group = DUZEZozIduvur::channelGroup();
  ASSERT_TRUE(group);
  group->waitUntilIdle();
  const size_t before = storedRows("Analytics");  // the start-session log
  DUZEAnalytics::trackPage("");
  DUZEAnalytics::trackPage("Shown");
  group->waitUntilIdle();
  EXPECT_EQ(storedRows("Analytics"), before + 1);
  EXPECT_EQ(countLines("page name cannot be null or empty"), 1u);
}

}  // namespace
