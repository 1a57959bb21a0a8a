#include "CrashesTestSupport.h"
#include "ZozIduvurCrashes/DUZEAppleErrorLog.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurCrashes/DUZEWrapperException.h"
#include "foundation/NSError.h"
#include "objc/NSException.h"

namespace {

using crashestest::validDevice;

class ErrorModel : public crashestest::CrashesTest {};

std::shared_ptr<DUZEStackFrame> frame(const std::string& address) {
  auto f = DUZEStackFrame::create();
  f->setAddress(address);
  return f;
}

// An apple-error log with every required field and nothing optional.
std::shared_ptr<DUZEAppleErrorLog> minimalAppleLog() {
  auto log = DUZEAppleErrorLog::create();
  log->setTimestamp(dispatch::Date::fromUnixTime(1600000000.999));
  log->setDevice(validDevice());
  log->setErrorId("E1");
  log->setProcessId(42);
  log->setProcessName("Demo");
  log->setPrimaryArchitectureId(0x0100000C);
  log->setApplicationPath("/Applications/Demo.app/Contents/MacOS/Demo");
  log->setOsExceptionType("SIGSEGV");
  log->setOsExceptionCode("SEGV_MAPERR");
  log->setOsExceptionAddress("0x10");
  return log;
}

std::shared_ptr<DUZEAppleErrorLog> fullAppleLog() {
  auto log = minimalAppleLog();
  log->setSid("S");
  log->setUserId("U");
  log->setProperties(DUZEProperties{{"k", "v"}});
  log->setParentProcessId(1);
  log->setParentProcessName("launchd");
  log->setErrorThreadId(3);
  log->setErrorThreadName("main");
  log->setFatal(true);
  log->setAppLaunchTimestamp(dispatch::Date::fromUnixTime(1599999000));
  log->setArchitecture("arm64");
  log->setArchitectureVariantId(0x80000002);
  log->setExceptionType("NSRangeException");
  log->setExceptionReason("index 3 beyond bounds");
  log->setSelectorRegisterValue("objectAtIndex:");
  auto thread = DUZEThread::create();
  thread->setThreadId(3);
  thread->setName("main");
  thread->addFrame(frame("0x0000000100001000"));
  auto exception = DUZEExceptionModel::create();
  exception->setType("NSRangeException");
  exception->setFrames(DUZEStackFrames{frame("0x0000000100002000")});
  thread->setException(exception);
  log->setThreads(DUZEThreads{thread});
  auto binary = DUZEBinary::create();
  binary->setBinaryId("deadbeef000102030405060708090a0b");
  binary->setStartAddress("0x0000000100000000");
  binary->setEndAddress("0x0000000100003fff");
  binary->setName("Demo");
  binary->setPath("/Applications/Demo.app/Contents/MacOS/Demo");
  binary->setPrimaryArchitectureId(0x0100000C);
  binary->setArchitectureVariantId(0x80000002);
  log->setBinaries(DUZEBinaries{binary});
  log->setRegisters(DUZERegisters{{"x0", "0x0000000000000001"}, {"pc", "0x0000000100001000"}});
  log->setException(exception);
  return log;
}

TEST_F(ErrorModel, AppleLogWritesOnlyPresentKeysButAlwaysFatal) {
  auto log = minimalAppleLog();
  ASSERT_TRUE(log->isValid());
  auto json = log->serializeToDictionary();
  EXPECT_EQ(json["type"], "appleError");
  EXPECT_EQ(json["id"], "E1");
  EXPECT_EQ(json["fatal"], false);
  EXPECT_TRUE(json["fatal"].is_boolean());
  for (const char* key : {"parentProcessId", "exceptionType", "threads", "binaries", "registers",
                          "exception", "appLaunchTimestamp", "properties", "sid"}) {
    EXPECT_FALSE(json.contains(key)) << key;
  }
}

TEST_F(ErrorModel, AppleLogKeysFollowTheBaseThenTableOrder) {
  auto json = fullAppleLog()->serializeToDictionary();
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items()) keys.push_back(key);
  const std::vector<std::string> expected = {"type",
                                             "timestamp",
                                             "sid",
                                             "userId",
                                             "device",
                                             "properties",
                                             "id",
                                             "processId",
                                             "processName",
                                             "parentProcessId",
                                             "parentProcessName",
                                             "errorThreadId",
                                             "errorThreadName",
                                             "fatal",
                                             "appLaunchTimestamp",
                                             "architecture",
                                             "primaryArchitectureId",
                                             "architectureVariantId",
                                             "applicationPath",
                                             "osExceptionType",
                                             "osExceptionCode",
                                             "osExceptionAddress",
                                             "exceptionType",
                                             "exceptionReason",
                                             "selectorRegisterValue",
                                             "threads",
                                             "binaries",
                                             "registers",
                                             "exception"};
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(json["appLaunchTimestamp"], "2020-09-13T12:10:00.000Z");
  EXPECT_EQ(json["primaryArchitectureId"], 16777228u);
  EXPECT_EQ(json["architectureVariantId"], 2147483650u);
  EXPECT_EQ(json["threads"][0]["id"], 3);
  EXPECT_EQ(json["threads"][0]["frames"][0]["address"], "0x0000000100001000");
  EXPECT_EQ(json["threads"][0]["exception"]["type"], "NSRangeException");
  EXPECT_EQ(json["binaries"][0]["id"], "deadbeef000102030405060708090a0b");
  EXPECT_EQ(json["registers"]["x0"], "0x0000000000000001");
}

