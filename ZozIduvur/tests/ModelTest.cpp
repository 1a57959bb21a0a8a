#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZETypedProperty.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurTest/CoreTest.h"

using foundation::Value;

namespace {

class Model : public duzetest::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    DUZEUtility::addAllowedClasses({foundation::ArchivableClass::of<DUZELogWithProperties>(),
                                    foundation::ArchivableClass::of<DUZEStringTypedProperty>(),
                                    foundation::ArchivableClass::of<DUZEBooleanTypedProperty>(),
                                    foundation::ArchivableClass::of<DUZELongTypedProperty>(),
                                    foundation::ArchivableClass::of<DUZEDoubleTypedProperty>(),
                                    foundation::ArchivableClass::of<DUZEDateTimeTypedProperty>()});
  }

  template <class T>
  std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
    auto data = DUZEUtility::archiveKeyedData(Value(object));
    EXPECT_TRUE(data);
    auto decoded = DUZEUtility::unarchiveObject<T>(data.value_or(foundation::Data{}));
    EXPECT_TRUE(decoded) << object->className();
    return decoded;
  }
};

class Unlisted : public DUZELogWithProperties {
  DUZE_CLASS_NAME("UnlistedLog")
};

// A session entry as earlier versions wrote it: naming the process that
// recorded it (its id, start second, boot id and start in ticks).
class EntryNamingItsProcess : public DUZESessionHistoryInfo {
 public:
  void encodeWithCoder(foundation::NSCoder& coder) const override {
    DUZESessionHistoryInfo::encodeWithCoder(coder);
    coder.encodeInt64(4242, "processId");
    coder.encodeInt64(1699999000, "processStart");
    coder.encodeObject(std::optional<std::string>("6c1f0a52"), "bootId");
    coder.encodeObject(std::optional<int64_t>(123456), "processStartTicks");
  }
};

std::shared_ptr<DUZEDevice> fullDevice() {
  auto device = DUZEDevice::create();
  device->setSdkName("zoziduvur.linux");
  device->setSdkVersion("1.0.0");
  device->setModel("Box");
  device->setOemName("Maker");
  device->setOsName("Debian GNU/Linux");
  device->setOsVersion("12");
  device->setOsBuild("6.1.0");
  device->setOsApiLevel(3);
  device->setLocale("en_US");
  device->setTimeZoneOffset(-300);
  device->setScreenSize("1920x1080");
  device->setAppVersion("2.1");
  device->setAppBuild("210");
  device->setAppNamespace("org.example.app");
  device->setCarrierName("none");
  device->setCarrierCountry("us");
  device->setWrapperSdkName("wrapper");
  device->setWrapperSdkVersion("0.1");
  device->setWrapperRuntimeVersion("rt");
  device->setLiveUpdateReleaseLabel("label");
  device->setLiveUpdateDeploymentKey("deploy");
  device->setLiveUpdatePackageHash("hash");
  return device;
}

std::shared_ptr<DUZELogWithProperties> fullLog() {
  auto log = std::make_shared<DUZELogWithProperties>();
  log->setType("custom");
  log->setTimestamp(dispatch::Date(1000.25));
  log->setSid("SESSION");
  log->setDistributionGroupId("group");
  log->setUserId("user");
  log->setDevice(fullDevice());
  log->setDataResidencyRegion("eu");
  log->setProperties(DUZEProperties{{"a", "1"}, {"b", "2"}});
  return log;
}

}  // namespace

TEST_F(Model, AbstractLogSerialisesOnlyWhatIsSet) {
  DUZEAbstractLog empty;
  EXPECT_EQ(empty.serializeToDictionary(), nlohmann::ordered_json::object());

  auto log = fullLog();
  auto json = log->serializeToDictionary();
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items()) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"type", "timestamp", "sid", "distributionGroupId", "userId",
                                      "device", "dataResidencyRegion", "properties"}));
  EXPECT_EQ(json["timestamp"], "2001-01-01T00:16:40.250Z");
  EXPECT_EQ(json["device"]["timeZoneOffset"], -300);
  EXPECT_EQ(json["properties"]["b"], "2");

  log->setProperties(DUZEProperties{});
  EXPECT_FALSE(log->serializeToDictionary().contains("properties"));  // empty is left out
}

