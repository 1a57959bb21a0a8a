#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "foundation/KeyedArchive.h"

using foundation::ArchivableClass;
using foundation::Data;
using foundation::NSCoder;
using foundation::NSCoding;
using foundation::NSError;
using foundation::NSKeyedArchiver;
using foundation::NSKeyedUnarchiver;
using foundation::Value;

namespace {

class Point : public NSCoding {
 public:
  static constexpr std::string_view kClassName = "Point";
  std::string_view className() const override { return kClassName; }
  void encodeWithCoder(NSCoder& coder) const override {
    coder.encodeInt64(x, "x");
    coder.encodeObject(label, "label");
    coder.encodeObject(child, "child");
  }
  bool initWithCoder(NSCoder& coder) override {
    x = coder.decodeInt64ForKey("x");
    label = coder.decodeStringForKey("label");
    child = coder.decodeObjectOfClass<Point>("child");
    return true;
  }
  bool isEqual(const NSCoding& other) const override {
    auto* p = dynamic_cast<const Point*>(&other);
    if (!p || p->x != x || p->label != label || bool(p->child) != bool(child)) return false;
    return !child || child->isEqual(*p->child);
  }

  int64_t x = 0;
  std::optional<std::string> label;
  std::shared_ptr<Point> child;
};

class Refuser : public Point {
 public:
  static constexpr std::string_view kClassName = "Refuser";
  std::string_view className() const override { return kClassName; }
  bool initWithCoder(NSCoder&) override { return false; }
};

NSKeyedUnarchiver::Classes allowPoint() {
  NSKeyedUnarchiver::Classes classes;
  classes.allowed.emplace("Point", ArchivableClass::of<Point>());
  return classes;
}

Data archive(const Value& v) {
  auto data = NSKeyedArchiver::archivedDataWithRootObject(v);
  EXPECT_TRUE(data.has_value());
  return data.value_or(Data{});
}

}  // namespace

TEST(KeyedArchive, PlainValuesRoundTrip) {
  Value::Dictionary dict;
  dict.emplace("when", Value(dispatch::Date(12345.5)));
  dict.emplace("bytes", Value(Data{0, 1, 255}));
  dict.emplace("flag", Value(true));
  dict.emplace("big", Value(~uint64_t{0}));
  dict.emplace("list", Value(Value::Array{Value("a"), Value(int64_t{-4}), Value(0.25), Value()}));
  Value original(dict);
  Value decoded = NSKeyedUnarchiver::unarchivedObject(archive(original), {});
  EXPECT_EQ(decoded, original);
  ASSERT_TRUE(decoded.dictionaryValue());
  EXPECT_TRUE(decoded.dictionaryValue()->at("when").dateValue());
}

TEST(KeyedArchive, ArchivesKeepTheByteFormEarlierOnesHad) {
  // Fields in key order and every number and length in its shortest form:
  // what a sorted document encodes to, as archives always were.
  auto root = std::make_shared<Point>();
  root->x = -70000;
  root->label = std::string(300, 'l');
  root->child = std::make_shared<Point>();
  root->child->x = 24;
  Value::Dictionary dict;
  dict.emplace("point", Value(root));
  dict.emplace("numbers", Value(Value::Array{Value(0.1), Value(0.5), Value(1e300), Value(-1),
                                             Value(int64_t{1} << 40), Value(~uint64_t{0})}));
  dict.emplace("when", Value(dispatch::Date(-3.25)));
  for (const Value& value : {Value(dict), Value(root), Value("text"), Value(Data(30, 7))}) {
    const Data bytes = archive(value);
    EXPECT_EQ(bytes, nlohmann::json::to_cbor(nlohmann::json::from_cbor(bytes)));
  }
}

TEST(KeyedArchive, ObjectsRoundTripWithNestedObjectsAndAbsentFields) {
  auto root = std::make_shared<Point>();
  root->x = 3;
  root->child = std::make_shared<Point>();
  root->child->label = "inner";
  Value decoded = NSKeyedUnarchiver::unarchivedObject(archive(Value(root)), allowPoint());
  ASSERT_TRUE(decoded.objectValue());
  auto point = std::dynamic_pointer_cast<Point>(*decoded.objectValue());
  ASSERT_TRUE(point);
  EXPECT_TRUE(point->isEqual(*root));
  EXPECT_FALSE(point->label.has_value());
  EXPECT_EQ(point->child->label, "inner");
}

