#include <gtest/gtest.h>

#include "objc/CGGeometry.h"
#include "objc/NSException.h"
#include "objc/NSInvocation.h"
#include "objc/NSObject.h"
#include "objc/NSString.h"

using namespace objc;

TEST(Smoke, Basics) {
  Ref<NSObject> o = make<NSObject>();
  ASSERT_TRUE(o);
  EXPECT_EQ(o->getClass(), NSObject::classObject());
  EXPECT_TRUE(o->respondsToSelector(sel_registerName("description")));
  EXPECT_FALSE(o->respondsToSelector(sel_registerName("nothing")));
  EXPECT_EQ(o->description().substr(0, 11), "<NSObject: ");
  EXPECT_STREQ(methodEncoding<void(id, char)>(), "v28@0:8@16c24");
  EXPECT_STREQ(methodEncoding<void(BOOL)>(), "v20@0:8B16");
  EXPECT_STREQ(methodEncoding<void(SEL, id)>(), "v32@0:8:16@24");
  try {
    send<void(int)>(o, sel_registerName("nothing:"), 3);
    FAIL();
  } catch (const Ref<NSException>& e) {
    EXPECT_EQ(e->name(), "NSInvalidArgumentException");
    EXPECT_NE(e->reason().find("-[NSObject nothing:]: unrecognized selector sent to instance 0x"),
              std::string::npos)
        << e->reason();
  }
}
