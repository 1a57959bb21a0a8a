#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "objc/Block.h"
#include "objc/CGGeometry.h"
#include "objc/Encoding.h"
#include "objc/NSException.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSString.h"

namespace objc {
namespace {

enum class Small : uint8_t { a };
struct Opaque;

TEST(TypeEncoding, MethodEncodingsPlaceEachArgumentAfterMaxOfSizeAndFour) {
  EXPECT_STREQ((methodEncoding<void(id, char)>()), "v28@0:8@16c24");
  EXPECT_STREQ(methodEncoding<void(BOOL)>(), "v20@0:8B16");
  EXPECT_STREQ((methodEncoding<void(SEL, id)>()), "v32@0:8:16@24");
  EXPECT_STREQ(methodEncoding<void()>(), "v16@0:8");
  EXPECT_STREQ((methodEncoding<void(id, Block<void()>*)>()), "v32@0:8@16@?24");
  EXPECT_STREQ((methodEncoding<double(char, double)>()), "d28@0:8c16d20")
      << "a double after a char sits at 20, unaligned";
  EXPECT_STREQ((methodEncoding<Ref<NSString>(CGRect, int)>()),
               "@52@0:8{CGRect={CGPoint=dd}{CGSize=dd}}16i48");
}

TEST(TypeEncoding, ScalarPointerAndStructEncodings) {
  EXPECT_STREQ(encode<char>(), "c");
  EXPECT_STREQ(encode<unsigned char>(), "C");
  EXPECT_STREQ(encode<short>(), "s");
  EXPECT_STREQ(encode<unsigned short>(), "S");
  EXPECT_STREQ(encode<int>(), "i");
  EXPECT_STREQ(encode<unsigned>(), "I");
  EXPECT_STREQ(encode<long>(), "q");
  EXPECT_STREQ(encode<NSUInteger>(), "Q");
  EXPECT_STREQ(encode<float>(), "f");
  EXPECT_STREQ(encode<double>(), "d");
  EXPECT_STREQ(encode<bool>(), "B");
  EXPECT_STREQ(encode<const char*>(), "r*");
  EXPECT_STREQ(encode<char*>(), "*");
  EXPECT_STREQ(encode<SEL>(), ":");
  EXPECT_STREQ(encode<Class>(), "#");
  EXPECT_STREQ(encode<IMP>(), "^?");
  EXPECT_STREQ(encode<NSString*>(), "@");
  EXPECT_STREQ(encode<Ref<NSString>>(), "@");
  EXPECT_STREQ(encode<Block<int(int)>*>(), "@?");
  EXPECT_STREQ(encode<void*>(), "^v");
  EXPECT_STREQ(encode<const void*>(), "r^v");
  EXPECT_STREQ(encode<int*>(), "^i");
  EXPECT_STREQ(encode<CGRect*>(), "^{CGRect={CGPoint=dd}{CGSize=dd}}");
  EXPECT_STREQ(encode<Small>(), "C");
  EXPECT_STREQ(encode<CGPoint>(), "{CGPoint=dd}");
  EXPECT_STREQ(encode<CGSize>(), "{CGSize=dd}");
}

TEST(TypeEncoding, CompileTimeLayoutMatchesTheParsedSignature) {
  using Sig = MethodSignatureOf<void(char, CGRect, bool, double)>;
  Ref<NSMethodSignature> parsed = NSMethodSignature::signatureWithObjCTypes(Sig::types());
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->numberOfArguments(), Sig::kArgumentCount);
  for (size_t i = 0; i < Sig::kArgumentCount; ++i) {
    EXPECT_EQ(parsed->argumentOffset(i), Sig::offsets[i]) << "argument " << i;
  }
  EXPECT_EQ(parsed->frameLength(), Sig::frameSize);
}

TEST(MethodSignature, ParsesQualifiersNestedStructuresNamesAndBlocks) {
  Ref<NSMethodSignature> s = NSMethodSignature::signatureWithObjCTypes(
      "r*48@0:8@\"NSString\"16@?<v@?@>24{CGRect={CGPoint=dd}{CGSize=dd}}32^{Opaque}40rn^v44");
  ASSERT_TRUE(s);
  EXPECT_STREQ(s->methodReturnType(), "r*");
  EXPECT_EQ(s->methodReturnLength(), 8u);
  ASSERT_EQ(s->numberOfArguments(), 7u);
  EXPECT_STREQ(s->getArgumentTypeAtIndex(2), "@") << "the class name is dropped";
  EXPECT_STREQ(s->getArgumentTypeAtIndex(3), "@?") << "the block signature is dropped";
  EXPECT_STREQ(s->getArgumentTypeAtIndex(4), "{CGRect={CGPoint=dd}{CGSize=dd}}");
  EXPECT_EQ(s->argumentSize(4), 32u);
  EXPECT_STREQ(s->getArgumentTypeAtIndex(5), "^{Opaque}");
  EXPECT_STREQ(s->getArgumentTypeAtIndex(6), "rn^v");
  EXPECT_EQ(s->argumentOffset(6), 16u + 8 + 8 + 32 + 8);
  EXPECT_EQ(s->returnKind(), ReturnKind::bytes);
}

TEST(MethodSignature, WorksWithoutOffsetsAndReportsReturnKinds) {
  Ref<NSMethodSignature> s = NSMethodSignature::signatureWithObjCTypes("@@:ic");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->numberOfArguments(), 4u);
  EXPECT_EQ(s->argumentOffset(3), 20u);
  EXPECT_EQ(s->frameLength(), 24u);
  EXPECT_EQ(s->returnKind(), ReturnKind::object);
  EXPECT_EQ(NSMethodSignature::signatureWithObjCTypes("Vv@:")->returnKind(), ReturnKind::none);
  EXPECT_THROW(s->getArgumentTypeAtIndex(4), Ref<NSException>);
}