TEST(KeyedArchive, ClassOutsideTheAllowListIsRefused) {
  auto root = std::make_shared<Point>();
  std::shared_ptr<NSError> error;
  Value decoded = NSKeyedUnarchiver::unarchivedObject(archive(Value(root)), {}, &error);
  EXPECT_TRUE(decoded.isNull());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), foundation::NSKeyedArchiveErrorClassRefused);

  // A refused class nested deep inside an allowed one refuses the whole archive.
  Value::Array list{Value(std::make_shared<Point>()), Value(std::make_shared<Refuser>())};
  NSKeyedUnarchiver::Classes classes = allowPoint();
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(archive(Value(list)), classes).isNull());
  // A listed name without a factory cannot make objects either.
  classes.allowed.emplace("Refuser", ArchivableClass::named("Refuser"));
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(archive(Value(list)), classes).isNull());
}

TEST(KeyedArchive, OldClassNameDecodesThroughTheMigrationMap) {
  // An archive written when the class had another name.
  nlohmann::json old = {{"$class", "ZIPoint"}, {"$fields", {{"x", 9}}}};
  Data bytes = nlohmann::json::to_cbor(old);
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(bytes, allowPoint()).isNull());

  NSKeyedUnarchiver::Classes classes = allowPoint();
  classes.renamed.emplace("ZIPoint", ArchivableClass::of<Point>());
  Value decoded = NSKeyedUnarchiver::unarchivedObject(bytes, classes);
  ASSERT_TRUE(decoded.objectValue());
  EXPECT_EQ(std::dynamic_pointer_cast<Point>(*decoded.objectValue())->x, 9);

  // The migrated class must itself be allowed.
  classes.allowed.clear();
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(bytes, classes).isNull());
}

TEST(KeyedArchive, ObjectThatRefusesItsFieldsFailsTheArchive) {
  NSKeyedUnarchiver::Classes classes;
  classes.allowed.emplace("Refuser", ArchivableClass::of<Refuser>());
  std::shared_ptr<NSError> error;
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(archive(Value(std::make_shared<Refuser>())),
                                                  classes, &error)
                  .isNull());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), foundation::NSKeyedArchiveErrorInvalidData);
}

TEST(KeyedArchive, GarbageTruncatedAndDeeplyNestedBytesGiveNothing) {
  std::shared_ptr<NSError> error;
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(Data{0xFF, 0x00, 0x13}, {}, &error).isNull());
  EXPECT_TRUE(error);
  Data good = archive(Value(Value::Array{Value("abc"), Value(int64_t{1})}));
  for (size_t cut = 0; cut < good.size(); ++cut) {
    Data truncated(good.begin(), good.begin() + static_cast<long>(cut));
    EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(truncated, {}).isNull()) << cut;
  }
  // 100000 nested one-element arrays: refused without exhausting the stack.
  Data deep(100000, 0x81);
  deep.push_back(0x01);
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(deep, {}).isNull());
  // A map of an unknown shape.
  Data odd = nlohmann::json::to_cbor(nlohmann::json{{"what", 1}});
  EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObject(odd, {}).isNull());
}

namespace {
class Probe : public NSCoding {
 public:
  static constexpr std::string_view kClassName = "Probe";
  std::string_view className() const override { return kClassName; }
  void encodeWithCoder(NSCoder& coder) const override {
    coder.encodeObject(Value("text"), "s");
    coder.encodeObject(Value(int64_t{5}), "n");
    coder.encodeObject(Value(Value::Array{Value("a"), Value(int64_t{1})}), "mixed");
    coder.encodeObject(Value(6.8e22), "huge");
  }
  bool initWithCoder(NSCoder& coder) override {
    numberFromString = coder.decodeNumberForKey("s");
    numberFromHuge = coder.decodeNumberForKey("huge");
    stringFromNumber = coder.decodeStringForKey("n");
    strings = coder.decodeStringArrayForKey("mixed");
    number = coder.decodeInt64ForKey("n");
    hasMissing = coder.containsValueForKey("missing");
    return true;
  }
  std::optional<int64_t> numberFromString;
  std::optional<int64_t> numberFromHuge;
  std::optional<std::string> stringFromNumber;
  std::optional<std::vector<std::string>> strings;
  int64_t number = 0;
  bool hasMissing = true;
};
}  // namespace

TEST(KeyedArchive, TypedAccessorsAnswerAbsentForOtherKinds) {
  NSKeyedUnarchiver::Classes classes;
  classes.allowed.emplace("Probe", ArchivableClass::of<Probe>());
  Value decoded =
      NSKeyedUnarchiver::unarchivedObject(archive(Value(std::make_shared<Probe>())), classes);
  auto probe = std::dynamic_pointer_cast<Probe>(*decoded.objectValue());
  ASSERT_TRUE(probe);
  EXPECT_FALSE(probe->numberFromString);
  EXPECT_FALSE(probe->numberFromHuge);  // no int64 has that value
  EXPECT_FALSE(probe->stringFromNumber);
  EXPECT_FALSE(probe->strings);
  EXPECT_EQ(probe->number, 5);
  EXPECT_FALSE(probe->hasMissing);
}
