#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "objc/Block.h"
#include "objc/CGGeometry.h"
#include "objc/NSArray.h"
#include "objc/NSAssertionHandler.h"
#include "objc/NSDictionary.h"
#include "objc/NSException.h"
#include "objc/NSLog.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"
#include "objc/NSValue.h"
#include "objcTest/Classes.h"

namespace objc {
namespace {

using test::sel;

// Whether `text` starts with `pattern`, where '9' stands for one digit, '#'
// for one hexadecimal digit or more, '~' for one or more characters other
// than a blank or '[', and every other character for itself.
bool matches(const std::string& text, const std::string& pattern) {
  size_t t = 0;
  for (char p : pattern) {
    auto run = [&](auto accept) {
      const size_t start = t;
      while (t < text.size() && accept(text[t])) ++t;
      return t > start;
    };
    if (p == '9') {
      if (t >= text.size() || !std::isdigit(static_cast<unsigned char>(text[t]))) return false;
      ++t;
    } else if (p == '#') {
      if (!run([](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
        return false;
    } else if (p == '~') {
      if (!run([](char c) { return c != ' ' && c != '['; })) return false;
    } else {
      if (t >= text.size() || text[t] != p) return false;
      ++t;
    }
  }
  return true;
}

TEST(NSNumber, RemembersItsKindAndType) {
  struct Case {
    Ref<NSNumber> number;
    NSNumber::Kind kind;
    const char* type;
  };
  const Case cases[] = {
      {NSNumber::numberWithChar('a'), NSNumber::Kind::Char, "c"},
      {NSNumber::numberWithUnsignedChar(200), NSNumber::Kind::UnsignedChar, "C"},
      {NSNumber::numberWithShort(-3), NSNumber::Kind::Short, "s"},
      {NSNumber::numberWithUnsignedShort(3), NSNumber::Kind::UnsignedShort, "S"},
      {NSNumber::numberWithInt(7), NSNumber::Kind::Int, "i"},
      {NSNumber::numberWithUnsignedInt(7), NSNumber::Kind::UnsignedInt, "I"},
      {NSNumber::numberWithLong(7), NSNumber::Kind::Long, "q"},
      {NSNumber::numberWithUnsignedLong(7), NSNumber::Kind::UnsignedLong, "Q"},
      {NSNumber::numberWithFloat(1.5f), NSNumber::Kind::Float, "f"},
      {NSNumber::numberWithDouble(1.5), NSNumber::Kind::Double, "d"},
      {NSNumber::numberWithBool(YES), NSNumber::Kind::Bool, "c"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.number->kind(), c.kind) << c.type;
    EXPECT_STREQ(c.number->objCType(), c.type);
  }
  EXPECT_EQ(NSNumber::numberWithUnsignedChar(200)->unsignedIntValue(), 200u);
  float stored = 0;
  NSNumber::numberWithFloat(1.5f)->getValue(&stored, sizeof stored);
  EXPECT_EQ(stored, 1.5f) << "the value's bytes are those of its type";
}

TEST(NSNumber, AccessorsConvertAsCDoes) {
  Ref<NSNumber> big = NSNumber::numberWithLongLong(0x1'0000'0005LL);
  EXPECT_EQ(big->intValue(), 5) << "wraps to 32 bits";
  EXPECT_EQ(big->longLongValue(), 0x1'0000'0005LL);
  EXPECT_EQ(NSNumber::numberWithInt(-1)->unsignedIntValue(), 0xFFFFFFFFu);
  EXPECT_EQ(NSNumber::numberWithInt(-1)->unsignedLongLongValue(), ~0ULL);
  EXPECT_EQ(NSNumber::numberWithUnsignedLongLong(~0ULL)->longLongValue(), -1);
  EXPECT_EQ(NSNumber::numberWithDouble(3.9)->intValue(), 3);
  EXPECT_EQ(NSNumber::numberWithDouble(-3.9)->intValue(), -3);
  EXPECT_EQ(NSNumber::numberWithDouble(1e300)->longLongValue(),
            std::numeric_limits<long long>::max())
      << "saturates instead of undefined behaviour";
  EXPECT_EQ(NSNumber::numberWithDouble(std::nan(""))->intValue(), 0);
  EXPECT_TRUE(NSNumber::numberWithInt(256)->boolValue());
  EXPECT_FALSE(NSNumber::numberWithDouble(0.0)->boolValue());
  EXPECT_TRUE(NSNumber::numberWithDouble(0.25)->boolValue());
  EXPECT_DOUBLE_EQ(NSNumber::numberWithUnsignedLongLong(~0ULL)->doubleValue(),
                   18446744073709551615.0);
}

TEST(NSNumber, EqualityComparesValuesAcrossKinds) {
  EXPECT_TRUE(NSNumber::numberWithInt(7)->isEqual(NSNumber::numberWithDouble(7.0).get()));
  EXPECT_TRUE(NSNumber::numberWithBool(YES)->isEqual(NSNumber::numberWithInt(1).get()));
  EXPECT_FALSE(
      NSNumber::numberWithInt(-1)->isEqual(NSNumber::numberWithUnsignedLongLong(~0ULL).get()));
  EXPECT_EQ(NSNumber::numberWithInt(7)->hash(), NSNumber::numberWithDouble(7.0)->hash());
  EXPECT_EQ(NSNumber::numberWithInt(-12)->description(), "-12");
  EXPECT_EQ(NSNumber::numberWithDouble(0.5)->description(), "0.5");
}

TEST(NSValue, HoldsBytesWithTheirType) {
  const CGRect rect{{1, 2}, {3, 4}};
  Ref<NSValue> value = NSValue::valueWithValue(rect);
  EXPECT_STREQ(value->objCType(), "{CGRect={CGPoint=dd}{CGSize=dd}}");
  CGRect back{};
  value->getValue(&back, sizeof back);
  EXPECT_EQ(back, rect);
  EXPECT_THROW(value->getValue(&back, 16), Ref<NSException>);
  EXPECT_TRUE(value->isEqual(NSValue::valueWithValue(rect).get()));
  EXPECT_FALSE(value->isEqual(NSValue::valueWithValue(CGRect{}).get()));
  EXPECT_FALSE(NSValue::valueWithBytes(&rect, "{Broken"));
  EXPECT_FALSE(NSValue::valueWithBytes(&rect, "dd")) << "one type, not two";
}

TEST(NSValue, PointersCompareByIdentityAndObjectsAreNotRetained) {
  int a = 0;
  int b = 0;
  Ref<NSValue> pointer = NSValue::valueWithPointer(&a);
  EXPECT_STREQ(pointer->objCType(), "^v");
  EXPECT_EQ(pointer->pointerValue(), &a);
  EXPECT_TRUE(pointer->isEqual(NSValue::valueWithPointer(&a).get()));
  EXPECT_FALSE(pointer->isEqual(NSValue::valueWithPointer(&b).get()));

  Ref<NSObject> object = make<NSObject>();
  Weak<NSObject> weak(object);
  Ref<NSValue> holder = NSValue::valueWithNonretainedObject(object.get());
  EXPECT_STREQ(holder->objCType(), "@");
  EXPECT_EQ(holder->nonretainedObjectValue(), object.get());
  object = nullptr;
  EXPECT_FALSE(weak.load()) << "the value did not keep the object alive";
}

TEST(NSString, ChecksItsEncoding) {
  EXPECT_EQ(NSString::stringWithUTF8String("h\xC3\xA9")->string(), "h\xC3\xA9");
  EXPECT_FALSE(NSString::stringWithUTF8String("\xC3"));
  EXPECT_FALSE(NSString::stringWithUTF8String("\xC0\x80")) << "overlong";
  EXPECT_FALSE(NSString::stringWithUTF8String("\xED\xA0\x80")) << "surrogate";
  EXPECT_FALSE(NSString::stringWithUTF8String(nullptr));
  EXPECT_TRUE(NSString::stringWithCString("v24@0:8@16", NSASCIIStringEncoding));
  EXPECT_FALSE(NSString::stringWithCString("h\xC3\xA9", NSASCIIStringEncoding));
  Ref<NSString> a = NSString::stringWithString("key");
  EXPECT_TRUE(a->isEqual(NSString::stringWithString("key").get()));
  EXPECT_EQ(a->hash(), NSString::stringWithString("key")->hash());
  EXPECT_EQ(a->copy(), a) << "immutable: copy is the same object";
  EXPECT_STREQ(send<const char*()>(a, sel("UTF8String")), "key");
}

TEST(NSNull, IsOneImmortalInstance) {
  Ref<NSNull> null = NSNull::null();
  EXPECT_EQ(null, NSNull::null());
  EXPECT_EQ(null->description(), "<null>");
  for (int i = 0; i < 3; ++i) objc_release(null.get());  // cannot drop it
  EXPECT_EQ(null->getClass(), NSNull::classObject());
}

TEST(NSArray, RefusesNullElementsAndChecksIndexes) {
  Ref<NSArray> array = NSArray::arrayWithObjects(
      {NSNumber::numberWithInt(1), NSString::stringWithString("two"), NSNull::null()});
  EXPECT_EQ(array->count(), 3u);
  EXPECT_EQ(array->objectAtIndex(2), NSNull::null());
  EXPECT_THROW(array->objectAtIndex(3), Ref<NSException>);
  EXPECT_THROW(NSArray::arrayWithObjects({NSNull::null(), nullptr}), Ref<NSException>);
  EXPECT_TRUE(
      array->isEqual(NSArray::arrayWithObjects({NSNumber::numberWithDouble(1),
                                                NSString::stringWithString("two"), NSNull::null()})
                         .get()));
  EXPECT_EQ(array->description(), "(\n    1,\n    two,\n    <null>\n)");
}

TEST(NSDictionary, FindsValuesByEqualKeys) {
  Ref<NSDictionary> dictionary = NSDictionary::dictionaryWithEntries(
      {{NSString::stringWithString("flag"), NSNumber::numberWithBool(YES)},
       {NSNumber::numberWithInt(2), NSString::stringWithString("two")},
       {NSString::stringWithString("flag"), NSNumber::numberWithBool(NO)}});
  EXPECT_EQ(dictionary->count(), 2u) << "a later equal key replaces the earlier";
  auto flag =
      dynamicCast<NSNumber>(dictionary->objectForKey(NSString::stringWithString("flag").get()));
  ASSERT_TRUE(flag);
  EXPECT_FALSE(flag->boolValue());
  EXPECT_TRUE(dictionary->objectForKey(NSNumber::numberWithLong(2).get()));
  EXPECT_FALSE(dictionary->objectForKey(NSString::stringWithString("none").get()));
  EXPECT_FALSE(dictionary->objectForKey(nullptr));
  EXPECT_THROW(NSDictionary::dictionaryWithEntries({{NSNull::null(), nullptr}}), Ref<NSException>);
}

TEST(NSException, CarriesNameReasonUserInfoAndReturnAddresses) {
  Ref<NSDictionary> info = NSDictionary::dictionaryWithEntries(
      {{NSString::stringWithString("k"), NSNumber::numberWithInt(1)}});
  try {
    NSException::raise("RV Invalid Operator", "Class not generated", info);
    FAIL() << "expected an exception";
  } catch (const Ref<NSException>& exception) {
    EXPECT_EQ(exception->name(), "RV Invalid Operator");
    EXPECT_EQ(exception->reason(), "Class not generated");
    EXPECT_EQ(exception->userInfo(), info);
    EXPECT_FALSE(exception->callStackReturnAddresses().empty());
  }
}

TEST(NSException, ASubclassMayAnswerItsReturnAddressesItself) {
  Class cls = test::makeSubclass(NSException::classObject(), "WrappedException");
  class_addMethod(cls, sel("callStackReturnAddresses"),
                  imp_implementationWithBlock<Ref<NSArray>()>([](id) {
                    return NSArray::arrayWithObjects({NSNumber::numberWithUnsignedLong(0x1234)});
                  }),
                  "@16@0:8");
  Ref<NSException> exception = alloc<NSException>(cls);
  EXPECT_EQ(exception->callStackReturnAddresses(), (std::vector<uintptr_t>{0x1234}));
  try {
    exception->raise();
  } catch (const Ref<NSException>& caught) {
    EXPECT_EQ(object_getClass(caught.get()), cls) << "the thrown object keeps its class";
  }
}

TEST(NSAssertionHandler, LogsTheFailureAndRaisesWithTheDescription) {
  Ref<NSObject> object = make<NSObject>();
  ::testing::internal::CaptureStderr();
  try {
    NSAssertionHandler::currentHandler()->handleFailureInMethod(
        sel("voidDelegateMethodsContain:"), object.get(), "_RVDelegateProxy", 112,
        "Set of allowed methods not initialized");
    FAIL() << "expected an exception";
  } catch (const Ref<NSException>& exception) {
    EXPECT_EQ(exception->name(), NSInternalInconsistencyException);
    EXPECT_EQ(exception->reason(), "Set of allowed methods not initialized");
  }
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("*** Assertion failure in -[NSObject voidDelegateMethodsContain:], "
                     "_RVDelegateProxy:112"),
            std::string::npos)
      << log;
  EXPECT_EQ(NSAssertionHandler::currentHandler(), NSAssertionHandler::currentHandler());
  EXPECT_THROW(NSAssertionHandler::currentHandler()->handleFailureInFunction(
                   "RV_extract_argument_at_index", "file.m", 3,
                   "Invalid parameter not satisfying: size > 0"),
               Ref<NSException>);
}

TEST(NSLog, WritesOneStampedLine) {
  ::testing::internal::CaptureStderr();
  NSLog("There was a problem swizzling on `Cls`.\nSecond line");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(matches(log, "9999-99-99 99:99:99.999 ~[#:#] There was a ")) << log;
  EXPECT_EQ(log.substr(log.size() - 13), "\nSecond line\n");
}

TEST(Block, IsAnObjectThatCopiesToItself) {
  int calls = 0;
  Ref<Block<int(int)>> block = Block<int(int)>::create([&](int x) {
    ++calls;
    return x * 2;
  });
  EXPECT_EQ((*block)(21), 42);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(block->copy(), block);
  EXPECT_EQ(object_getClass(block.get()), BlockObject::classObject());
  EXPECT_STREQ(class_getName(BlockObject::classObject()), "NSBlock");
}

TEST(NSObject, DescribesItselfByItsReportedClass) {
  Ref<NSObject> object = make<NSObject>();
  const std::string text = object->description();
  EXPECT_TRUE(matches(text, "<NSObject: 0x#>") && text.back() == '>') << text;
  // A class that reports another class is described with that one.
  Class hidden = test::makeSubclass(NSObject::classObject(), "Hidden");
  class_addMethod(hidden, sel("class"),
                  imp_implementationWithBlock<Class()>([](id) { return NSObject::classObject(); }),
                  "#16@0:8");
  Ref<NSObject> disguised = dynamicCast<NSObject>(class_createInstance(hidden));
  EXPECT_EQ(disguised->description().substr(0, 11), "<NSObject: ");
  EXPECT_TRUE(disguised->isKindOfClass(NSObject::classObject()));
  EXPECT_FALSE(disguised->isKindOfClass(hidden)) << "asks the reported class";
  EXPECT_EQ(describe(nullptr), "(null)");
  EXPECT_EQ(object->methodForSelector(sel("hash")),
            class_getMethodImplementation(NSObject::classObject(), sel("hash")));
}

TEST(ClassesByName, FoundationClassesAreFoundBeforeFirstUse) {
  for (const char* name : {"NSObject", "NSString", "NSNumber", "NSValue", "NSNull", "NSArray",
                           "NSDictionary", "NSException", "NSAssertionHandler", "NSInvocation",
                           "NSMethodSignature", "Protocol", "NSBlock"}) {
    EXPECT_NE(objc_getClass(name), nullptr) << name;
  }
  EXPECT_EQ(NSClassFromString("NSNumber"), NSNumber::classObject());
  EXPECT_EQ(NSStringFromClass(NSNumber::classObject()), "NSNumber");
  EXPECT_EQ(NSStringFromSelector(NSSelectorFromString("a:b:")), "a:b:");
  EXPECT_EQ(NSSelectorFromString("a:b:"), sel("a:b:"));
}

}  // namespace
}  // namespace objc
