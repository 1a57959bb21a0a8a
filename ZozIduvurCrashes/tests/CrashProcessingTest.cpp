// Processing of the crashes of earlier runs: takeover of the engine's pending
// report, the stored reports, the delegate's and the user's say, and the
// attachments.

#include <atomic>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "CrashesServiceSupport.h"
#include "DUZECrashesKeys.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "dispatch/MainLoop.h"
#include "dispatchTest/Waiting.h"
#include "foundation/Paths.h"
#include "foundation/StringFormat.h"
#include "foundationTest/Modes.h"

namespace {

using dispatch::testing::eventually;

namespace fs = std::filesystem;
using crashestest::incidentOf;
using crashestest::RecordingCrashesDelegate;
using crashestest::reportBytes;
using crashestest::reportWithAnnotations;

// This boot, as the reports and history entries of earlier versions name it.
constexpr const char* kBootId = "6c1f0a52-93b4-4c2e-8d55-0e2f7a9b1c3d";

// A history entry as earlier versions wrote it: naming the process that
// recorded it (its id, start second, boot id and start in ticks).
template <class Base>
class EntryNamingItsProcess : public Base {
 public:
  explicit EntryNamingItsProcess(int64_t pid) : pid_(pid) {}
  void encodeWithCoder(foundation::NSCoder& coder) const override {
    Base::encodeWithCoder(coder);
    coder.encodeInt64(pid_, "processId");
    coder.encodeInt64(1699999000, "processStart");
    coder.encodeObject(std::optional<std::string>(kBootId), "bootId");
    coder.encodeObject(std::optional<int64_t>(pid_ + 1000), "processStartTicks");
  }

 private:
  int64_t pid_;
};

class CrashProcessing : public crashestest::CrashesServiceTest {
 protected:
  // The regular files of the crash folder.
  std::vector<std::string> crashFolderFiles() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(crashesFolder(), ec)) {
      if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    return names;
  }

  // Sets a delegate that answers `process` once `checked` is set, so that
  // processing waits for the checks of the takeover. The service holds its
  // delegate weakly: keep what this returns.
  [[nodiscard]] static std::shared_ptr<RecordingCrashesDelegate> setGatedDelegate(
      std::promise<void>& checked, bool process) {
    auto delegate = std::make_shared<RecordingCrashesDelegate>();
    delegate->decide = [gate = checked.get_future().share(), process](const DUZEErrorReport&) {
      gate.wait();
      return process;
    };
    DUZECrashes::setDelegate(delegate);
    return delegate;
  }

  // Persists session and user id histories as an earlier run left them, one
  // entry of each per (time, session, user), and has the contexts load them
  // as a new process does.
  struct Entry {
    Entry(dispatch::Date time, std::string session, std::string user, int64_t recordedBy = 0)
        : time(time), session(std::move(session)), user(std::move(user)), recordedBy(recordedBy) {}
    dispatch::Date time;
    std::string session;
    std::string user;
    int64_t recordedBy;  // the process an earlier version named with it; 0: none
  };
  template <class T>
  static std::shared_ptr<T> earlierEntry(const Entry& entry) {
    std::shared_ptr<T> made = entry.recordedBy != 0
                                  ? std::make_shared<EntryNamingItsProcess<T>>(entry.recordedBy)
                                  : std::make_shared<T>();
    made->setTimestamp(entry.time);
    return made;
  }
  static void storeEarlierHistories(const std::vector<Entry>& entries) {
    std::vector<std::shared_ptr<DUZESessionHistoryInfo>> sessions;
    std::vector<std::shared_ptr<DUZEUserIdHistoryInfo>> users;
    for (const auto& entry : entries) {
      sessions.push_back(earlierEntry<DUZESessionHistoryInfo>(entry));
      sessions.back()->setSessionId(entry.session);
      users.push_back(earlierEntry<DUZEUserIdHistoryInfo>(entry));
      users.back()->setUserId(entry.user);
    }
    crashestest::storeHistory("SessionIdHistory", sessions);
    crashestest::storeHistory("UserIdHistory", users);
    DUZESessionContext::resetSharedInstance();
    DUZEUserIdContext::resetSharedInstance();
  }

  static std::shared_ptr<DUZEWrapperException> wrapperException(int64_t pid) {
    auto exception = DUZEWrapperException::create();
    auto model = DUZEWrapperExceptionModel::create();
    model->setType("WrappedError");
    model->setWrapperSdkName("wrapper");
    exception->setModelException(model);
    exception->setProcessId(pid);
    return exception;
  }
};