TEST_F(ErrorModel, RequiredFieldsAreCheckedInOrderWithTheirReportedNames) {
  auto log = minimalAppleLog();
  log->setProcessName(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEAppleErrorLog: \"processName\" is not valid."));

  clearLines();
  log = minimalAppleLog();
  log->setErrorId(std::nullopt);
  log->setOsExceptionCode(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEAppleErrorLog: \"errorId\" is not valid."));
  EXPECT_FALSE(hasLine("osExceptionCode"));

  // The base log is checked first.
  clearLines();
  log = minimalAppleLog();
  log->setDevice(nullptr);
  log->setProcessId(std::nullopt);
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("\"device\" is not valid."));
  EXPECT_FALSE(hasLine("processId"));

  for (auto clear : std::vector<std::function<void(DUZEAppleErrorLog&)>>{
           [](DUZEAppleErrorLog& l) { l.setPrimaryArchitectureId(std::nullopt); },
           [](DUZEAppleErrorLog& l) { l.setApplicationPath(std::nullopt); },
           [](DUZEAppleErrorLog& l) { l.setOsExceptionType(std::nullopt); },
           [](DUZEAppleErrorLog& l) { l.setOsExceptionAddress(std::nullopt); },
       }) {
    log = minimalAppleLog();
    clear(*log);
    EXPECT_FALSE(log->isValid());
  }
}

TEST_F(ErrorModel, ThreadsNeedAnIdAndAtLeastOneFrame) {
  auto thread = DUZEThread::create();
  ASSERT_TRUE(thread->frames().has_value());
  EXPECT_TRUE(thread->frames()->empty());
  EXPECT_EQ(thread->serializeToDictionary()["frames"], nlohmann::ordered_json::array());
  EXPECT_FALSE(thread->isValid());
  EXPECT_TRUE(hasLine("DUZEThread: \"threadId\" is not valid."));
  thread->setThreadId(7);
  EXPECT_FALSE(thread->isValid());
  EXPECT_TRUE(hasLine("DUZEThread: \"frames\" is not valid."));
  thread->addFrame(frame("0x1"));
  EXPECT_TRUE(thread->isValid());
  EXPECT_NE(thread->description().find("id = 7;"), std::string::npos);
}

