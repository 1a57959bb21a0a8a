// Event, page and start-session logs: JSON, archives, validity, typed
// properties and the Common Schema form of events.

#include <cmath>
#include <limits>

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/DUZEStartSessionLog.h"
#include "foundation/KeyedArchive.h"

namespace {

using ojson = nlohmann::ordered_json;

class LogModel : public analyticstest::AnalyticsTest {
 protected:
  void SetUp() override {
    AnalyticsTest::SetUp();
    analytics();  // registers the archive classes
  }

  static std::shared_ptr<DUZEEventLog> event(std::shared_ptr<DUZEEventProperties> properties) {
    auto log = DUZEEventLog::create();
    log->setName("purchase");
    log->setEventId("EVENT-1");
    log->setTimestamp(dispatch::Date(1000));
    log->setDevice(DUZEDeviceTracker::sharedInstance()->device());
    log->setTypedProperties(std::move(properties));
    return log;
  }

  static std::shared_ptr<DUZECommonSchemaLog> convert(const DUZEEventLog& log) {
    return log.toCommonSchemaLogForTargetToken("key-123", 1);
  }

  template <class T>
  static std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
    auto data = DUZEUtility::archiveKeyedData(foundation::Value(object));
    if (!data) return nullptr;
    return DUZEUtility::unarchiveObject<T>(*data);
  }
};

// JSON ---------------------------------------------------------------------------

TEST_F(LogModel, EventSerialisesIdAndTypedPropertiesInKeyOrder) {
  auto properties = DUZEEventProperties::create();
  properties->setString("red", "colour").setInt64(3, "count").setBool(true, "agreed");
  auto json = event(properties)->serializeToDictionary();
  EXPECT_EQ(json["type"], "event");
  EXPECT_EQ(json["name"], "purchase");
  EXPECT_EQ(json["id"], "EVENT-1");
  EXPECT_FALSE(json.contains("properties"));
  EXPECT_EQ(json["typedProperties"],
            ojson::parse(R"([{"type":"boolean","name":"agreed","value":true},
                             {"type":"string","name":"colour","value":"red"},
                             {"type":"long","name":"count","value":3}])"));
}

TEST_F(LogModel, PageWithEmptyPropertiesSerialisesWithoutThem) {
  auto page = DUZEPageLog::create();
  page->setName("Settings");
  page->setProperties(DUZEProperties{});
  auto json = page->serializeToDictionary();
  EXPECT_EQ(json["type"], "page");
  EXPECT_EQ(json["name"], "Settings");
  EXPECT_FALSE(json.contains("properties"));
  page->setProperties(DUZEProperties{{"a", "b"}});
  EXPECT_EQ(page->serializeToDictionary()["properties"], ojson::parse(R"({"a":"b"})"));
}

TEST_F(LogModel, StartSessionSerialisesOnlyTheBaseKeysAndKeepsItsSessionId) {
  auto log = DUZEStartSessionLog::create();
  log->setSid("S-1");
  log->setTimestamp(dispatch::Date(0));
  auto json = log->serializeToDictionary();
  EXPECT_EQ(json["type"], "startSession");
  EXPECT_EQ(json["sid"], "S-1");
  EXPECT_EQ(json.size(), 3u);  // type, timestamp, sid
  EXPECT_NE(dynamic_cast<DUZENoAutoAssignSessionIdLog*>(log.get()), nullptr);
}

// Validity and equality -------------------------------------------------------------------

TEST_F(LogModel, ValidityNeedsANameAndForEventsAnId) {
  auto log = event(nullptr);
  EXPECT_TRUE(log->isValid());
  log->setEventId(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEEventLog: \"eventId\" is not valid."));
  log->setEventId("E");
  log->setName(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEEventLog: \"name\" is not valid."));
  auto page = DUZEPageLog::create();
  page->setTimestamp(dispatch::Date(1));
  page->setDevice(DUZEDeviceTracker::sharedInstance()->device());
  EXPECT_FALSE(page->isValid());
  EXPECT_TRUE(hasLine("DUZEPageLog: \"name\" is not valid."));
}