TEST(MethodSignature, MalformedEncodingsGiveNone) {
  for (const char* bad : {"", "v@:x", "v@:{CGPoint=dd", "v@:[4i", "v@:[i]", "v@:@\"Name", "v@:^",
                          "v@:(U=ic", "v@:@?<v@", "v@:{S=\"x\"}z", "v@:b"}) {
    EXPECT_FALSE(NSMethodSignature::signatureWithObjCTypes(bad)) << bad;
  }
  EXPECT_FALSE(NSMethodSignature::signatureWithObjCTypes(nullptr));
}

TEST(SizeAndAlignment, FollowCLayoutAndStepPastOffsets) {
  struct Case {
    const char* type;
    NSUInteger size;
    NSUInteger alignment;
  };
  for (const Case& c :
       {Case{"c", 1, 1}, Case{"s", 2, 2}, Case{"i", 4, 4}, Case{"q", 8, 8}, Case{"d", 8, 8},
        Case{"B", 1, 1}, Case{"@", 8, 8}, Case{"v", 0, 1}, Case{"[3s]", 6, 2},
        Case{"{S=cd}", 16, 8}, Case{"{S=ci}", 8, 4}, Case{"(U=cd)", 8, 8}, Case{"{Empty}", 0, 1},
        Case{"{CGRect={CGPoint=dd}{CGSize=dd}}", 32, 8}, Case{"{N=\"a\"c\"b\"[2{P=si}]}", 20, 4}}) {
    NSUInteger size = 99;
    NSUInteger alignment = 99;
    const char* end = NSGetSizeAndAlignment(c.type, &size, &alignment);
    EXPECT_EQ(size, c.size) << c.type;
    EXPECT_EQ(alignment, c.alignment) << c.type;
    EXPECT_EQ(*end, '\0') << c.type;
  }
  const char* list = "i16@24";
  const char* next = NSGetSizeAndAlignment(list, nullptr, nullptr);
  EXPECT_STREQ(next, "@24");
  EXPECT_THROW(NSGetSizeAndAlignment("{Broken=", nullptr, nullptr), Ref<NSException>);
  EXPECT_THROW(NSGetSizeAndAlignment("[99999999999i]", nullptr, nullptr), Ref<NSException>);
}

}  // namespace
}  // namespace objc
