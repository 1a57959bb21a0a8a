#include "CrashesTestSupport.h"
#include "ZozIduvurCrashes/DUZEErrorAttachmentLog.h"
#include "ZozIduvurCrashes/DUZEErrorReport.h"
#include "foundation/UUID.h"

namespace {

using crashestest::validDevice;

class Attachment : public crashestest::CrashesTest {
 protected:
  // What the channel and the crash service add before the log is checked.
  static void stamp(DUZEErrorAttachmentLog& log) {
    log.setTimestamp(dispatch::Date(100));
    log.setDevice(validDevice());
    log.setErrorId("E1");
  }
};

TEST_F(Attachment, TextAttachmentIsPlainTextInBase64) {
  auto log = DUZEErrorAttachmentLog::attachmentWithText("Hello, world", "note.txt");
  EXPECT_EQ(log->contentType(), "text/plain");
  stamp(*log);
  ASSERT_TRUE(log->isValid());
  auto json = log->serializeToDictionary();
  EXPECT_EQ(json["type"], "errorAttachment");
  EXPECT_EQ(json["data"], "SGVsbG8sIHdvcmxk");
  EXPECT_EQ(json["fileName"], "note.txt");
  EXPECT_EQ(json["errorId"], "E1");
  EXPECT_EQ(json["id"], *log->attachmentId());
  EXPECT_FALSE(json.contains("filename"));
}

TEST_F(Attachment, EmptyTextIsValidButNoTextIsNot) {
  auto empty = DUZEErrorAttachmentLog::attachmentWithText(std::string(), std::nullopt);
  stamp(*empty);
  EXPECT_TRUE(empty->isValid());
  EXPECT_EQ(empty->serializeToDictionary()["data"], "");
  EXPECT_FALSE(empty->serializeToDictionary().contains("fileName"));

  auto none = DUZEErrorAttachmentLog::attachmentWithText(std::nullopt, "x");
  stamp(*none);
  EXPECT_FALSE(none->isValid());
  EXPECT_TRUE(hasLine("DUZEErrorAttachmentLog: \"data\" is not valid."));
}

TEST_F(Attachment, NewAttachmentHasAnIdButNoErrorId) {
  auto log = DUZEErrorAttachmentLog::attachmentWithBinary(foundation::Data{1}, "a.bin",
                                                          "application/octet-stream");
  ASSERT_TRUE(log->attachmentId());
  EXPECT_TRUE(foundation::NSUUID::fromString(*log->attachmentId()));
  EXPECT_EQ(*log->attachmentId(),
            foundation::NSUUID::fromString(*log->attachmentId())->UUIDString());
  EXPECT_FALSE(log->errorId());
  // Without time and device the base log fails first.
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEErrorAttachmentLog: \"timestamp\" is not valid."));
  log->setTimestamp(dispatch::Date(1));
  log->setDevice(validDevice());
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEErrorAttachmentLog: \"errorId\" is not valid."));
  log->setErrorId("E");
  log->setContentType(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEErrorAttachmentLog: \"contentType\" is not valid."));
}

TEST_F(Attachment, SameArgumentsGiveDifferentAttachments) {
  auto a = DUZEErrorAttachmentLog::attachmentWithText("t", "f");
  auto b = DUZEErrorAttachmentLog::attachmentWithText("t", "f");
  EXPECT_NE(a->attachmentId(), b->attachmentId());
  EXPECT_FALSE(a->isEqual(*b));
  b->setAttachmentId(a->attachmentId());
  EXPECT_TRUE(a->isEqual(*b));
  b->setData(foundation::Data{'u'});
  EXPECT_FALSE(a->isEqual(*b));
}

TEST_F(Attachment, ArchiveKeepsTheAttachmentIdOrItsAbsence) {
  auto log = DUZEErrorAttachmentLog::attachmentWithBinary(foundation::Data{0, 255}, "b", "x/y");
  stamp(*log);
  auto decoded = roundTrip(log);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*log));
  EXPECT_EQ(decoded->data(), (foundation::Data{0, 255}));

  // A decoded attachment takes the archive's id, not the one made for the
  // empty object it was decoded into.
  log->setAttachmentId(std::nullopt);
  decoded = roundTrip(log);
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->attachmentId());
}

std::shared_ptr<DUZEErrorReport> reportWith(std::optional<std::string> signal, uint64_t pid) {
  return DUZEErrorReport::create("ID", "", std::move(signal), std::nullopt, std::nullopt,
                                 dispatch::Date(0), dispatch::Date(1), "ARM-64", "arm64",
                                 "/Applications/A.app/Contents/MacOS/A", DUZEThreads{},
                                 DUZEBinaries{}, validDevice(), pid);
}

TEST(ErrorReport, AppKillIsSigkillInAnyCase) {
  EXPECT_TRUE(reportWith("SIGKILL", 1)->isAppKill());
  EXPECT_TRUE(reportWith("sigKill", 1)->isAppKill());
  EXPECT_FALSE(reportWith("SIGSEGV", 1)->isAppKill());
  EXPECT_FALSE(reportWith(std::nullopt, 1)->isAppKill());
  auto report = reportWith("SIGSEGV", 1);
  report->setSignal("SIGKILL");
  EXPECT_TRUE(report->isAppKill());
}

TEST(ErrorReport, ProcessIdentifierIsWrittenAsTextWhenNotZero) {
  auto none = reportWith("SIGABRT", 0)->serializeToDictionary();
  EXPECT_EQ(none.count("appProcessIdentifier"), 0u);
  EXPECT_EQ(none.count("exceptionName"), 0u);
  EXPECT_EQ(none.count("reporterKey"), 1u);
  auto some = reportWith("SIGABRT", 4242)->serializeToDictionary();
  ASSERT_TRUE(some.at("appProcessIdentifier").stringValue());
  EXPECT_EQ(*some.at("appProcessIdentifier").stringValue(), "4242");
  auto text = reportWith("SIGABRT", 4242)->description();
  EXPECT_NE(text.find("appProcessIdentifier = 4242;"), std::string::npos) << text;
  EXPECT_NE(text.find("signal = SIGABRT;"), std::string::npos) << text;
  EXPECT_NE(text.find("appStartTime = \"2001-01-01 00:00:00 +0000\";"), std::string::npos) << text;
}

}  // namespace