TEST_F(LogModel, EqualityComparesNamesIdsAndClasses) {
  auto a = event(nullptr);
  auto b = event(nullptr);
  EXPECT_TRUE(a->isEqual(*b));
  b->setEventId("EVENT-2");
  EXPECT_FALSE(a->isEqual(*b));
  auto page = DUZEPageLog::create();
  auto otherPage = DUZEPageLog::create();
  page->setName("P");
  otherPage->setName("P");
  EXPECT_TRUE(page->isEqual(*otherPage));
  otherPage->setName("Q");
  EXPECT_FALSE(page->isEqual(*otherPage));
  auto named = std::make_shared<DUZELogWithNameAndProperties>();
  named->setType("page");
  named->setName("P");
  EXPECT_FALSE(page->isEqual(*named));
}

// Archives ----------------------------------------------------------------------------------

TEST_F(LogModel, LogsRoundTripThroughArchives) {
  auto properties = DUZEEventProperties::create();
  properties->setString("x", "s").setDouble(2.5, "d").setDate(dispatch::Date(5), "when");
  auto original = event(properties);
  original->setSid("S");
  auto decoded = roundTrip(original);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*original));
  ASSERT_TRUE(decoded->typedProperties());
  EXPECT_TRUE(decoded->typedProperties()->isEqual(*properties));
  EXPECT_EQ(decoded->serializeToDictionary(), original->serializeToDictionary());

  auto page = DUZEPageLog::create();
  page->setName("P");
  page->setProperties(DUZEProperties{{"k", "v"}});
  auto decodedPage = roundTrip(page);
  ASSERT_TRUE(decodedPage);
  EXPECT_TRUE(decodedPage->isEqual(*page));

  auto start = DUZEStartSessionLog::create();
  start->setSid("S-9");
  auto decodedStart = roundTrip(start);
  ASSERT_TRUE(decodedStart);
  EXPECT_TRUE(decodedStart->isEqual(*start));
}

// An event written by an older version under its old class name.
class LegacyEventLog : public DUZEEventLog {
  DUZE_CLASS_NAME("ZIEventLog")
};

TEST_F(LogModel, OldClassNamesDecodeAsTheirNewClasses) {
  auto legacy = std::make_shared<LegacyEventLog>();
  legacy->setName("old");
  legacy->setEventId("E-OLD");
  auto data = foundation::NSKeyedArchiver::archivedDataWithRootObject(foundation::Value(legacy));
  ASSERT_TRUE(data);
  auto decoded = DUZEUtility::unarchiveObject<DUZEEventLog>(*data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->className(), "DUZEEventLog");
  EXPECT_EQ(decoded->name(), "old");
}

TEST_F(LogModel, DecodedEventConvertsWithoutMetadata) {
  auto properties = DUZEEventProperties::create();
  properties->setInt64(7, "n");
  auto decoded = roundTrip(event(properties));
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->metadataTypeIdMapping());
  auto cs = convert(*decoded);
  ASSERT_TRUE(cs->data());
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"n":7})"));
  EXPECT_FALSE(cs->ext()->metadataExt());
}

// Event properties ----------------------------------------------------------------------------

TEST_F(LogModel, SettersRefuseMissingKeysMissingValuesAndNonFiniteDoubles) {
  auto properties = DUZEEventProperties::create();
  EXPECT_EQ(&properties->setDouble(std::nan(""), "a"), properties.get());
  properties->setDouble(std::numeric_limits<double>::infinity(), "b");
  properties->setDouble(-std::numeric_limits<double>::infinity(), "c");
  properties->setString(std::nullopt, "d");
  properties->setDate(std::nullopt, "e");
  properties->setInt64(1, std::nullopt);
  EXPECT_TRUE(properties->isEmpty());
  EXPECT_EQ(countLines("Double value for property 'a' must be finite (cannot be INFINITY or NAN)."),
            1u);
  EXPECT_EQ(countLines("must be finite"), 3u);
  EXPECT_EQ(countLines("Value cannot be null. Property will not be added."), 2u);
  EXPECT_EQ(countLines("Key cannot be null. Property will not be added."), 1u);
  EXPECT_TRUE(hasLine("[ZozIduvurAnalytics] ERROR"));
  // The key is checked before the value.
  clearLines();
  properties->setString(std::nullopt, std::nullopt);
  EXPECT_EQ(countLines("Key cannot be null"), 1u);
  EXPECT_EQ(countLines("Value cannot be null"), 0u);
}