TEST_F(CrashProcessing, PendingReportIsTakenOverProcessedAndSent) {
  DUZE_RUN_IN_OWN_PROCESS();
  const auto bytes = reportBytes(7);
  writeFile(pendingReportPath(), bytes);
  DUZEWrapperExceptionManager::saveWrapperException(wrapperException(4242));
  std::promise<void> checked;
  auto delegate = setGatedDelegate(checked, true);

  auto group = startOnFakeGroup();
  EXPECT_TRUE(DUZECrashes::hasCrashedInLastSession());
  EXPECT_TRUE(hasLine("The application crashed in the last session."));
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  EXPECT_FALSE(fs::exists(crashesFolder() / "ZORodozid.analyzer"));
  auto last = DUZECrashes::lastSessionCrashReport();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->incidentIdentifier(), incidentOf(7));
  EXPECT_EQ(last->appProcessIdentifier(), 4242u);
  // Tied to the report by its process id.
  EXPECT_TRUE(fs::exists(wrapperFolder() / incidentOf(7)));
  EXPECT_FALSE(fs::exists(wrapperFolder() / "last_saved_wrapper_exception"));

  // The takeover is the report's bytes under the seconds of the takeover and
  // a part of its own.
  auto files = crashFolderFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].find_first_not_of("0123456789"), files[0].find('-')) << files[0];
  EXPECT_EQ(files[0].size() - files[0].find('-'), 37u) << files[0];
  EXPECT_EQ(readFile(crashesFolder() / files[0]), bytes);
  EXPECT_EQ(crashes()->crashFiles(), std::vector<fs::path>{crashesFolder() / files[0]});

  // Processing, a moment later.
  checked.set_value();
  auto unit = group->unit("Crashes");
  ASSERT_TRUE(eventually([&] { return !unit->items().empty(); }));
  auto items = unit->items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].flags, DUZEFlagsCritical);
  auto log = std::dynamic_pointer_cast<DUZEAppleErrorLog>(items[0].log);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->errorId(), incidentOf(7));
  ASSERT_TRUE(log->exception());
  EXPECT_EQ(log->exception()->type(), "WrappedError");
  EXPECT_EQ(delegate->events(),
            (std::vector<std::string>{"asked:" + incidentOf(7), "attachments:" + incidentOf(7)}));
  EXPECT_TRUE(hasLine("Start delayed CrashManager processing"));
  EXPECT_TRUE(
      hasLine("shouldProcessErrorReport is not implemented or returned YES, processing the "
              "crash report: <ROCrashReport: 0x"));
  // Waits for the end of processing, which deletes what was sent.
  EXPECT_EQ(steps().unprocessedCrashReports().size(), 0u);
  EXPECT_TRUE(crashFolderFiles().empty());
  EXPECT_TRUE(crashes()->crashFiles().empty());
  EXPECT_FALSE(fs::exists(wrapperFolder() / incidentOf(7)));
}

// Reports the engine queued (children's, or one made beside an earlier
// pending report) are each taken over and sent as a crash log of their own.
TEST_F(CrashProcessing, QueuedReportsAreTakenOverAndSentEachAsItsOwnLog) {
  DUZE_RUN_IN_OWN_PROCESS();
  writeFile(pendingReportPath(), reportBytes(7));
  const fs::path queue = ROReradUzerirud::init()->queuedCrashReportDirectory();
  writeFile(queue / "a.rocrash", reportBytes(8, 5001));
  writeFile(queue / "b.rocrash", reportBytes(9, 5002));
  writeFile(queue / "c.rocrash", {1, 2, 3});                 // does not parse: dropped
  writeFile(queue / ".report-12.tmp", reportBytes(10, 12));  // still being written
  std::promise<void> checked;
  auto delegate = setGatedDelegate(checked, true);
  auto group = startOnFakeGroup();
  EXPECT_EQ(crashFolderFiles().size(), 3u);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(queue)) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{".report-12.tmp"});
  auto last = DUZECrashes::lastSessionCrashReport();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->incidentIdentifier(), incidentOf(7));

  checked.set_value();
  auto unit = group->unit("Crashes");
  ASSERT_TRUE(eventually([&] { return unit->items().size() >= 3; }));
  std::set<std::string> sent;
  for (const auto& item : unit->items()) {
    if (auto log = std::dynamic_pointer_cast<DUZEAppleErrorLog>(item.log)) {
      sent.insert(log->errorId().value_or(""));
    }
  }
  EXPECT_EQ(sent, (std::set<std::string>{incidentOf(7), incidentOf(8), incidentOf(9)}));
}