TEST_F(ErrorModel, HandledErrorNeedsAnExceptionButDoesNotCheckIt) {
  auto log = DUZEHandledErrorLog::create();
  log->setTimestamp(dispatch::Date(10));
  log->setDevice(validDevice());
  log->setErrorId("H1");
  EXPECT_FALSE(log->isValid());
  EXPECT_TRUE(hasLine("DUZEHandledErrorLog: \"exception\" is not valid."));
  auto exception = DUZEExceptionModel::create();
  exception->setType("Domain");
  log->setException(exception);
  EXPECT_FALSE(exception->isValid());
  EXPECT_TRUE(log->isValid());
  auto json = log->serializeToDictionary();
  EXPECT_EQ(json["type"], "handledError");
  EXPECT_EQ(json["id"], "H1");
  EXPECT_EQ(json["exception"]["type"], "Domain");
}

TEST_F(ErrorModel, BinaryEqualityAndValidity) {
  auto a = DUZEBinary::create();
  auto b = DUZEBinary::create();
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_FALSE(a->isEqual(*DUZEThread::create()));
  b->setArchitectureVariantId(2);
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_FALSE(a->isValid());
  EXPECT_TRUE(hasLine("DUZEBinary: \"binaryId\" is not valid."));
  a->setBinaryId("x");
  a->setStartAddress("0x1");
  a->setEndAddress("0x2");
  a->setName("n");
  EXPECT_FALSE(a->isValid());
  EXPECT_TRUE(hasLine("DUZEBinary: \"path\" is not valid."));
}

TEST_F(ErrorModel, LoadStackTraceTakesSixPartLinesOnly) {
  const std::vector<std::string> lines = {
      "3   Foo                                 0x000000010b1c2d3e -[MyClass doSomething:] + 42",
      "4   libsystem_c                         0x00007fff2043e8ab abort + 120",
      "",
  };
  auto frames = DUZEExceptionModel::loadStackTrace(lines);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0]->fileName(), "Foo");
  EXPECT_EQ(frames[0]->address(), "0x000000010b1c2d3e");
  EXPECT_EQ(frames[0]->frameClassName(), "MyClass");
  EXPECT_EQ(frames[0]->methodName(), "doSomething:");
  EXPECT_FALSE(frames[0]->code());
  EXPECT_FALSE(frames[0]->lineNumber());
  EXPECT_EQ(frames[0]->serializeToDictionary()["className"], "MyClass");

  auto model = DUZEExceptionModel::createWithType("T", "m", std::vector<std::string>{lines[1]});
  ASSERT_TRUE(model->frames());
  EXPECT_TRUE(model->frames()->empty());
  EXPECT_FALSE(model->isValid());
  EXPECT_TRUE(hasLine("DUZEExceptionModel: \"frames\" is not valid."));
  EXPECT_EQ(*model->stackTrace(),
            "(\n    \"4   libsystem_c                         0x00007fff2043e8ab abort + 120\"\n)");
}

TEST_F(ErrorModel, ExceptionModelFromAnError) {
  auto error = foundation::NSError::create("NSCocoaErrorDomain", 4, "File missing");
  auto model = DUZEExceptionModel::createWithError(*error);
  EXPECT_EQ(model->type(), "NSCocoaErrorDomain");
  ASSERT_TRUE(model->message());
  EXPECT_EQ(*model->message(), "{\n    NSLocalizedDescription = \"File missing\";\n}");
  ASSERT_TRUE(model->stackTrace());
  EXPECT_EQ(model->stackTrace()->rfind("(\n    \"0   ", 0), 0u) << *model->stackTrace();
  EXPECT_TRUE(model->frames());

  auto bare = DUZEExceptionModel::createWithError(*foundation::NSError::create("", 1));
  EXPECT_FALSE(bare->type());
  EXPECT_FALSE(bare->message());
}

TEST_F(ErrorModel, ExceptionModelFromAnExceptionObject) {
  auto exception = objc::NSException::exceptionWithName("NSRangeException", "out of range");
  auto model = DUZEExceptionModel::createWithException(exception.get());
  EXPECT_EQ(model->type(), "NSRangeException");
  EXPECT_EQ(model->message(), "out of range");
  // The runtime's exception answers no call-stack symbols: the calling
  // thread's stack stands in for the frames, and no stack trace is written.
  EXPECT_FALSE(model->stackTrace());
  EXPECT_TRUE(model->frames());
}