TEST_F(Model, ValidityNamesTheFirstMissingField) {
  auto log = fullLog();
  EXPECT_TRUE(log->isValid());
  log->setTimestamp(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("[ZozIduvur] VERBOSE: ") &&
              hasLine("DUZELogWithProperties: \"timestamp\" is not valid."));
  log = fullLog();
  log->setType(std::nullopt);
  log->setTimestamp(std::nullopt);
  clearLines();
  EXPECT_FALSE(log->isValid());
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_TRUE(hasLine("\"type\" is not valid."));

  log = fullLog();
  log->device()->setAppBuild(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEDevice: \"appBuild\" is not valid."));
  log->setDevice(nullptr);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZELogWithProperties: \"device\" is not valid."));
}

TEST_F(Model, EqualityComparesFieldsNotIdentity) {
  auto a = fullLog();
  auto b = fullLog();
  EXPECT_TRUE(a->isEqual(*b));
  b->setTag(std::make_shared<int>(1));  // the tag is not a field that counts
  b->addTransmissionTargetToken("t");
  EXPECT_TRUE(a->isEqual(*b));
  b->setProperties(std::nullopt);
  EXPECT_FALSE(a->isEqual(*b));
  a->setProperties(std::nullopt);
  EXPECT_TRUE(a->isEqual(*b));
  b->device()->setLocale("de_DE");
  EXPECT_FALSE(a->isEqual(*b));
  DUZEAbstractLog base;
  EXPECT_FALSE(a->isEqual(base));
  auto start = DUZEStartServiceLog::create();
  EXPECT_FALSE(start->isEqual(base));  // its type differs
}

TEST_F(Model, EveryCoreClassRoundTripsThroughAnArchive) {
  auto log = fullLog();
  auto decoded = roundTrip(log);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*log));
  EXPECT_EQ(decoded->serializeToDictionary(), log->serializeToDictionary());

  auto start = DUZEStartServiceLog::create();
  start->setServices(std::vector<std::string>{"Analytics", "Crashes"});
  start->setTimestamp(dispatch::Date(5));
  auto startBack = roundTrip(start);
  ASSERT_TRUE(startBack);
  EXPECT_TRUE(startBack->isEqual(*start));
  EXPECT_EQ(startBack->serializeToDictionary()["services"][1], "Crashes");
  EXPECT_EQ(startBack->type(), "startService");

  auto device = fullDevice();
  EXPECT_TRUE(roundTrip(device)->isEqual(*device));
  auto session = DUZESessionHistoryInfo::create(dispatch::Date(7), std::string("S"));
  EXPECT_TRUE(roundTrip(session)->isEqual(*session));
  // Entries of earlier versions name the process that recorded them: they
  // are read all the same, that part read past.
  auto named = std::make_shared<EntryNamingItsProcess>();
  named->setTimestamp(dispatch::Date(7));
  named->setSessionId("S");
  auto back = roundTrip(std::shared_ptr<DUZESessionHistoryInfo>(named));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*session));
  auto user = DUZEUserIdHistoryInfo::create(dispatch::Date(7), std::nullopt);
  EXPECT_TRUE(roundTrip(user)->isEqual(*user));
  auto pastDevice = DUZEDeviceHistoryInfo::create(dispatch::Date(8), device);
  EXPECT_TRUE(roundTrip(pastDevice)->isEqual(*pastDevice));
}

TEST_F(Model, ADeviceChangedInPlaceIsArchivedWithItsChange) {
  auto log = fullLog();
  const auto before = DUZEUtility::archiveKeyedData(Value(log));
  log->device()->setModel("Other box");
  auto decoded = roundTrip(log);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->device()->model(), "Other box");
  log->device()->setModel("Box");
  EXPECT_EQ(DUZEUtility::archiveKeyedData(Value(log)), before);
}

TEST_F(Model, TypedPropertiesSerialiseCompareAndArchive) {
  auto s = DUZEStringTypedProperty::create();
  s->setName("s");
  s->setValue("text");
  auto b = DUZEBooleanTypedProperty::create();
  b->setName("b");
  b->setValue(true);
  auto l = DUZELongTypedProperty::create();
  l->setName("l");
  l->setValue(INT64_MIN);
  auto d = DUZEDoubleTypedProperty::create();
  d->setName("d");
  d->setValue(2.5);
  auto t = DUZEDateTimeTypedProperty::create();
  t->setName("t");
  t->setValue(dispatch::Date(0));

  EXPECT_EQ(s->serializeToDictionary().dump(), R"({"type":"string","name":"s","value":"text"})");
  EXPECT_EQ(b->serializeToDictionary()["value"], true);
  EXPECT_EQ(l->serializeToDictionary()["value"], INT64_MIN);
  EXPECT_EQ(d->serializeToDictionary()["type"], "double");
  EXPECT_EQ(t->serializeToDictionary()["value"], "2001-01-01T00:00:00.000Z");
  EXPECT_EQ(t->serializeToDictionary()["type"], "dateTime");

  for (std::shared_ptr<DUZETypedProperty> p :
       {std::shared_ptr<DUZETypedProperty>(s), {b}, {l}, {d}, {t}}) {
    auto back = roundTrip(p);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*p)) << p->className();
    EXPECT_EQ(back->className(), p->className());
  }
  auto otherLong = DUZELongTypedProperty::create();
  otherLong->setName("l");
  otherLong->setValue(1);
  EXPECT_FALSE(otherLong->isEqual(*l));
  auto sameNameDouble = DUZEDoubleTypedProperty::create();
  sameNameDouble->setName("l");
  EXPECT_FALSE(sameNameDouble->isEqual(*l));
}