TEST_F(CrashProcessing, ATakeoverNeitherOverwritesAStoredReportNorPurgesOneItCouldNotSave) {
  DUZE_RUN_IN_OWN_PROCESS();
  // Reports stored under every name the seconds of this takeover could give.
  const double now = dispatch::Date::now().timeIntervalSinceReferenceDate();
  for (double seconds = now - 1; seconds < now + 3; ++seconds) {
    storeCrashFile(foundation::stringWithFormat("%.0f", seconds), reportBytes(1));
  }
  writeFile(pendingReportPath(), reportBytes(2));
  std::promise<void> checked;
  auto delegate = setGatedDelegate(checked, false);
  startOnFakeGroup();
  std::map<std::vector<uint8_t>, int> contents;
  for (const auto& name : crashFolderFiles()) ++contents[readFile(crashesFolder() / name)];
  EXPECT_EQ(contents[reportBytes(1)], 4);
  EXPECT_EQ(contents[reportBytes(2)], 1);
  EXPECT_FALSE(fs::exists(pendingReportPath()));

  // A report that cannot be saved stays with the engine for the next launch.
  writeFile(pendingReportPath(), reportBytes(3));
  fs::rename(crashesFolder(), dataDir() / "crashes.aside");
  writeFile(crashesFolder(), {0});
  steps().handleLatestCrashReport();
  EXPECT_EQ(readFile(pendingReportPath()), reportBytes(3));
  EXPECT_TRUE(hasLine("Couldn't save the crash report; it is kept for the next launch."));
  fs::remove(crashesFolder());
  fs::rename(dataDir() / "crashes.aside", crashesFolder());
  checked.set_value();
  EXPECT_EQ(steps().unprocessedCrashReports().size(), 0u);
}

TEST_F(CrashProcessing, CrashFilesAreOwnerOnlyAndThePendingReportLiesInTheDataFolder) {
  DUZE_RUN_IN_OWN_PROCESS();
  // Two data folders never share a pending report.
  const fs::path pending = pendingReportPath();
  EXPECT_EQ(pending.string().rfind(dataDir().string() + "/", 0), 0u) << pending;
  writeFile(pending, reportBytes(4));
  std::promise<void> checked;
  auto delegate = setGatedDelegate(checked, false);
  startOnFakeGroup();
  crashes()->bufferFileQueue()->waitUntilAllOperationsAreFinished();
  const auto mode = [](const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::all;
  };
  for (const fs::path& folder :
       {crashesFolder(), bufferFolder(), wrapperFolder(), pending.parent_path()}) {
    EXPECT_EQ(mode(folder), fs::perms::owner_all) << folder;
  }
  ASSERT_EQ(crashFolderFiles().size(), 1u);
  EXPECT_EQ(mode(crashesFolder() / crashFolderFiles()[0]),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(bufferFolder() / "0.zorodozidlogbuffer"),
            fs::perms::owner_read | fs::perms::owner_write);
  checked.set_value();
  EXPECT_EQ(steps().unprocessedCrashReports().size(), 0u);
}

TEST_F(CrashProcessing, EveryFolderIsPrivateFromItsFirstMomentAlsoUnderAnOpenUmask) {
  DUZE_RUN_IN_OWN_PROCESS();
  // Not even the data folder's parent exists yet.
  const fs::path top = dataDir() / "missing";
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), (top / "data").c_str(),
         1);
  foundationtest::ScopedUmask umask(0);
  startOnFakeGroup();
  crashes()->bufferFileQueue()->waitUntilAllOperationsAreFinished();
  const fs::path engineFolder = pendingReportPath().parent_path().parent_path();
  EXPECT_EQ(engineFolder, top / "data" / "org.kestrix.crash-capture");
  std::set<fs::path> folders;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (!entry.is_directory()) continue;
    folders.insert(entry.path());
    EXPECT_EQ(foundationtest::modeOf(entry.path()), 0700u) << entry.path();
  }
  EXPECT_EQ(foundationtest::modeOf(top), 0700u);
  EXPECT_TRUE(folders.count(engineFolder));
  EXPECT_TRUE(folders.count(pendingReportPath().parent_path() / "queued_reports"));
}

TEST_F(CrashProcessing, PendingReportThatDoesNotParseIsPurged) {
  DUZE_RUN_IN_OWN_PROCESS();
  writeFile(pendingReportPath(), {'n', 'o', 'p', 'e'});
  startOnFakeGroup();
  EXPECT_TRUE(DUZECrashes::hasCrashedInLastSession());
  EXPECT_TRUE(hasLine("[ZozIduvurCrashes] WARNING"));
  EXPECT_TRUE(hasLine("Couldn't parse crash report: "));
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  EXPECT_TRUE(crashFolderFiles().empty());
  EXPECT_FALSE(DUZECrashes::lastSessionCrashReport());
}