TEST_F(LogModel, SettersReplaceEqualKeysAndMergeLetsTheOtherSetWin) {
  auto mine = DUZEEventProperties::create();
  mine->setString("first", "k").setInt64(1, "k").setBool(false, "only-mine");
  ASSERT_EQ(mine->count(), 2u);
  EXPECT_TRUE(std::dynamic_pointer_cast<DUZELongTypedProperty>(mine->propertyForKey("k")));
  auto theirs = DUZEEventProperties::createWithStringDictionary({{"k", "theirs"}, {"t", "x"}});
  mine->mergeEventProperties(*theirs);
  EXPECT_EQ(mine->count(), 3u);
  auto k = std::dynamic_pointer_cast<DUZEStringTypedProperty>(mine->propertyForKey("k"));
  ASSERT_TRUE(k);
  EXPECT_EQ(k->value(), "theirs");
  mine->mergeEventProperties(*mine);
  EXPECT_EQ(mine->count(), 3u);
}

// Common Schema conversion ---------------------------------------------------------------------

TEST_F(LogModel, ConversionNestsDottedKeysAndRecordsTypeIds) {
  auto properties = DUZEEventProperties::create();
  properties->setInt64(1, "a.b").setString("x", "a.c").setDouble(2.5, "d");
  auto log = event(properties);
  auto tag = std::make_shared<int>(0);
  log->setTag(tag);
  auto cs = convert(*log);
  EXPECT_EQ(cs->name(), "purchase");
  EXPECT_EQ(cs->iKey(), "o:key");
  EXPECT_EQ(cs->tag(), std::static_pointer_cast<void>(tag));
  ASSERT_TRUE(cs->data());
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"a":{"b":1,"c":"x"},"d":2.5})"));
  ASSERT_TRUE(cs->ext()->metadataExt());
  EXPECT_EQ(cs->ext()->metadataExt()->metadata(),
            ojson::parse(R"({"f":{"a":{"f":{"b":4}},"d":6}})"));
  EXPECT_EQ(cs->serializeToDictionary()["ext"]["metadata"],
            ojson::parse(R"({"f":{"a":{"f":{"b":4}},"d":6}})"));
}

TEST_F(LogModel, ConversionWritesDatesAsIso8601WithTypeId9) {
  auto properties = DUZEEventProperties::create();
  properties->setDate(dispatch::Date::fromUnixTime(0.25), "at");
  auto cs = convert(*event(properties));
  EXPECT_EQ(cs->data()->properties()["at"], "1970-01-01T00:00:00.250Z");
  EXPECT_EQ(cs->ext()->metadataExt()->metadata(), ojson::parse(R"({"f":{"at":9}})"));
}

TEST_F(LogModel, StringsAndBooleansLeaveNoMetadata) {
  auto properties = DUZEEventProperties::create();
  properties->setString("s", "a.s").setBool(true, "b");
  auto cs = convert(*event(properties));
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"a":{"s":"s"},"b":true})"));
  EXPECT_FALSE(cs->ext()->metadataExt());
}

TEST_F(LogModel, BaseTypeWithBaseDataKeepsBothAndSerialisesThemFirst) {
  auto properties = DUZEEventProperties::create();
  properties->setString("T", "baseType").setString("v", "baseData.x").setString("z", "aaa");
  auto cs = convert(*event(properties));
  auto data = cs->serializeToDictionary()["data"];
  ASSERT_EQ(data.size(), 3u);
  auto it = data.begin();
  EXPECT_EQ(it.key(), "baseType");
  EXPECT_EQ((++it).key(), "baseData");
  EXPECT_EQ(data["baseData"], ojson::parse(R"({"x":"v"})"));
  EXPECT_FALSE(hasLine("baseType was set"));
}

