// Programs that never crash: the engine leaves their libraries, mappings
// and signals as they would be without it.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "CrashSituations.h"
#include "baseTest/Children.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/TemporaryFolder.h"

namespace {

using base::testing::inChild;
using dispatch::testing::TemporaryFolder;

// A program closing a library from one of its global destructors, after
// the engine's globals were destroyed, exits as it would without the engine.
TEST(ROReradUzerirudSideEffects, LibraryClosedInAGlobalDestructorLetsTheProgramExit) {
  for (const char* type : {"signals", "mach"}) {
    SCOPED_TRACE(type);
    crashsituations::ChildRun run;
    crashsituations::runChild("dlclose-at-exit", type, &run);
    EXPECT_FALSE(run.hung);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
    EXPECT_TRUE(run.bytes.empty());
  }
}

// The mappings of files the process has (the sanitizers' allocators add
// anonymous ones as they hold freed memory back).
long fileMappingCount() {
  std::ifstream maps("/proc/self/maps");
  long files = 0;
  for (std::string line; std::getline(maps, line);) files += line.find(" /") != std::string::npos;
  return files;
}

// A program that opens and closes a library for ever keeps as many mappings
// as it had: a closed library's records (and its file's mapping) go.
TEST(ROReradUzerirudSideEffects, OpeningAndClosingLibrariesLeavesTheMappingsAsTheyWere) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(inChild([&] {
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              if (!reporter->enableCrashReporter()) return 1;
              auto cycles = [](int count) {
                for (int i = 0; i < count; ++i) {
                  void* library = dlopen(ROCRASH_PLUGIN_A, RTLD_NOW);
                  if (library == nullptr || dlclose(library) != 0) return false;
                }
                return true;
              };
              if (!cycles(10)) return 2;
              const long before = fileMappingCount();
              if (!cycles(200)) return 3;
              return fileMappingCount() <= before ? 0 : 4;
            }),
            0);
}

// A thread that exists at enabling and waits for every signal with
// sigwaitinfo gets only the program's own: neither enabling nor a live
// report sends it the engine's.
TEST(ROReradUzerirudSideEffects, ThreadWaitingForSignalsAtEnablingGetsOnlyItsOwn) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(inChild([&] {
              std::atomic<bool> waiting{false};
              std::atomic<int> received{0};
              std::thread waiter([&] {
                sigset_t all;
                sigfillset(&all);
                pthread_sigmask(SIG_BLOCK, &all, nullptr);
                waiting = true;
                siginfo_t info;
                received = sigwaitinfo(&all, &info);
              });
              while (!waiting.load()) std::this_thread::yield();
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              if (!reporter->enableCrashReporter()) return 1;
              if (!reporter->generateLiveReport()) return 2;
              pthread_kill(waiter.native_handle(), SIGUSR1);
              waiter.join();
              return received.load() == SIGUSR1 ? 0 : 100 + received.load();
            }),
            0);
}

// A copy of the test plugin whose function "kx_plugin_a_run" claims
// `size` bytes in its symbol table (.symtab), as a damaged or hostile file
// may; empty when the plugin has no such symbol.
std::string pluginClaiming(const std::string& folder, uint64_t size) {
  std::ifstream in(ROCRASH_PLUGIN_A, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Elf64_Ehdr eh;
  if (bytes.size() < sizeof eh) return {};
  std::memcpy(&eh, bytes.data(), sizeof eh);
  auto section = [&](unsigned i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, bytes.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
    return sh;
  };
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr symtab = section(i);
    if (symtab.sh_type != SHT_SYMTAB) continue;
    const Elf64_Shdr strings = section(symtab.sh_link);
    for (uint64_t at = symtab.sh_offset;
         at + sizeof(Elf64_Sym) <= symtab.sh_offset + symtab.sh_size; at += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, bytes.data() + at, sizeof sym);
      if (std::strcmp(bytes.data() + strings.sh_offset + sym.st_name, "kx_plugin_a_run") != 0) {
        continue;
      }
      sym.st_size = size;
      std::memcpy(bytes.data() + at, &sym, sizeof sym);
      const std::string path = folder + "/libkx_plugin_claims.so";
      std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
      return path;
    }
  }
  return {};
}

// A library whose symbol claims 2^62 bytes opens: listing it takes no work in
// proportion to what a symbol claims (such work would not end before the
// child's hang guard), whatever the machine's load.
TEST(ROReradUzerirudSideEffects, LibraryWithAHugeSymbolOpensPromptly) {
  TemporaryFolder folder("rocrash_reporter");
  const std::string plugin = pluginClaiming(folder.path().string(), uint64_t{1} << 62);
  ASSERT_FALSE(plugin.empty());
  EXPECT_EQ(inChild([&] {
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              if (!reporter->enableCrashReporter()) return 1;
              return dlopen(plugin.c_str(), RTLD_NOW) != nullptr ? 0 : 2;
            }),
            0);
}

}  // namespace