TEST_F(CrashProcessing, InterruptedTakeoverPurgesTheReportUnread) {
  DUZE_RUN_IN_OWN_PROCESS();
  writeFile(pendingReportPath(), reportBytes(3));
  writeFile(crashesFolder() / "ZORodozid.analyzer", {});
  startOnFakeGroup();
  EXPECT_TRUE(hasLine("Error on loading the crash report, it will be purged."));
  EXPECT_FALSE(hasLine("Couldn't"));
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  EXPECT_FALSE(fs::exists(crashesFolder() / "ZORodozid.analyzer"));
  EXPECT_TRUE(crashFolderFiles().empty());
  EXPECT_FALSE(DUZECrashes::lastSessionCrashReport());
}

TEST_F(CrashProcessing, OnlyNonEmptyRegularFilesWithoutReservedSuffixesAreListed) {
  for (const char* name : {"a.plist", "b.desc", ".DS_Store", "c.data", "d.meta", "e.analyzer"}) {
    storeCrashFile(name, {1});
  }
  storeCrashFile("empty", {});
  fs::create_directories(crashesFolder() / "folder");
  auto report = storeCrashFile("700000001", reportBytes());
  auto junk = storeCrashFile("junk", {1, 2, 3});
  EXPECT_EQ(steps().persistedCrashReports(), (std::vector<fs::path>{report, junk}));

  fs::remove_all(crashesFolder());
  EXPECT_TRUE(steps().persistedCrashReports().empty());
  EXPECT_TRUE(hasLine("[ZozIduvurCrashes] ERROR"));
  EXPECT_TRUE(hasLine("No persisted crashes found."));
}

TEST_F(CrashProcessing, UnparsableFilesAreDeletedAndUnreadableOnesSkipped) {
  auto junk = storeCrashFile("junk", {1, 2, 3});
  auto empty = storeCrashFile("empty", {});
  auto missing = crashesFolder() / "missing";
  crashes()->setCrashFiles({junk, empty, missing});
  steps().processCrashReports();
  EXPECT_FALSE(fs::exists(junk));
  EXPECT_TRUE(fs::exists(empty));
  EXPECT_EQ(crashes()->crashFiles(), (std::vector<fs::path>{empty, missing}));
  EXPECT_TRUE(hasLine("Crash report found but couldn't parse it, discard the crash report: "));
  EXPECT_EQ(countLines("Crash report found but couldn't parse it"), 1u);
}

TEST_F(CrashProcessing, DisabledServiceDiscardsEverything) {
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(false), "CrashesIsEnabled");
  auto report = storeCrashFile("1", reportBytes());
  DUZEWrapperExceptionManager::saveWrapperException(wrapperException(1));
  crashes()->setCrashFiles({report});
  steps().processCrashReports();
  EXPECT_TRUE(hasLine("Crashes service is disabled; discard all crash reports"));
  EXPECT_FALSE(fs::exists(crashesFolder()));
  EXPECT_FALSE(fs::exists(wrapperFolder()));
  EXPECT_TRUE(crashes()->crashFiles().empty());
}

TEST_F(CrashProcessing, DelegateDecidesReportByReport) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  auto unit = group->unit("Crashes");
  // The session and the user of the crash's time are stamped on its log.
  storeEarlierHistories(
      {{dispatch::Date::now() - 100, "SESSION-OF-THE-CRASH", "user-of-the-crash"}});
  const auto later = static_cast<uint64_t>(dispatch::Date::now().timeIntervalSince1970()) + 60;
  auto kept = storeCrashFile("1", reportBytes(1, 11, later));
  auto dropped = storeCrashFile("2", reportBytes(2, 22, later));
  DUZEWrapperExceptionManager::saveWrapperException(wrapperException(22));

  auto delegate = std::make_shared<RecordingCrashesDelegate>();
  delegate->decide = [](const DUZEErrorReport& report) {
    return report.incidentIdentifier() == incidentOf(1);
  };
  DUZECrashes::setDelegate(delegate);
  crashes()->setCrashFiles({kept, dropped});
  steps().processCrashReports();

  EXPECT_EQ(delegate->count("asked"), 2u);
  EXPECT_TRUE(hasLine("shouldProcessErrorReport returned NO, discard the crash report: "));
  auto items = unit->items();
  ASSERT_EQ(items.size(), 1u);
  auto log = std::dynamic_pointer_cast<DUZEAppleErrorLog>(items[0].log);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->errorId(), incidentOf(1));
  EXPECT_EQ(log->sid(), "SESSION-OF-THE-CRASH");
  EXPECT_EQ(log->userId(), "user-of-the-crash");
  EXPECT_FALSE(fs::exists(kept));
  EXPECT_FALSE(fs::exists(dropped));
  EXPECT_FALSE(fs::exists(wrapperFolder() / incidentOf(2)));
  EXPECT_TRUE(crashes()->crashFiles().empty());
  EXPECT_TRUE(crashes()->unprocessedReports().empty());
  EXPECT_TRUE(hasLine("attachmentsWithCrashes is not implemented"));
}

