#include <gtest/gtest.h>

#include <climits>

#include "KVOSupport.h"
#include "RvCocoa/KVORepresentable.h"
#include "RvStreamsTest/Recording.h"
#include "objc/NSNull.h"

namespace rv {

// A made-up enumeration with three valid raw values.
enum class Mode : int32_t { off = 0, on = 1, automatic = 2 };

template <>
struct RawRepresentable<Mode> {
  using RawValue = int32_t;
  static std::optional<Mode> initWithRawValue(int32_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<Mode>(raw);
  }
};

namespace itest {
namespace {

using objc::CGPoint;
using objc::CGRect;
using objc::CGSize;
using rv::test::RecordingObserver;

// The values `observe<E>` and `observeWeakly<E>` give for each value the
// node's `title` takes, starting with the current one.
template <class E>
struct Both {
  std::vector<std::optional<E>> strong;
  std::vector<std::optional<E>> weak;
};

template <class E>
Both<E> observedValues(const std::vector<Ref<objc::Object>>& values) {
  Ref<Node> node = Node::create();
  auto strong = RecordingObserver<std::optional<E>>::create();
  auto weak = RecordingObserver<std::optional<E>>::create();
  auto s1 = observe<E>(rv::rv(node), "title")->subscribe(strong);
  auto s2 = observeWeakly<E>(rv::rv(node), "title")->subscribe(weak);
  for (const auto& value : values) node->setTitle(value.get());
  s1->dispose();
  s2->dispose();
  return {strong->elements(), weak->elements()};
}

template <class E>
std::vector<std::optional<E>> strongValues(const std::vector<Ref<objc::Object>>& values) {
  Both<E> both = observedValues<E>(values);
  EXPECT_EQ(both.strong, both.weak) << "both forms convert alike";
  return both.strong;
}

Ref<objc::Object> number(long long value) { return objc::NSNumber::numberWithLongLong(value); }

TEST(KVORepresentable, GeometryNeedsTheExactEncoding) {
  const CGRect rect{{1, 2}, {3, 4}};
  const CGPoint point{5, 6};
  const CGSize size{7, 8};
  const std::vector<Ref<objc::Object>> values = {objc::NSValue::valueWithValue(rect),
                                                 objc::NSValue::valueWithValue(point),
                                                 objc::NSValue::valueWithValue(size), number(3)};

  EXPECT_EQ(strongValues<CGRect>(values),
            (std::vector<std::optional<CGRect>>{std::nullopt, rect, std::nullopt, std::nullopt,
                                                std::nullopt}))
      << "a point is not read as part of a rectangle";
  EXPECT_EQ(strongValues<CGPoint>(values),
            (std::vector<std::optional<CGPoint>>{std::nullopt, std::nullopt, point, std::nullopt,
                                                 std::nullopt}));
  EXPECT_EQ(strongValues<CGSize>(values),
            (std::vector<std::optional<CGSize>>{std::nullopt, std::nullopt, std::nullopt, size,
                                                std::nullopt}));
}

TEST(KVORepresentable, RectangleComponentsKeepTheirOrder) {
  const CGRect rect{{-1.5, 2.25}, {300, 0.125}};
  const auto values = strongValues<CGRect>({objc::NSValue::valueWithValue(rect)});
  ASSERT_EQ(values.size(), 2u);
  ASSERT_TRUE(values[1].has_value());
  EXPECT_EQ(values[1]->origin.x, -1.5);
  EXPECT_EQ(values[1]->origin.y, 2.25);
  EXPECT_EQ(values[1]->size.width, 300);
  EXPECT_EQ(values[1]->size.height, 0.125);
}

TEST(KVORepresentable, IntegersConvertAtTheirOwnWidth) {
  const long long big = (1LL << 40) + 5;  // outside the 32-bit range
  const std::vector<Ref<objc::Object>> values = {number(big), number(-1)};
  EXPECT_EQ(strongValues<int32_t>(values),
            (std::vector<std::optional<int32_t>>{std::nullopt, 5, -1}))
      << "what the 32-bit accessor gives";
  EXPECT_EQ(strongValues<uint32_t>(values),
            (std::vector<std::optional<uint32_t>>{std::nullopt, 5u, UINT32_MAX}));
  EXPECT_EQ(strongValues<int64_t>(values),
            (std::vector<std::optional<int64_t>>{std::nullopt, big, -1}))
      << "the machine word is read whole, not through the 32-bit accessor";
  EXPECT_EQ(
      strongValues<uint64_t>(values),
      (std::vector<std::optional<uint64_t>>{std::nullopt, static_cast<uint64_t>(big), UINT64_MAX}));
  EXPECT_EQ(strongValues<bool>({number(0), number(2)}),
            (std::vector<std::optional<bool>>{std::nullopt, false, true}));
}

TEST(KVORepresentable, AbsentNullAndOtherClassesAreAbsentThroughEveryOverload) {
  const std::vector<Ref<objc::Object>> values = {nullptr, objc::NSNull::null(),
                                                 objc::NSString::stringWithString("7")};
  const std::vector<std::optional<int32_t>> absentInts(4, std::nullopt);
  EXPECT_EQ(strongValues<int32_t>(values), absentInts);
  EXPECT_EQ(strongValues<CGPoint>(values), std::vector<std::optional<CGPoint>>(4, std::nullopt));
  EXPECT_EQ(strongValues<Mode>(values), std::vector<std::optional<Mode>>(4, std::nullopt));
}

TEST(KVORepresentable, RawValuesThatTheTypeRejectsAreAbsent) {
  EXPECT_EQ(
      strongValues<Mode>({number(2), number(7), number(0)}),
      (std::vector<std::optional<Mode>>{std::nullopt, Mode::automatic, std::nullopt, Mode::off}));
}

TEST(KVORepresentable, OptionalBoxedValuesConvertDirectly) {
  using Boxed = std::optional<Ref<objc::NSNumber>>;
  EXPECT_EQ(fromKVOValue<int32_t>(Boxed()), std::nullopt);
  EXPECT_EQ(fromKVOValue<int32_t>(Boxed(objc::NSNumber::numberWithInt(4))), 4);
  EXPECT_EQ(fromKVOValue<Mode>(Boxed(objc::NSNumber::numberWithInt(1))), Mode::on);
  EXPECT_EQ(fromKVOValue<Mode>(Boxed(objc::NSNumber::numberWithInt(3))), std::nullopt);
}

}  // namespace
}  // namespace itest
}  // namespace rv