TEST_F(ErrorModel, WrapperModelComparesItsBaseToo) {
  auto a = DUZEWrapperExceptionModel::create();
  a->setType("System.Exception");
  a->setWrapperSdkName("wrapper");
  auto inner = DUZEExceptionModel::create();
  inner->setType("Inner");
  a->setInnerExceptions(std::vector<std::shared_ptr<DUZEExceptionModel>>{inner});
  auto b = roundTrip(a);
  ASSERT_TRUE(b);
  EXPECT_TRUE(a->isEqual(*b));
  b->setType("Other");
  EXPECT_FALSE(a->isEqual(*b));
  auto json = a->serializeToDictionary();
  EXPECT_EQ(json["type"], "System.Exception");
  EXPECT_EQ(json["wrapperSdkName"], "wrapper");
  EXPECT_EQ(json["innerExceptions"][0]["type"], "Inner");
  // A plain model is never equal to a wrapper model.
  EXPECT_FALSE(a->isEqual(*inner));
}

TEST_F(ErrorModel, AppleLogSurvivesArchiving) {
  auto log = fullAppleLog();
  auto decoded = roundTrip(log);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*log));
  EXPECT_TRUE(decoded->isFatal());
  EXPECT_EQ(decoded->architectureVariantId(), 0x80000002u);
  EXPECT_EQ(decoded->serializeToDictionary(), log->serializeToDictionary());

  decoded->setFatal(false);
  EXPECT_FALSE(decoded->isEqual(*log));
  auto minimal = roundTrip(minimalAppleLog());
  ASSERT_TRUE(minimal);
  EXPECT_FALSE(minimal->isFatal());
  EXPECT_FALSE(minimal->threads());
}

TEST_F(ErrorModel, HandledLogAndWrapperRecordSurviveArchiving) {
  auto log = DUZEHandledErrorLog::create();
  log->setErrorId("H");
  log->setProperties(DUZEProperties{{"a", "b"}});
  log->setException(DUZEExceptionModel::createWithType("T", std::nullopt, std::nullopt));
  auto decoded = roundTrip(log);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*log));

  auto record = DUZEWrapperException::create();
  record->setModelException(DUZEWrapperExceptionModel::create());
  record->setExceptionData(foundation::Data{1, 2, 3});
  record->setProcessId(123);
  auto back = roundTrip(record);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->processId(), 123);
  EXPECT_EQ(back->exceptionData(), (foundation::Data{1, 2, 3}));
  EXPECT_TRUE(std::dynamic_pointer_cast<DUZEWrapperExceptionModel>(back->modelException()));
}

// Objects written under the names of an earlier release.
class OldThread : public DUZEThread {
  DUZE_CLASS_NAME("ZIThread")
};
class OldException : public DUZEExceptionModel {
  DUZE_CLASS_NAME("DUZEException")
};

TEST_F(ErrorModel, OldClassNamesDecodeIntoTheCurrentClasses) {
  auto old = std::make_shared<OldThread>();
  old->setThreadId(5);
  old->addFrame(frame("0x5"));
  auto oldException = std::make_shared<OldException>();
  oldException->setType("Legacy");
  old->setException(oldException);
  auto data = DUZEUtility::archiveKeyedData(foundation::Value(old));
  ASSERT_TRUE(data);
  auto decoded = DUZEUtility::unarchiveObject<DUZEThread>(*data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->className(), "DUZEThread");
  EXPECT_EQ(decoded->threadId(), 5);
  auto exception = std::dynamic_pointer_cast<DUZEWrapperExceptionModel>(decoded->exception());
  ASSERT_TRUE(exception);
  EXPECT_EQ(exception->type(), "Legacy");
}

}  // namespace