TEST_F(CrashProcessing, ACrashInItsSessionsFirstSecondGetsThatSession) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  // The report keeps whole seconds: a crash 0.6 ms after the session began
  // near the end of second `second` is stamped `second`.
  const auto second = static_cast<uint64_t>(dispatch::Date::now().timeIntervalSince1970()) - 60;
  const auto at = [](double unixTime) { return dispatch::Date::fromUnixTime(unixTime); };
  uint8_t report = 0;
  for (bool earlierSession : {false, true}) {
    SCOPED_TRACE(earlierSession ? "after an earlier session" : "first session");
    std::vector<Entry> entries;
    if (earlierSession) entries.push_back({at(second - 30), "EARLIER", "earlier-user"});
    entries.push_back({at(second + 0.9993), "AT-LAUNCH", "launch-user"});
    // The next second is after the crash.
    entries.push_back({at(second + 1), "NEXT", "next-user"});
    storeEarlierHistories(entries);

    ++report;
    crashes()->setCrashFiles(
        {storeCrashFile(std::to_string(report), reportBytes(report, report, second))});
    steps().processCrashReports();
    auto logs = group->unit("Crashes")->logsOf<DUZEAppleErrorLog>();
    ASSERT_EQ(logs.size(), static_cast<size_t>(report));
    EXPECT_EQ(logs.back()->sid(), "AT-LAUNCH");
    EXPECT_EQ(logs.back()->userId(), "launch-user");
  }
}

TEST_F(CrashProcessing, ACrashKeepsItsSessionWhenTheNextRunStartsWithinItsSecond) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  // The crashed run's session, recorded before this process started.
  storeEarlierHistories({{dispatch::Date::now() - 100, "CRASHED-RUN", "crashed-user"}});
  // This run's entries, persisted and read again (as another run's would
  // be), or only recorded: none of them is the crash's, whatever its time.
  DUZESessionContext::sharedInstance()->setSessionId(std::nullopt);
  DUZEUserIdContext::sharedInstance()->setUserId(std::nullopt);
  DUZESessionContext::resetSharedInstance();
  DUZEUserIdContext::resetSharedInstance();
  DUZESessionContext::sharedInstance()->setSessionId("THIS-RUN");
  DUZEUserIdContext::sharedInstance()->setUserId("this-user");
  // The report keeps whole seconds: every entry of this run so far lies
  // within or before the crash's second.
  const auto second = static_cast<uint64_t>(dispatch::Date::now().timeIntervalSince1970());
  crashes()->setCrashFiles({storeCrashFile("1", reportBytes(1, 1, second))});
  steps().processCrashReports();
  auto logs = group->unit("Crashes")->logsOf<DUZEAppleErrorLog>();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0]->sid(), "CRASHED-RUN");
  EXPECT_EQ(logs[0]->userId(), "crashed-user");
}