TEST_F(LogModel, BaseTypeWithoutBaseDataIsDroppedWithOneWarning) {
  auto properties = DUZEEventProperties::create();
  properties->setString("T", "baseType").setString("v", "other");
  auto log = event(properties);
  auto cs = convert(*log);
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"other":"v"})"));
  EXPECT_EQ(countLines("baseType was set but baseData is missing."), 1u);
  // The removal changes the event's own set.
  EXPECT_FALSE(log->typedProperties()->propertyForKey("baseType"));
}

TEST_F(LogModel, BaseDataWithANonStringBaseTypeLosesBothWithOneWarning) {
  auto properties = DUZEEventProperties::create();
  properties->setInt64(3, "baseType").setString("v", "baseData.x").setString("w", "baseData.y");
  auto cs = convert(*event(properties));
  EXPECT_FALSE(cs->data());
  EXPECT_EQ(countLines("baseData was set but baseType is missing or invalid."), 1u);
  EXPECT_EQ(countLines("WARNING"), 1u);
}

TEST_F(LogModel, BaseTypeObjectAndPlainBaseDataAreSkippedWithWarnings) {
  auto properties = DUZEEventProperties::create();
  properties->setString("T", "baseType")
      .setString("v", "baseData.x")
      .setString("bad", "baseType.inner")
      .setString("bad", "baseData");
  auto cs = convert(*event(properties));
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"baseData":{"x":"v"},"baseType":"T"})"));
  EXPECT_EQ(countLines("baseType must not be an object."), 1u);
  EXPECT_EQ(countLines("baseData must be an object."), 1u);
}

TEST_F(LogModel, AValueAndAnObjectAtOneKeyKeepTheFirstInKeyOrder) {
  auto properties = DUZEEventProperties::create();
  properties->setString("leaf", "a").setString("deep", "a.b");
  auto cs = convert(*event(properties));
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"a":"leaf"})"));
  EXPECT_EQ(countLines("Property key 'b' already has a value, choosing one."), 1u);
}

TEST_F(LogModel, ABlockedTypedPropertyLeavesNoMetadataBehind) {
  auto properties = DUZEEventProperties::create();
  properties->setString("s", "x").setInt64(1, "x.y");
  auto cs = convert(*event(properties));
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"x":"s"})"));
  EXPECT_FALSE(cs->ext()->metadataExt());
}

TEST_F(LogModel, AFailedDeepPropertyUndoesOnlyTheMetadataItCreated) {
  auto properties = DUZEEventProperties::create();
  // "p.q.r" (long) is added first; "p.q.r.s" (long) is then blocked at "r":
  // its walk created no "f" object, so the first property's metadata stays.
  properties->setInt64(1, "p.q.r").setInt64(2, "p.q.r.s");
  auto cs = convert(*event(properties));
  EXPECT_EQ(cs->data()->properties(), ojson::parse(R"({"p":{"q":{"r":1}}})"));
  EXPECT_EQ(cs->ext()->metadataExt()->metadata(),
            ojson::parse(R"({"f":{"p":{"f":{"q":{"f":{"r":4}}}}}})"));
  // A typed property blocked below a fresh "f" object removes that object.
  auto second = DUZEEventProperties::create();
  second->setString("s", "m.n").setDouble(1.5, "m.n.o");
  auto cs2 = convert(*event(second));
  EXPECT_EQ(cs2->data()->properties(), ojson::parse(R"({"m":{"n":"s"}})"));
  EXPECT_FALSE(cs2->ext()->metadataExt());
}

TEST_F(LogModel, EventWithoutTypedPropertiesConvertsWithoutData) {
  auto cs = convert(*event(nullptr));
  EXPECT_EQ(cs->name(), "purchase");
  EXPECT_FALSE(cs->data());
  EXPECT_TRUE(cs->isValid());
}

}  // namespace