TEST_F(Model, ArchiveOfAClassOutsideTheAllowListIsRefusedAndOldNamesMigrate) {
  auto data = DUZEUtility::archiveKeyedData(Value(std::make_shared<Unlisted>()));
  ASSERT_TRUE(data);
  EXPECT_FALSE(DUZEUtility::unarchiveObject<DUZEAbstractLog>(*data));
  EXPECT_TRUE(hasLine("[ZozIduvur] ERROR: ") && hasLine("Unarchiving data failed with error"));

  DUZEUtility::addMigrationClasses(
      {{"UnlistedLog", foundation::ArchivableClass::of<DUZELogWithProperties>()}});
  auto migrated = DUZEUtility::unarchiveObject<DUZELogWithProperties>(*data);
  ASSERT_TRUE(migrated);
  EXPECT_EQ(migrated->className(), "DUZELogWithProperties");
}

TEST_F(Model, CommonSchemaConversionBuildsOneLogPerToken) {
  auto log = fullLog();
  log->addTransmissionTargetToken("keyA-secret");
  log->addTransmissionTargetToken("keyB-secret");
  auto tag = std::make_shared<int>(3);
  log->setTag(tag);
  auto converted = log->toCommonSchemaLogsWithFlags(2);
  ASSERT_EQ(converted.size(), 2u);
  auto cs = converted[0];
  EXPECT_EQ(cs->iKey(), "o:keyA");
  EXPECT_EQ(cs->ver(), "3.0");
  EXPECT_EQ(cs->flags(), 2);
  EXPECT_EQ(cs->tag(), tag);
  EXPECT_EQ(cs->transmissionTargetTokens(), std::set<std::string>{"keyA-secret"});
  EXPECT_EQ(cs->ext()->userExt()->localId(), "c:user");
  EXPECT_EQ(cs->ext()->appExt()->ver(), "2.1");
  EXPECT_FALSE(cs->supportsCommonSchemaConversion());
  // The base conversion names nothing: a subclass does.
  EXPECT_FALSE(cs->isValid());
  EXPECT_TRUE(hasLine("DUZECommonSchemaLog: \"name\" is not valid."));
}

TEST_F(Model, CommonSchemaLogSerialisesDataWithBaseFieldsFirstAndArchives) {
  auto cs = fullLog()->toCommonSchemaLogForTargetToken("key-x", 1);
  cs->setName("Event.Name");
  auto data = std::make_shared<DUZECSData>();
  data->setProperties(
      nlohmann::ordered_json{{"z", 1}, {"baseData", {{"x", 1}}}, {"baseType", "T"}});
  cs->setData(data);
  auto metadata = std::make_shared<DUZEMetadataExtension>();
  metadata->setMetadata(nlohmann::ordered_json{{"f", {{"z", 4}}}});
  cs->ext()->setMetadataExt(metadata);
  cs->ext()->protocolExt()->setTicketKeys(std::vector<std::string>{"hash"});
  EXPECT_TRUE(cs->isValid());

  auto json = cs->serializeToDictionary();
  EXPECT_EQ(json["time"], "2001-01-01T00:16:40.250Z");
  EXPECT_EQ(json["iKey"], "o:key");
  EXPECT_EQ(json["data"].dump(), R"({"baseType":"T","baseData":{"x":1},"z":1})");
  EXPECT_EQ(json["ext"]["metadata"]["f"]["z"], 4);
  EXPECT_EQ(json["ext"]["protocol"]["ticketKeys"][0], "hash");
  EXPECT_FALSE(json.contains("type"));

  auto back = roundTrip(cs);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*cs));
  EXPECT_EQ(back->serializeToDictionary(), json);
}