// A report that says the session and user its process had gives the log
// exactly those, whatever the histories hold (an absent one is none); only a
// report of a version that wrote none, or whose annotations are damaged, is
// judged by the histories, by time, whatever process it and the entries name.
TEST_F(CrashProcessing, AReportsOwnSessionAndUserAreTheLogsAndOnlyOlderReportsGoByTime) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  const auto now = dispatch::Date::now().timeIntervalSince1970();
  // The crash's second: the next one, after this process started.
  const auto second = static_cast<uint64_t>(now) + 1;
  const auto at = [](double unixTime) { return dispatch::Date::fromUnixTime(unixTime); };
  // An earlier run's entries, one of an older version, one naming its
  // process; and one within the crash's second, after this process started,
  // naming the process an older version's report names below.
  storeEarlierHistories({{at(now - 200), "OLDER-VERSION", "older-user"},
                         {at(now - 100), "EARLIER-RUN", "earlier-user", 4000},
                         {at(second + 0.1), "AT-THE-CRASH", "crash-user", 4242}});
  rocrash::testing::ReportBuilder older;
  rocrash::testing::fillMinimalReport(older);
  older.system.timestamp = static_cast<int64_t>(second);
  older.process.process_id = 4300;
  older.process.boot_id = older.text(kBootId);
  older.process.has_start_ticks = true;
  older.process.start_ticks = 5300;
  older.process.has_forked_from_process_id = older.process.has_forked_from_start_ticks = true;
  older.process.forked_from_process_id = 4242;
  older.process.forked_from_start_ticks = 5242;
  // Damaged annotations: the report is read as one without them.
  auto damaged = reportWithAnnotations(5, second, {{"sessionId", "CRASHED-RUN"}});
  damaged.insert(damaged.end(), {0x5A, 0x02, 0x0A, 0x05});
  std::vector<fs::path> files = {
      storeCrashFile(
          "1", reportWithAnnotations(
                   1, second,
                   {{"sessionId", "CRASHED-RUN"}, {"userId", "crashed-user"}, {"other", "x"}})),
      storeCrashFile("2", reportWithAnnotations(2, second, {})),
      storeCrashFile("3", reportWithAnnotations(3, second, {{"sessionId", ""}})),
      storeCrashFile("4", older.pack()),
      storeCrashFile("5", damaged),
      storeCrashFile("6", reportWithAnnotations(
                              6, second,
                              {{"sessionId", "CRASHED-RUN"},
                               {"userId", "not this one"},
                               {"userIdSetAt", duzecrashes::recordedAtText(at(now - 200))}})),
  };
  // A user id the report carries, or the history's entry recorded at the
  // time it names: text setAnnotation refuses and a time that is none are
  // dropped, and the report read without them; a time no stored entry was
  // recorded at (a forked child's) gives none, never an earlier entry's.
  const std::pair<std::vector<std::pair<std::string, std::string>>, std::optional<std::string>>
      users[] = {
          {{{"userId", std::string("al\0ice", 6)}}, std::nullopt},
          {{{"userId", "caf\xC3"}}, std::nullopt},
          {{{"userId", "crashed-user"}, {"userIdSetAt", "nan"}}, "crashed-user"},
          {{{"userId", "crashed-user"}, {"userIdSetAt", "1e308"}}, "crashed-user"},
          {{{"userId", "crashed-user"}, {"userIdSetAt", std::string(20, '9')}}, "crashed-user"},
          {{{"userIdSetAt", duzecrashes::recordedAtText(at(now - 150))}}, std::nullopt},
          {{{"userId", "crashed-user"},
            {"userIdSetAt", duzecrashes::recordedAtText(at(now - 150))}},
           "crashed-user"},
      };
  for (uint8_t i = 0; i < std::size(users); ++i) {
    auto annotations = users[i].first;
    annotations.emplace_back("sessionId", "CRASHED-RUN");
    files.push_back(
        storeCrashFile(std::to_string(7 + i), reportWithAnnotations(7 + i, second, annotations)));
  }
  crashes()->setCrashFiles(files);
  steps().processCrashReports();
  auto logs = group->unit("Crashes")->logsOf<DUZEAppleErrorLog>();
  ASSERT_EQ(logs.size(), 6u + std::size(users));
  for (size_t i = 0; i < std::size(users); ++i) {
    EXPECT_EQ(logs[6 + i]->sid(), "CRASHED-RUN") << i;
    EXPECT_EQ(logs[6 + i]->userId(), users[i].second) << i;
  }
  EXPECT_EQ(logs[0]->sid(), "CRASHED-RUN");
  EXPECT_EQ(logs[0]->userId(), "crashed-user");
  EXPECT_EQ(logs[1]->sid(), std::nullopt);
  EXPECT_EQ(logs[1]->userId(), std::nullopt);
  EXPECT_EQ(logs[2]->sid(), "");
  EXPECT_EQ(logs[2]->userId(), std::nullopt);
  EXPECT_EQ(logs[3]->sid(), "EARLIER-RUN");
  EXPECT_EQ(logs[3]->userId(), "earlier-user");
  EXPECT_EQ(logs[4]->sid(), "EARLIER-RUN");
  EXPECT_EQ(logs[4]->userId(), "earlier-user");
  // A user id the report could not carry: the history's entry recorded at the
  // time it names, before the id beside it (a report written as they changed).
  EXPECT_EQ(logs[5]->sid(), "CRASHED-RUN");
  EXPECT_EQ(logs[5]->userId(), "older-user");
}

TEST_F(CrashProcessing, AlwaysSendSkipsTheConfirmationHandler) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(true),
                                                 "CrashesUserConfirmation");
  bool asked = false;
  DUZECrashes::setUserConfirmationHandler([&](const DUZEErrorReports&) {
    asked = true;
    return true;
  });
  crashes()->setCrashFiles({storeCrashFile("1", reportBytes(1))});
  steps().processCrashReports();
  EXPECT_FALSE(asked);
  EXPECT_EQ(group->unit("Crashes")->items().size(), 1u);
  EXPECT_TRUE(
      hasLine("The flag for user confirmation is set to DUZEUserConfirmationAlways, "
              "continue sending logs"));
  // With nothing waiting the stored choice is still the answer.
  EXPECT_TRUE(steps().sendCrashReportsOrAwaitUserConfirmation());
}

TEST_F(CrashProcessing, UserDecidesWhenTheHandlerAsks) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  auto unit = group->unit("Crashes");
  std::vector<std::string> asked;
  DUZECrashes::setUserConfirmationHandler([&](const DUZEErrorReports& reports) {
    EXPECT_TRUE(dispatch::isMainThread());
    for (const auto& report : reports) asked.push_back(report.get()->incidentIdentifier().value());
    return true;
  });

  auto first = storeCrashFile("1", reportBytes(1));
  crashes()->setCrashFiles({first});
  // From a processing thread the handler still runs on the main thread.
  std::atomic<bool> done{false};
  std::thread processing([&] {
    steps().processCrashReports();
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return done.load(); }));
  processing.join();
  EXPECT_EQ(asked, std::vector<std::string>{incidentOf(1)});
  EXPECT_TRUE(unit->items().empty());
  EXPECT_TRUE(fs::exists(first));
  ASSERT_EQ(crashes()->unprocessedReports().size(), 1u);

  DUZECrashes::notifyWithUserConfirmation(DUZEUserConfirmationDontSend);
  EXPECT_TRUE(unit->items().empty());
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(crashes()->unprocessedReports().empty());

  // "Always" sends and is remembered.
  auto second = storeCrashFile("2", reportBytes(2));
  crashes()->setCrashFiles({second});
  steps().processCrashReports();
  EXPECT_EQ(asked.size(), 2u);
  DUZECrashes::notifyWithUserConfirmation(DUZEUserConfirmationAlways);
  EXPECT_EQ(unit->items().size(), 1u);
  EXPECT_FALSE(fs::exists(second));
  EXPECT_TRUE(steps().shouldAlwaysSend());
  EXPECT_EQ(DUZEZozIduvurUserDefaults::shared()->objectForKey("CrashesUserConfirmation"),
            foundation::Value(true));
}

TEST_F(CrashProcessing, HandlerThatAnswersNoLetsTheCrashesGo) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  DUZECrashes::setUserConfirmationHandler([](const DUZEErrorReports&) { return false; });
  crashes()->setCrashFiles({storeCrashFile("1", reportBytes(1))});
  steps().processCrashReports();
  EXPECT_EQ(group->unit("Crashes")->items().size(), 1u);
  EXPECT_TRUE(hasLine(
      "The user confirmation handler is not implemented or returned NO, continue sending logs"));
  EXPECT_FALSE(steps().shouldAlwaysSend());
}

TEST_F(CrashProcessing, ConfirmationOutsideItsHandlerIsRefused) {
  DUZECrashes::notifyWithUserConfirmation(DUZEUserConfirmationSend);
  EXPECT_TRUE(
      hasLine("Incorrect usage of notifyWithUserConfirmation: it should only be called from "
              "userConfirmationHandler. For more information refer to the documentation."));
}

TEST_F(CrashProcessing, WrapperDrivenProcessingWaitsAndFiltersById) {
  DUZE_RUN_IN_OWN_PROCESS();
  storeCrashFile("1", reportBytes(1));
  storeCrashFile("2", reportBytes(2));
  DUZEWrapperCrashesHelper::setAutomaticProcessing(false);
  EXPECT_FALSE(DUZEWrapperCrashesHelper::automaticProcessing());

  // Asked before the service even starts: the answer waits for processing.
  std::atomic<bool> answered{false};
  DUZEErrorReports reports;
  std::thread waiter([&] {
    reports = DUZEWrapperCrashesHelper::unprocessedCrashReports();
    answered = true;
  });
  EXPECT_FALSE(answered.load());
  auto group = startOnFakeGroup();
  ASSERT_TRUE(eventually([&] { return answered.load(); }));
  waiter.join();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(countLines("Automatic crash processing is disabled, storing the crash report for later "
                       "processing: "),
            2u);
  EXPECT_TRUE(group->unit("Crashes")->items().empty());

  EXPECT_FALSE(DUZEWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
      {incidentOf(2)}));
  EXPECT_TRUE(
      hasLine("Automatic crash processing is disabled and \"AlwaysSend\" is false. "
              "Awaiting user confirmation."));
  EXPECT_FALSE(fs::exists(crashesFolder() / "1"));
  ASSERT_EQ(crashes()->unprocessedReports().size(), 1u);
  EXPECT_EQ(crashes()->unprocessedReports()[0]->incidentIdentifier(), incidentOf(2));

  DUZECrashes::notifyWithUserConfirmation(DUZEUserConfirmationSend);
  auto items = group->unit("Crashes")->items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(std::dynamic_pointer_cast<DUZEAppleErrorLog>(items[0].log)->errorId(), incidentOf(2));
  EXPECT_FALSE(fs::exists(crashesFolder() / "2"));
  // Every later caller passes at once.
  EXPECT_TRUE(DUZEWrapperCrashesHelper::unprocessedCrashReports().empty());
}

TEST_F(CrashProcessing, AttachmentsAreValidatedAndCutAtTheSizeLimit) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  auto unit = group->unit("Crashes");
  auto exact = DUZEErrorAttachmentLog::attachmentWithBinary(
      foundation::Data(kDUZEMaxAttachmentSize, 'x'), "exact.bin", "application/octet-stream");
  auto over = DUZEErrorAttachmentLog::attachmentWithBinary(
      foundation::Data(kDUZEMaxAttachmentSize + 1, 'x'), "over.bin", "application/octet-stream");
  auto untyped =
      DUZEErrorAttachmentLog::attachmentWithBinary(foundation::Data{1}, "untyped.bin", "");
  auto empty = DUZEErrorAttachmentLog::attachmentWithText(std::nullopt, "empty.txt");
  DUZECrashes::sendErrorAttachments({exact, over, untyped, empty}, "INCIDENT");

  auto items = unit->items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].log, exact);
  EXPECT_EQ(items[0].flags, DUZEFlagsNormal);
  EXPECT_EQ(exact->errorId(), "INCIDENT");
  EXPECT_EQ(over->errorId(), "INCIDENT");
  EXPECT_TRUE(hasLine(
      "Discarding attachment with size above 7340032 bytes: size=7340033, fileName=over.bin."));
  EXPECT_EQ(countLines("Not all required fields are present in DUZEErrorAttachmentLog."), 2u);
}

TEST_F(CrashProcessing, CrashAttachmentsGetTheCrashDeviceAndIncident) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  auto withDevice = DUZEErrorAttachmentLog::attachmentWithText("mine", "mine.txt");
  auto ownDevice = crashestest::validDevice();
  ownDevice->setModel("Own");
  withDevice->setDevice(ownDevice);
  auto withoutDevice = DUZEErrorAttachmentLog::attachmentWithText("theirs", "theirs.txt");
  auto delegate = std::make_shared<RecordingCrashesDelegate>();
  delegate->attachments = DUZEErrorAttachmentLogs{withDevice, withoutDevice};
  DUZECrashes::setDelegate(delegate);
  crashes()->setCrashFiles({storeCrashFile("1", reportBytes(5))});
  steps().processCrashReports();

  auto items = group->unit("Crashes")->items();
  ASSERT_EQ(items.size(), 3u);
  auto log = std::dynamic_pointer_cast<DUZEAppleErrorLog>(items[0].log);
  ASSERT_TRUE(log);
  EXPECT_EQ(items[1].log, withDevice);
  EXPECT_EQ(items[2].log, withoutDevice);
  EXPECT_EQ(withDevice->device(), ownDevice);
  EXPECT_EQ(withoutDevice->device(), log->device());
  EXPECT_EQ(withDevice->errorId(), incidentOf(5));
  EXPECT_EQ(withoutDevice->errorId(), incidentOf(5));
}

TEST_F(CrashProcessing, ReturningToTheForegroundProcessesWaitingFiles) {
  crashes()->applicationWillEnterForeground();  // nothing waits: nothing happens
  auto junk = storeCrashFile("junk", {1, 2, 3});
  crashes()->setCrashFiles({junk});
  crashes()->applicationWillEnterForeground();
  // The file goes first, then its place in the list.
  ASSERT_TRUE(eventually([&] { return crashes()->crashFiles().empty(); }));
  EXPECT_FALSE(fs::exists(junk));
  EXPECT_EQ(countLines("Start delayed CrashManager processing"), 1u);
}

}  // namespace
